#include "ui/views/view_support.h"

#include <QAction>
#include <QActionGroup>
#include <QFileDialog>
#include <QHash>
#include <QInputDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QStandardPaths>
#include <QWidget>
#include <cmath>

#include "platform/resources.h"
#include "storage/contacts.h"
#include "storage/history.h"
#include "ui/texts/ui_resources.h"
#include "ui/texts/ui_texts.h"

namespace zul {
namespace {

std::function<bool(int)>& ConfirmHandler() {
    static std::function<bool(int)> handler;
    return handler;
}

// A filled dot in a colour picked from the id, so that missing pictures stay distinguishable.
QImage DrawnDot(int id, int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor::fromHsv((id * 47) % 360, 160, 200));
    const qreal inset = size / 4.0;
    painter.drawEllipse(QRectF(inset, inset, size - 2 * inset, size - 2 * inset));
    return image;
}

}  // namespace

QString ResText(int id) {
    return UiText(id);
}

QImage IconImage(int id, int size) {
    static QHash<quint64, QImage> cache;
    if (size <= 0) return {};
    const quint64 key =
        (static_cast<quint64>(static_cast<quint32>(id)) << 32) | static_cast<quint32>(size);
    auto it = cache.constFind(key);
    if (it != cache.constEnd()) return *it;
    QImage image = RenderIcon(id, size).toImage();
    if (image.isNull()) image = DrawnDot(id, size);
    cache.insert(key, image);
    return image;
}

QIcon IconById(int id, int size) {
    if (id <= 0) return {};
    return QIcon(QPixmap::fromImage(IconImage(id, size)));
}

void DrawIcon(QPainter& painter, int id, const QRect& rect) {
    if (id <= 0 || rect.isEmpty()) return;
    const int size = std::min(rect.width(), rect.height());
    // On a scaled surface the icon is rendered with as many pixels as it covers there.
    const qreal ratio = painter.device() != nullptr ? painter.device()->devicePixelRatioF() : 1.0;
    QImage image = IconImage(id, static_cast<int>(std::lround(size * ratio)));
    image.setDevicePixelRatio(ratio);
    painter.drawImage(
        QPoint(rect.x() + (rect.width() - size) / 2, rect.y() + (rect.height() - size) / 2), image);
}

void MarkCheck(QMenu& menu, int command, bool checked) {
    if (QAction* action = FindMenuCommand(menu, command)) {
        action->setCheckable(true);
        action->setChecked(checked);
    }
}

void MarkRadios(QMenu& menu, std::initializer_list<std::pair<int, int>> commandValues,
                int current) {
    auto* group = new QActionGroup(&menu);
    group->setExclusive(true);
    for (const auto& [command, value] : commandValues) {
        if (QAction* action = FindMenuCommand(menu, command)) {
            action->setCheckable(true);
            action->setActionGroup(group);
            action->setChecked(value == current);
        }
    }
}

bool ConfirmDeletion(QWidget* parent, int textId) {
    if (ConfirmHandler()) return ConfirmHandler()(textId);
    return QMessageBox::warning(parent, QString::fromStdU16String(AppTitle()), ResText(textId),
                                QMessageBox::Ok | QMessageBox::Cancel,
                                QMessageBox::Cancel) == QMessageBox::Ok;
}

void SetConfirmHandler(std::function<bool(int)> handler) {
    ConfirmHandler() = std::move(handler);
}

namespace {
std::function<void(int, const QString&)>& InformationHandler() {
    static std::function<void(int, const QString&)> handler;
    return handler;
}
}  // namespace

void ShowInformation(QWidget* parent, int titleId, const QString& text) {
    if (InformationHandler()) return InformationHandler()(titleId, text);
    QMessageBox::information(parent, ResText(titleId), text);
}

void SetShowInformationHandler(std::function<void(int, const QString&)> handler) {
    InformationHandler() = std::move(handler);
}

namespace {
std::function<std::optional<QString>(const QString&)>& AskTextHandler() {
    static std::function<std::optional<QString>(const QString&)> handler;
    return handler;
}
}  // namespace

std::optional<QString> AskText(QWidget* parent, int titleId, int labelId, const QString& current) {
    if (AskTextHandler()) return AskTextHandler()(current);
    bool ok = false;
    const QString text = QInputDialog::getText(parent, ResText(titleId), ResText(labelId),
                                               QLineEdit::Normal, current, &ok);
    if (!ok) return std::nullopt;
    return text;
}

std::optional<QString> AskLongText(QWidget* parent, int titleId, int labelId,
                                   const QString& current) {
    if (AskTextHandler()) return AskTextHandler()(current);
    bool ok = false;
    const QString text =
        QInputDialog::getMultiLineText(parent, ResText(titleId), ResText(labelId), current, &ok);
    if (!ok) return std::nullopt;
    return text;
}

void SetAskTextHandler(std::function<std::optional<QString>(const QString&)> handler) {
    AskTextHandler() = std::move(handler);
}

namespace {
std::function<std::optional<QString>()>& AskFileHandler() {
    static std::function<std::optional<QString>()> handler;
    return handler;
}
constexpr int kTextPictureFiles = 1195;
}  // namespace

std::optional<QString> AskPictureFile(QWidget* parent, int titleId) {
    if (AskFileHandler()) return AskFileHandler()();
    const QString filter = ResText(kTextPictureFiles) +
                           QStringLiteral(" (*.png *.jpg *.jpeg *.gif *.PNG *.JPG *.JPEG *.GIF)");
    const QString path = QFileDialog::getOpenFileName(
        parent, ResText(titleId),
        QStandardPaths::writableLocation(QStandardPaths::PicturesLocation), filter);
    if (path.isEmpty()) return std::nullopt;
    return path;
}

void SetAskFileHandler(std::function<std::optional<QString>()> handler) {
    AskFileHandler() = std::move(handler);
}

namespace {
std::function<std::optional<int>(const QStringList&)>& AskChoiceHandler() {
    static std::function<std::optional<int>(const QStringList&)> handler;
    return handler;
}
}  // namespace

std::optional<int> AskChoice(QWidget* parent, int titleId, int labelId, const QStringList& items) {
    if (AskChoiceHandler()) return AskChoiceHandler()(items);
    bool ok = false;
    const QString picked =
        QInputDialog::getItem(parent, ResText(titleId), ResText(labelId), items, 0, false, &ok);
    if (!ok) return std::nullopt;
    return static_cast<int>(items.indexOf(picked));
}

void SetAskChoiceHandler(std::function<std::optional<int>(const QStringList&)> handler) {
    AskChoiceHandler() = std::move(handler);
}

QString SingleLine(const std::u16string& text) {
    QString line = QString::fromStdU16String(text);
    for (QChar& c : line) {
        if (c == u'\n' || c == u'\r' || c == u'\t' || c == QChar::LineSeparator ||
            c == QChar::ParagraphSeparator)
            c = u' ';
    }
    return line;
}

int ContactRowIcon(const CContact& contact, bool blinkOn) {
    if (contact.BlockedIcon()) return rowicon::kBlocked;
    const bool unread = contact.History().UnreadCount() > 0;
    if (blinkOn && unread) return rowicon::kUnread;
    if (!blinkOn && !unread) return contact.StatusIcon();
    if (contact.Typing()) return rowicon::kTyping;
    if (contact.JustCameOnline()) return rowicon::kCameOnline;
    return contact.StatusIcon();
}

}  // namespace zul
