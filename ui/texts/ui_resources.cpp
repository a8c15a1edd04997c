#include "ui/texts/ui_resources.h"

#include <QFontDatabase>
#include <QPainter>
#include <QSvgRenderer>

#include "platform/resources.h"
#include "ui/framework/dpi.h"
#include "ui/texts/language_module.h"

// The icons are compiled into this library; a static library must register them by hand.
static void InitIconResources() {
    Q_INIT_RESOURCE(resources);
}

namespace zul {
namespace {

UiResources g_resources;

constexpr int kIconIds[] = {175, 176, 177, 178, 179, 180, 181, 182, 183, 184, 185, 186,
                            188, 189, 190, 192, 195, 197, 203, 207, 209, 217, 218, 219,
                            220, 221, 222, 223, 224, 225, 226, 227, 228, 229, 230, 231,
                            232, 233, 234, 235, 236, 237, 238, 239, 240, 244, 245};
static_assert(std::size(kIconIds) == iconid::kCount);

// The texts every view shares, loaded once.
constexpr int kSharedTextIds[] = {12000, 12001, 12002, 12003, 12004, 12005, 12006, 12007, 12008,
                                  12009, 12010, 12011, 12012, 12013, 100,   107,   112,   113,
                                  114,   115,   117,   118,   119,   120,   125,   126,   127,
                                  128,   129,   130,   200,   300,   301,   302,   1000,  1002,
                                  1004,  1005,  1006,  13000, 13001, 13002};

QString IconPath(int id) {
    return QStringLiteral(":/icons/%1.svg").arg(id);
}

QString SharedFontFamily() {
    const QString wanted = QStringLiteral("Tahoma");
    if (QFontDatabase::hasFamily(wanted)) return wanted;
    return QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
}

QFont MakeFont(int points, FontVariant variant) {
    QFont font(SharedFontFamily());
    // The platform takes a negative height as the character height in pixels.
    font.setPixelSize(-FontHeightForPoints(points, Dpi::Y()));
    font.setWeight(variant == kFontBold ? QFont::Bold : QFont::Normal);
    font.setItalic(variant == kFontItalic);
    font.setStrikeOut(variant == kFontStruck);
    return font;
}

}  // namespace

bool iconid::IsKnown(int id) {
    for (int known : kIconIds)
        if (known == id) return true;
    return false;
}

int FontHeightForPoints(int points, int dpiY) {
    return -(points * dpiY / 72) - 1;
}

void LoadUiResources(const LanguageModule* resourceModule) {
    InitIconResources();
    FreeUiResources();
    UiResources& r = g_resources;
    r.resourceModule = resourceModule;
    r.accountsViewMenu = LoadMenuResource(menuid::kAccountView, resourceModule);
    r.contactsViewMenu = LoadMenuResource(menuid::kContactsView, resourceModule);
    r.historyViewMenu = LoadMenuResource(menuid::kHistoryView, resourceModule);
    for (int level = 0; level < 6; ++level)
        for (int variant = 0; variant < 4; ++variant)
            r.fonts[static_cast<size_t>(level)][static_cast<size_t>(variant)] =
                MakeFont(10 - level, static_cast<FontVariant>(variant));
    const int size = ScaleX(16);
    for (int id : kIconIds) r.icons[id] = QIcon(RenderIcon(id, size));
    for (int id : kSharedTextIds) r.texts[id] = QString::fromStdU16String(ResString(id));
    r.loaded = true;
}

void FreeUiResources() {
    g_resources = UiResources();
}

const UiResources& Resources() {
    return g_resources;
}

QFont SharedFont(int level, FontVariant variant) {
    if (level < 0 || level > 5) {
        level = 2;
        variant = kFontRegular;
    }
    if (g_resources.loaded)
        return g_resources.fonts[static_cast<size_t>(level)][static_cast<size_t>(variant)];
    return MakeFont(10 - level, variant);
}

QPixmap RenderIcon(int id, int size) {
    InitIconResources();
    if (!iconid::IsKnown(id) || size <= 0) return {};
    QSvgRenderer renderer(IconPath(id));
    if (!renderer.isValid()) return {};
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(0, 0, size, size));
    return pixmap;
}

QIcon UiIcon(int id) {
    auto it = g_resources.icons.find(id);
    if (it != g_resources.icons.end()) return it->second;
    if (!iconid::IsKnown(id)) return {};
    return QIcon(RenderIcon(id, ScaleX(16)));
}

QPixmap UiIconPixmap(int id) {
    const int size = ScaleX(16);
    auto it = g_resources.icons.find(id);
    if (it != g_resources.icons.end()) {
        // Icons are rendered at the scale of the start; another scale renders again.
        QPixmap pixmap = it->second.pixmap(size, size);
        if (pixmap.width() == size) return pixmap;
    }
    return RenderIcon(id, size);
}

QString UiText(int id) {
    auto it = g_resources.texts.find(id);
    if (it != g_resources.texts.end()) return it->second;
    return QString::fromStdU16String(ResString(id));
}

MenuResource UiMenu(int id) {
    switch (id) {
        case menuid::kAccountView:
            if (g_resources.loaded) return g_resources.accountsViewMenu;
            break;
        case menuid::kContactsView:
            if (g_resources.loaded) return g_resources.contactsViewMenu;
            break;
        case menuid::kHistoryView:
            if (g_resources.loaded) return g_resources.historyViewMenu;
            break;
        default:
            break;
    }
    return LoadMenuResource(id, g_resources.resourceModule);
}

}  // namespace zul
