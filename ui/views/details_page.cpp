#include "ui/views/details_page.h"

#include <QLocale>
#include <QMenu>
#include <QPainter>
#include <algorithm>
#include <ctime>
#include <utility>

#include "accounts/account.h"
#include "platform/text.h"
#include "storage/status.h"
#include "ui/framework/dpi.h"
#include "ui/framework/drawing.h"
#include "ui/framework/main_window.h"
#include "ui/views/view_support.h"

namespace zul {
namespace {

constexpr int kTextRefresh = 345;
constexpr int kTextClose = 13000;
constexpr int kCmdClose = 50101;
constexpr int kLabelLevel = 4;
constexpr int kValueLevel = 3;
// Pictures are shown at most this large (before scaling), however large they came.
constexpr int kPictureSide = 96;

// Labels of the fields, by text id.
enum : int {
    kLogin = 308,
    kNickname = 328,
    kName = 329,
    kEmail = 330,
    kCity = 331,
    kCountry = 332,
    kAge = 333,
    kGender = 334,
    kHomepage = 335,
    kAbout = 336,
    kProfile = 337,
    kAwayMessage = 338,
    kStatus = 339,
    kGroup = 344,
    kFemale = 341,
    kMale = 342,
    kAsking = 343,
};

QString Q(const std::u16string& text) {
    return QString::fromStdU16String(text);
}

// The label text without the colon some of the shared texts carry.
QString Label(int id) {
    QString text = ResText(id);
    while (text.endsWith(u':')) text.chop(1);
    return text;
}

}  // namespace

QString CountryName(int code) {
    // The directory's codes are telephone codes, except where one code serves several
    // countries (1, 7) and a few the directory numbered on its own.
    static const std::pair<int, const char*> kCountries[] = {
        {1, "US"},   {7, "RU"},    {20, "EG"},  {27, "ZA"},  {30, "GR"},  {31, "NL"},  {32, "BE"},
        {33, "FR"},  {34, "ES"},   {36, "HU"},  {39, "IT"},  {40, "RO"},  {41, "CH"},  {42, "CZ"},
        {43, "AT"},  {44, "GB"},   {45, "DK"},  {46, "SE"},  {47, "NO"},  {48, "PL"},  {49, "DE"},
        {51, "PE"},  {52, "MX"},   {54, "AR"},  {55, "BR"},  {56, "CL"},  {57, "CO"},  {58, "VE"},
        {60, "MY"},  {61, "AU"},   {62, "ID"},  {63, "PH"},  {64, "NZ"},  {65, "SG"},  {66, "TH"},
        {81, "JP"},  {82, "KR"},   {84, "VN"},  {86, "CN"},  {90, "TR"},  {91, "IN"},  {92, "PK"},
        {98, "IR"},  {107, "CA"},  {351, "PT"}, {352, "LU"}, {353, "IE"}, {354, "IS"}, {358, "FI"},
        {359, "BG"}, {370, "LT"},  {371, "LV"}, {372, "EE"}, {373, "MD"}, {374, "AM"}, {375, "BY"},
        {380, "UA"}, {381, "RS"},  {385, "HR"}, {386, "SI"}, {421, "SK"}, {972, "IL"}, {994, "AZ"},
        {995, "GE"}, {7701, "KZ"}, {9999, ""}};
    for (const auto& [number, iso] : kCountries) {
        if (number != code || *iso == 0) continue;
        const QLocale::Territory territory = QLocale::codeToTerritory(QString::fromLatin1(iso));
        if (territory != QLocale::AnyTerritory) return QLocale::territoryToString(territory);
    }
    return QString::number(code);
}

ContactDetailsPage::ContactDetailsPage(ContactPtr contact) : contact_(std::move(contact)) {
    Caption().SetTitle(SingleLine(contact_->DisplayName()));
    Caption().SetSubtitle(SingleLine(contact_->Login()), 4, false);
    CollectFields();
}

void ContactDetailsPage::SetContact(ContactPtr contact) {
    if (contact == contact_) return;
    contact_ = std::move(contact);
    Caption().SetTitle(SingleLine(contact_->DisplayName()));
    Caption().SetSubtitle(SingleLine(contact_->Login()), 4, false);
    SetContentOffset(0);
    CollectFields();
    if (Host() != nullptr) Refresh();
}

void ContactDetailsPage::AddedToHost() {
    Refresh();
}

void ContactDetailsPage::Refresh() {
    AccountOf(*contact_).RequestContactDetails(contact_->Login());
    MarkChanged();
}

void ContactDetailsPage::CollectFields() {
    CAccount& account = AccountOf(*contact_);
    const ContactDetails d = account.DetailsOf(contact_->Login());
    detailsVersion_ = account.DetailsVersion();
    std::vector<Field> fields;
    auto add = [&](int label, const std::u16string& value) {
        if (!value.empty()) fields.push_back({Label(label), Q(value), {}});
    };
    add(kLogin, contact_->Login());
    add(kNickname, contact_->Nickname());
    add(kStatus, StatusWithIdle(contact_->ProtocolKind(), contact_->Status(), contact_->IdleSince(),
                                static_cast<uint32_t>(std::time(nullptr))));
    add(kGroup, contact_->GroupName());
    std::u16string name = d.firstName;
    if (!d.lastName.empty()) name += (name.empty() ? u"" : u" ") + d.lastName;
    if (d.nickname != contact_->Nickname()) add(kNickname, d.nickname);
    add(kName, name);
    add(kEmail, d.email.empty() ? contact_->Email() : d.email);
    std::u16string city = d.city;
    if (!d.region.empty()) city += (city.empty() ? u"" : u", ") + d.region;
    add(kCity, city);
    if (d.countryCode > 0) fields.push_back({Label(kCountry), CountryName(d.countryCode), {}});
    if (d.age > 0) fields.push_back({Label(kAge), QString::number(d.age), {}});
    if (d.gender == 1 || d.gender == 2)
        fields.push_back({Label(kGender), ResText(d.gender == 1 ? kFemale : kMale), {}});
    add(kHomepage, d.homepage);
    add(kAbout, d.about);
    add(kAwayMessage, d.awayMessage);
    add(kProfile, d.profile);
    // What is still awaited, or why nothing came, closes the list.
    if (d.Loading())
        fields.push_back({QString(), ResText(kAsking), {}});
    else if (!d.error.empty())
        fields.push_back({QString(), Q(d.error), {}});
    fields_ = std::move(fields);

    pictureVersion_ = contact_->PictureVersion();
    picture_ = QImage();
    if (contact_->HasPicture()) {
        const std::vector<uint8_t> bytes = contact_->Picture();
        const QImage decoded = LoadImage(bytes.data(), bytes.size());
        const int side = ScaleX(kPictureSide);
        if (!decoded.isNull())
            picture_ = decoded.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    }
}

bool ContactDetailsPage::ChangedSinceLastPaint() {
    const bool marked = ViewPage::ChangedSinceLastPaint();
    const bool changed = AccountOf(*contact_).DetailsVersion() != detailsVersion_ ||
                         contact_->PictureVersion() != pictureVersion_;
    if (!marked && !changed) return false;
    CollectFields();
    Relayout();
    return true;
}

void ContactDetailsPage::LayoutContent(int width) {
    const int margin = ScaleX(12);
    const int textWidth = std::max(1, width - 2 * margin);
    int y = CaptionHeight() + ScaleY(8);
    pictureRect_ = QRect();
    if (!picture_.isNull()) {
        pictureRect_ = QRect(margin, y, picture_.width(), picture_.height());
        y += picture_.height() + ScaleY(8);
    }
    for (Field& field : fields_) {
        const int labelHeight =
            field.label.isEmpty() ? 0 : TextHeight(field.label, kLabelLevel, false);
        const int valueHeight = MeasureWrapped(field.value, kValueLevel, textWidth).height();
        field.rect = QRect(margin, y, textWidth, labelHeight + valueHeight);
        y += field.rect.height() + ScaleY(8);
    }
    contentHeight_ = y;
}

void ContactDetailsPage::DrawRect(QPainter& painter, const QRect& rect) {
    if (!pictureRect_.isEmpty() && pictureRect_.intersects(rect))
        painter.drawImage(pictureRect_, picture_);
    for (const Field& field : fields_) {
        if (!field.rect.intersects(rect)) continue;
        QRect r = field.rect;
        if (!field.label.isEmpty()) {
            SelectFont(painter, kLabelLevel, false);
            painter.setPen(GreyTextColour());
            const int labelHeight = TextHeight(field.label, kLabelLevel, false);
            painter.drawText(QRect(r.left(), r.top(), r.width(), labelHeight),
                             Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                             ElideAtWord(painter.fontMetrics(), field.label, r.width()));
            r.setTop(r.top() + labelHeight);
        }
        SelectFont(painter, kValueLevel, false);
        painter.setPen(field.label.isEmpty() ? GreyTextColour() : WindowTextColour());
        painter.drawText(r, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap | Qt::TextExpandTabs,
                         field.value);
    }
}

bool ContactDetailsPage::LeftSoftKey(QString& label) {
    label = ResText(kTextRefresh);
    return true;
}

void ContactDetailsPage::FillLeftKeyPopup(QMenu& menu) {
    AddMenuCommand(menu, ResText(kTextRefresh), kCmdRefresh);
    AddMenuCommand(menu, ResText(kTextClose), kCmdClose);
}

void ContactDetailsPage::Command(int id) {
    if (!IsActive()) return;  // every page hears every command
    if (id == kCmdRefresh) Refresh();
    if (id == kCmdClose) GoBack();
}

void ContactDetailsPage::OnKey(int key) {
    if (key == Qt::Key_F5) {
        Refresh();
        return;
    }
    ViewPage::OnKey(key);
}

bool ContactDetailsPage::GoBack() {
    if (Host() == nullptr) return false;
    Host()->RemovePage(this, MainWindow::kSlideThenRemove);
    return true;
}

}  // namespace zul
