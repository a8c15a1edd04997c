#include "ui/views/accounts_page.h"

#include <QAction>
#include <QActionGroup>
#include <QFontMetrics>
#include <QMenu>
#include <QPainter>
#include <QTimer>
#include <algorithm>

#include "accounts/accounts.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "storage/contacts.h"
#include "storage/options.h"
#include "storage/status.h"
#include "ui/framework/dpi.h"
#include "ui/framework/drawing.h"
#include "ui/framework/main_window.h"
#include "ui/texts/ui_resources.h"
#include "ui/views/own_picture.h"
#include "ui/views/view_support.h"

namespace zul {
namespace {

// Text levels of the row: the name, and the status and counts lines.
constexpr int kNameLevel = 1;
constexpr int kDetailLevel = 3;

int IconLeft() {
    return 2 * (Dpi::X() + 24) / 96;
}

QString Q(const std::u16string& text) {
    return QString::fromStdU16String(text);
}

// Replaces the "%d" placeholders of a text of the program in order; other text stays as it is.
QString FormatCountsTemplate(QString text, int first, int second) {
    const int values[] = {first, second};
    qsizetype from = 0;
    for (int value : values) {
        const qsizetype at = text.indexOf(QStringLiteral("%d"), from);
        if (at < 0) break;
        const QString number = QString::number(value);
        text.replace(at, 2, number);
        from = at + number.size();
    }
    return text;
}

// Heights of the three lines of a row whose text column is `width` wide.
struct RowMetrics {
    int name = 0;
    int status = 0;
    int counts = 0;
};

constexpr int kTextStatusNote = 346;
constexpr int kTextStatusNoteTitle = 347;
constexpr int kTextStatusNoteLabel = 348;
constexpr int kTextWhoCanSeeMe = 370;
constexpr int kTextSignOnHere = 1180;
constexpr int kTextProfile = 1181;
constexpr int kTextProfileTitle = 1182;
constexpr int kTextProfileLabel = 1183;
constexpr int kTextWarningLevel = 1185;
constexpr int kTextPicture = 1190;
constexpr int kTextRemovePicture = 1191;
constexpr int kTextPictureTitle = 1193;
constexpr int kTextNotAPicture = 1194;
constexpr int kTextCannotShrink = 1196;
// The names of the privacy modes, in the order the menu offers them.
constexpr std::pair<uint8_t, int> kPrivacyModeTexts[] = {
    {1, 371}, {5, 375}, {4, 374}, {3, 373}, {2, 372}};

// The status (or progress, or error) and, after a dash, the user's own note.
QString StatusLine(const CAccount& account) {
    QString line = Q(account.StatusText());
    const std::u16string note = account.StatusNote();
    if (!note.empty()) line += (line.isEmpty() ? QString() : QStringLiteral(" \u2014 ")) + Q(note);
    // A warned account says how far: at 100 % the server stops its messages.
    if (const int level = account.WarningLevel(); level > 0) {
        line += (line.isEmpty() ? QString() : QStringLiteral(" \u2014 ")) +
                Q(FormatInt(ResString(kTextWarningLevel), level / 10));
    }
    return line;
}

RowMetrics Measure(const CAccount& account, int width) {
    RowMetrics m;
    m.name = TextHeight(QStringLiteral("A"), kNameLevel, true);
    const QString status = StatusLine(account);
    m.status = status.isEmpty() ? TextHeight(QStringLiteral("A"), kDetailLevel, false)
                                : MeasureWrapped(status, kDetailLevel, width).height();
    m.counts = account.Busy() ? 0 : TextHeight(QStringLiteral("A"), kDetailLevel, false);
    return m;
}

int RowHeight(const RowMetrics& m) {
    int h = ScaleY(5) + m.name + ScaleY(1) + m.status;
    if (m.counts > 0) h += ScaleY(1) + m.counts;
    return h + ScaleY(5);
}

}  // namespace

void AccountRow::RefreshAvatar() {
    const uint32_t version = account_.OwnerAvatarVersion();
    if (avatarDecoded_ && version == avatarVersion_) return;
    avatarVersion_ = version;
    avatarDecoded_ = true;
    const std::vector<uint8_t> bytes = account_.OwnerAvatar();
    avatar_ = LoadImage(bytes.data(), bytes.size());
}

AccountsPage::AccountsPage(CAccounts& accounts) : accounts_(accounts) {
    Caption().SetTitle(UiText(kStrAccounts));
    SyncRows();
}

AccountsPage::~AccountsPage() {
    // Leave the host while the rows still exist: leaving repaints the focused row.
    if (Host() != nullptr) Host()->RemovePage(this, MainWindow::kRemoveThenJump);
    FocusItem(nullptr);
}

AccountRow* AccountsPage::RowOf(const CAccount* account) const {
    for (const auto& row : rows_)
        if (&row->Account() == account) return row.get();
    return nullptr;
}

bool AccountsPage::SyncRows() {
    std::vector<CAccount*> listed = accounts_.Snapshot();
    if (Options().AccountsShowDisabled == 0)
        std::erase_if(listed, [](const CAccount* account) { return !account->Enabled(); });
    bool same = listed.size() == rows_.size();
    for (size_t i = 0; same && i < listed.size(); ++i) same = &rows_[i]->Account() == listed[i];
    if (same) return false;

    std::vector<std::unique_ptr<AccountRow>> rows;
    for (CAccount* account : listed) {
        auto it = std::find_if(rows_.begin(), rows_.end(),
                               [account](const auto& r) { return r && &r->Account() == account; });
        if (it != rows_.end())
            rows.push_back(std::move(*it));
        else
            rows.push_back(std::make_unique<AccountRow>(*account));
    }
    // A focused row that is no longer listed loses the focus before it goes.
    for (const auto& old : rows_)
        if (old && old.get() == FocusedItem()) FocusItem(nullptr);
    rows_ = std::move(rows);
    return true;
}

bool AccountsPage::TakeAccountMarks() {
    bool any = false;
    for (CAccount* account : accounts_.Snapshot())
        if (account->TakeRepaint()) any = true;
    return any;
}

bool AccountsPage::AnyEnabled() const {
    const std::vector<CAccount*> list = accounts_.Snapshot();
    return std::any_of(list.begin(), list.end(),
                       [](const CAccount* account) { return account->Enabled(); });
}

bool AccountsPage::ChangedSinceLastPaint() {
    const bool marked = ViewPage::ChangedSinceLastPaint();
    const bool accountsMarked = TakeAccountMarks();
    if (accountsMarked) AskPendingQuestions();
    const bool listChanged = SyncRows();
    if (!marked && !accountsMarked && !listChanged) return false;
    // Texts change the row heights: lay the page out again (a handful of rows).
    Relayout();
    if (Host() != nullptr) Host()->RefreshSoftKeys();
    return true;
}

void AccountsPage::LanguageChanged() {
    Caption().SetTitle(UiText(kStrAccounts));
    Relayout();
}

void AccountsPage::Activated() {
    if (ChangedSinceLastPaint() && Host() != nullptr) Host()->update();
}

int AccountsPage::ContentHeight() {
    return rows_.empty() ? 0 : contentHeight_;
}

void AccountsPage::LayoutContent(int width) {
    SyncRows();
    const bool avatars = Options().AccountsShowAvatars != 0;
    int y = CaptionHeight();
    const int textLeft = ScaleX(24);
    const int textRight = ScaleX(3);
    for (auto& row : rows_) {
        CAccount& account = row->Account();
        row->RefreshAvatar();
        const bool picture = avatars && !row->avatar_.isNull();
        int textWidth = std::max(1, width - textLeft - textRight);
        int height = RowHeight(Measure(account, textWidth));
        if (picture) {
            // The picture's square takes the row height; the text column ends before it.
            textWidth = std::max(1, width - textLeft - textRight - height);
            height = std::max(height, RowHeight(Measure(account, textWidth)));
        }
        row->SetRect(QRect(0, y, width, height));
        row->avatarBox_ = picture ? QRect(width - height, y + ScaleY(1), height - ScaleX(1),
                                          height - 2 * ScaleY(1))
                                  : QRect();
        y += height;
    }
    contentHeight_ = y;
}

void AccountsPage::DrawRect(QPainter& painter, const QRect& rect) {
    for (const auto& row : rows_)
        if (row->Rect().intersects(rect)) DrawRow(painter, *row);
}

QString AccountsPage::CountsText(const CAccount& account) {
    if (!account.Enabled()) return UiText(kStrDisabled);
    int online = 0;
    const int total = const_cast<CAccount&>(account).Contacts().CountContacts(&account, &online);
    return FormatCountsTemplate(UiText(kStrCounts), total, online);
}

void AccountsPage::DrawRow(QPainter& painter, const AccountRow& row) {
    const CAccount& account = row.Account();
    const QRect r = row.Rect();
    const bool selected = FocusedItem() == &row;
    const bool focused = HostHasFocus();
    const bool enabled = account.Enabled() != 0;
    painter.fillRect(r, ItemBackground(selected, focused));

    // A busy account's icon blinks with the page.
    const int iconSize = ScaleX(16);
    if (!account.Busy() || blinkOn_) {
        const QPixmap icon = UiIconPixmap(account.StatusIcon());
        if (!icon.isNull())
            painter.drawPixmap(
                QRect(r.left() + IconLeft(), r.top() + ScaleY(5), iconSize, iconSize), icon);
    }

    const int left = r.left() + ScaleX(24);
    const int right =
        (row.AvatarBox().isEmpty() ? r.right() + 1 : row.AvatarBox().left()) - ScaleX(3);
    const int width = std::max(1, right - left);
    const RowMetrics m = Measure(account, width);
    int y = r.top() + ScaleY(5);

    SelectFont(painter, kNameLevel, true);
    painter.setPen(ItemTextColour(selected, focused, enabled));
    const QString name = ElideAtWord(painter.fontMetrics(), Q(account.Description()), width);
    painter.drawText(QRect(left, y, width, m.name),
                     Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, name);
    y += m.name + ScaleY(1);

    SelectFont(painter, kDetailLevel, false);
    painter.setPen(ItemTextColour(selected, focused, false));
    painter.drawText(QRect(left, y, width, m.status),
                     Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, StatusLine(account));
    y += m.status + ScaleY(1);
    if (!account.Busy()) {
        const QString counts = ElideAtWord(painter.fontMetrics(), CountsText(account), width);
        painter.drawText(QRect(left, y, width, m.counts),
                         Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, counts);
    }

    if (Options().AccountsShowAvatars && !row.AvatarBox().isEmpty() && !row.Avatar().isNull())
        DrawImage(painter, row.Avatar(), FitImage(row.Avatar().size(), row.AvatarBox()));
}

namespace {
bool WaitsForUser(const CAccount& account) {
    return account.HasCertificateQuestion() || account.PasswordQuestion() != 0;
}
}  // namespace

void AccountsPage::AskPendingQuestions() {
    if (asking_ || !questionAsker_) return;
    int32_t id = 0;
    for (const CAccount* account : accounts_.Snapshot()) {
        if (WaitsForUser(*account)) {
            id = account->ID();
            break;
        }
    }
    if (id == 0) return;
    // The question is a modal box: never opened from inside a paint or a tick.
    asking_ = true;
    QTimer::singleShot(0, &askContext_, [this, id] {
        CAccount* account = accounts_.Find(id);
        if (account != nullptr && WaitsForUser(*account)) questionAsker_(*account);
        asking_ = false;
    });
}

void AccountsPage::SlowTick() {
    AskPendingQuestions();
    blinkOn_ = !blinkOn_;
    // Busy accounts animate their icon; the others have nothing to move.
    for (const auto& row : rows_)
        if (row->Account().Busy()) RedrawItem(row.get());
}

bool AccountsPage::WantsTicks() const {
    return std::any_of(rows_.begin(), rows_.end(),
                       [](const auto& row) { return row->Account().Busy(); });
}

bool AccountsPage::AcceptsInput() {
    if (AnyEnabled()) return true;
    return Options().AccountsShowDisabled != 0 && accounts_.Count() > 0;
}

QString AccountsPage::EmptyText() {
    return UiText(kStrEmpty);
}

bool AccountsPage::LeftSoftKey(QString& label) {
    label = UiText(kStrStatus);
    return AnyEnabled();
}

void AccountsPage::FillLeftKeyPopup(QMenu& menu) {
    // The status the enabled accounts share is marked; accounts in different ones mark none.
    std::optional<int> shared;
    bool mixed = false;
    for (const CAccount* account : accounts_.Snapshot()) {
        if (!account->Enabled()) continue;
        const int command = RadioCommandForStatus(account->Status());
        if (shared && *shared != command) mixed = true;
        shared = command;
    }
    auto* radio = new QActionGroup(&menu);
    radio->setExclusive(true);
    for (const StatusMenuEntry& entry : StatusMenuEntries(true)) {
        if (entry.separatorBefore) menu.addSeparator();
        QAction* action = AddMenuCommand(menu, Q(entry.name), entry.command);
        action->setCheckable(true);
        action->setActionGroup(radio);
        action->setChecked(!mixed && shared == entry.command);
    }
    menu.addSeparator();
    AddMenuCommand(menu, ResText(kTextStatusNote), kCmdStatusNoteAll);
}

void AccountsPage::FillMenuPopup(QMenu& menu, QAction* before) {
    const MenuResource resource = UiMenu(menuid::kAccountView);
    const MenuNode* popup = resource.FindPopup(u"AccountView");
    if (popup == nullptr) return;
    auto* view = new QMenu(UiText(kStrView), &menu);
    FillMenu(*view, *popup);
    if (QAction* a = FindMenuCommand(*view, menucmd::kShowDisabled)) {
        a->setCheckable(true);
        a->setChecked(Options().AccountsShowDisabled != 0);
    }
    if (QAction* a = FindMenuCommand(*view, menucmd::kShowAvatars)) {
        a->setCheckable(true);
        a->setChecked(Options().AccountsShowAvatars != 0);
    }
    menu.insertMenu(before, view);
}

void AccountsPage::Command(int id) {
    COptions& options = Options();
    if (id == menucmd::kShowDisabled || id == menucmd::kShowAvatars) {
        if (id == menucmd::kShowDisabled) {
            options.AccountsShowDisabled = options.AccountsShowDisabled ? 0 : 1;
            auto* row = static_cast<AccountRow*>(FocusedItem());
            if (!options.AccountsShowDisabled && row != nullptr && !row->Account().Enabled())
                FocusItem(nullptr);
        } else {
            options.AccountsShowAvatars = options.AccountsShowAvatars ? 0 : 1;
        }
        Relayout();
        options.SaveAll();
        return;
    }
    if (id == kCmdStatusNoteAll) {
        std::vector<CAccount*> enabled = accounts_.Snapshot();
        std::erase_if(enabled, [](const CAccount* account) { return !account->Enabled(); });
        if (enabled.empty()) return;
        const std::optional<QString> note = AskText(
            Host(), kTextStatusNoteTitle, kTextStatusNoteLabel, Q(enabled.front()->StatusNote()));
        if (!note) return;
        for (CAccount* account : enabled)
            account->ChangeStatusNote(note->trimmed().toStdU16String());
        Relayout();
        return;
    }
    // The left key's status entries apply to every enabled account.
    const std::optional<int32_t> status = StatusForCommand(id);
    if (!status) return;
    if (*status == kStatusOffline)
        accounts_.DisconnectAll();
    else
        accounts_.RequestStatusAll(*status);
    MarkChanged();
}

bool AccountsPage::FillContextMenu(QMenu& menu) {
    auto* row = static_cast<AccountRow*>(FocusedItem());
    if (row == nullptr) return false;
    CAccount& account = row->Account();
    const MenuResource resource = UiMenu(menuid::kAccountStatus);
    const MenuNode* popup = resource.FindPopup(u"Status");
    if (popup == nullptr) return false;
    if (account.Enabled()) {
        // Signed off because it signed on in another place: taking it back is one choice.
        if (account.SignedOnElsewhere() && account.Status() == kStatusOffline) {
            AddMenuCommand(menu, ResText(kTextSignOnHere), kCmdSignOnHere);
            menu.addSeparator();
        }
        auto* radio = new QActionGroup(&menu);
        radio->setExclusive(true);
        const int current = RadioCommandForStatus(account.Status());
        for (const StatusMenuEntry& entry : StatusMenuEntries(false)) {
            QAction* action = AddMenuCommand(menu, Q(entry.name), entry.command);
            action->setCheckable(true);
            action->setActionGroup(radio);
            action->setChecked(entry.command == current);
        }
        AddMenuCommand(menu, ResText(kTextStatusNote), kCmdStatusNote);
        AddMenuCommand(menu, ResText(kTextProfile), kCmdProfile);
        AddMenuCommand(menu, ResText(kTextPicture), kCmdPicture);
        if (account.HasOwnerAvatar())
            AddMenuCommand(menu, ResText(kTextRemovePicture), kCmdRemovePicture);
        auto* privacy = new QMenu(ResText(kTextWhoCanSeeMe), &menu);
        auto* modes = new QActionGroup(privacy);
        const uint8_t mode =
            account.PrivacyChoice() != 0 ? account.PrivacyChoice() : account.ServerPrivacyMode();
        for (const auto& [value, text] : kPrivacyModeTexts) {
            QAction* action = AddMenuCommand(*privacy, ResText(text), kCmdPrivacyMode + value);
            action->setCheckable(true);
            action->setActionGroup(modes);
            action->setChecked(value == mode);
        }
        menu.addMenu(privacy);
        menu.addSeparator();
    }
    FillMenu(menu, *popup);
    if (QAction* enabled = FindMenuCommand(menu, kCmdAccountEnabled)) {
        enabled->setCheckable(true);
        enabled->setChecked(account.Enabled() != 0);
    }
    return true;
}

void AccountsPage::RunStatusCommand(CAccount* account, int command) {
    const std::optional<int32_t> status = StatusForCommand(command);
    if (!status) return;
    if (*status == kStatusOffline)
        account->Disconnect(true);
    else
        account->RequestStatus(*status);
}

void AccountsPage::ChoosePicture(CAccount& account) {
    const std::optional<QString> path = AskPictureFile(Host(), kTextPictureTitle);
    if (!path) return;
    PreparedPicture picture = PrepareOwnPicture(*path, CAccount::kMaxOwnPictureBytes);
    int problem = picture.errorTextId;
    if (problem == 0) {
        switch (account.ChangeOwnPicture(std::move(picture.bytes))) {
            case CAccount::PictureProblem::kNone:
                break;
            case CAccount::PictureProblem::kNotAnImage:
                problem = kTextNotAPicture;
                break;
            case CAccount::PictureProblem::kTooLarge:
                problem = kTextCannotShrink;
                break;
        }
    }
    if (problem != 0) ShowInformation(Host(), kTextPictureTitle, ResText(problem));
    Relayout();
}

void AccountsPage::ContextCommand(int id) {
    auto* row = static_cast<AccountRow*>(FocusedItem());
    if (row == nullptr) return;
    CAccount* account = &row->Account();
    if (id == kCmdAccountEnabled) {
        account->SetEnabled(account->Enabled() ? 0 : 1);
        // Kept for the next start as well.
        account->dbSave();
        if (!account->Enabled() && !Options().AccountsShowDisabled) FocusItem(nullptr);
        Relayout();
        if (Host() != nullptr) Host()->RefreshSoftKeys();
        return;
    }
    if (id > kCmdPrivacyMode && id <= kCmdPrivacyMode + 5) {
        account->ChangePrivacyMode(static_cast<uint8_t>(id - kCmdPrivacyMode));
        return;
    }
    if (id == kCmdSignOnHere) {
        const int32_t wanted = account->RequestedStatus();
        account->RequestStatus(wanted == kStatusOffline ? kStatusAvailable : wanted);
        MarkChanged();
        return;
    }
    if (id == kCmdProfile) {
        const std::optional<QString> profile =
            AskLongText(Host(), kTextProfileTitle, kTextProfileLabel, Q(account->Profile()));
        if (profile) account->ChangeProfile(profile->trimmed().toStdU16String());
        return;
    }
    if (id == kCmdPicture) {
        ChoosePicture(*account);
        return;
    }
    if (id == kCmdRemovePicture) {
        account->ChangeOwnPicture({});
        Relayout();
        return;
    }
    if (id == kCmdStatusNote) {
        const std::optional<QString> note =
            AskText(Host(), kTextStatusNoteTitle, kTextStatusNoteLabel, Q(account->StatusNote()));
        if (note) account->ChangeStatusNote(note->trimmed().toStdU16String());
        Relayout();
        return;
    }
    RunStatusCommand(account, id);
    MarkChanged();
}

std::vector<ListItem*> AccountsPage::AccessibleItems() {
    std::vector<ListItem*> items;
    for (const auto& row : rows_) items.push_back(row.get());
    return items;
}

QString AccountsPage::AccessibleText(const ListItem& item) {
    const auto& row = static_cast<const AccountRow&>(item);
    return Q(row.Account().Description()) + QStringLiteral(", ") + StatusLine(row.Account()) +
           QStringLiteral(", ") + CountsText(row.Account());
}

ListItem* AccountsPage::ItemAt(int x, int y) {
    for (const auto& row : rows_)
        if (row->Rect().contains(x, y)) return row.get();
    return nullptr;
}

}  // namespace zul
