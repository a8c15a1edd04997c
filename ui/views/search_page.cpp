#include "ui/views/search_page.h"

#include <QMenu>
#include <QPainter>
#include <algorithm>
#include <utility>

#include "accounts/accounts.h"
#include "platform/text.h"
#include "ui/framework/dpi.h"
#include "ui/framework/drawing.h"
#include "ui/framework/main_window.h"
#include "ui/views/view_support.h"

namespace zul {
namespace {

constexpr int kTextTitle = 349;
constexpr int kTextSearching = 350;
constexpr int kTextMore = 351;
constexpr int kTextAdd = 352;
constexpr int kTextInList = 380;
constexpr int kTextOpenChat = 381;
constexpr int kTextAge = 333;
constexpr int kTextFemale = 341;
constexpr int kTextMale = 342;
constexpr int kTextClose = 13000;
constexpr int kNameLevel = 2;
constexpr int kDetailLevel = 4;

QString Q(const std::u16string& text) {
    return QString::fromStdU16String(text);
}

// The name a found user goes by: the nickname, else the first and last name, else the number.
QString NameOf(const FoundUser& user) {
    if (!user.nickname.empty()) return SingleLine(user.nickname);
    std::u16string name = user.firstName;
    if (!user.lastName.empty()) name += (name.empty() ? u"" : u" ") + user.lastName;
    return SingleLine(name.empty() ? user.login : name);
}

// Number, e-mail, age and gender on one line.
QString DetailOf(const FoundUser& user) {
    QStringList parts{Q(user.login)};
    if (!user.email.empty()) parts << SingleLine(user.email);
    if (user.age > 0) parts << ResText(kTextAge) + QStringLiteral(" ") + QString::number(user.age);
    if (user.gender == 1 || user.gender == 2)
        parts << ResText(user.gender == 1 ? kTextFemale : kTextMale);
    return parts.join(QStringLiteral(" \u00B7 "));
}

}  // namespace

ViewPage* SearchPage::Row::Activate(int) {
    return page_.Choose(*this);
}

SearchPage::SearchPage(CAccounts& accounts, Adder adder, ChatOpener chatOpener)
    : accounts_(accounts), adder_(std::move(adder)), chatOpener_(std::move(chatOpener)) {
    Caption().SetTitle(ResText(kTextTitle));
}

void SearchPage::LanguageChanged() {
    Caption().SetTitle(ResText(kTextTitle));
    Relayout();
}

void SearchPage::Show(int32_t accountId, const QString& query) {
    accountId_ = accountId;
    Caption().SetSubtitle(SingleLine(query.toStdU16String()), 4, false);
    SetContentOffset(0);
    FocusItem(nullptr);
    version_ = 0;
    Collect();
    MarkChanged();
}

CAccount* SearchPage::Account() const {
    return accounts_.Find(accountId_);
}

void SearchPage::AddUser(const FoundUser& user) {
    if (CAccount* account = Account(); account != nullptr && adder_) adder_(*account, user);
}

ViewPage* SearchPage::Choose(const Row& row) {
    if (row.Listed() && !row.Listed()->Removed())
        return chatOpener_ ? chatOpener_(row.Listed()) : nullptr;
    // A copy: the form the adder opens runs while the results may change under it.
    const FoundUser user = row.User();
    AddUser(user);
    return nullptr;
}

bool SearchPage::MarkListed() {
    CAccount* account = Account();
    bool changed = false;
    for (auto& row : rows_) {
        ContactPtr listed;
        if (account != nullptr) {
            listed = account->Contacts().FindContact(account, row->User().login);
            if (listed && (!listed->OnServer() || listed->Removed())) listed.reset();
        }
        if (listed != row->listed_) {
            row->listed_ = std::move(listed);
            changed = true;
        }
    }
    return changed;
}

void SearchPage::Activated() {
    if (MarkListed()) MarkChanged();
}

void SearchPage::SlowTick() {
    // A contact added (or removed) meanwhile: once the server agreed, the row says so.
    if (IsActive() && MarkListed()) MarkChanged();
}

void SearchPage::Collect() {
    CAccount* account = Account();
    if (account == nullptr) {
        rows_.clear();
        footer_.clear();
        return;
    }
    version_ = account->SearchVersion();
    const DirectorySearch search = account->Search();
    // The rows already there stay (and keep the focus) while results come in.
    if (rows_.size() > search.users.size()) {
        FocusItem(nullptr);
        rows_.clear();
    }
    for (size_t i = rows_.size(); i < search.users.size(); ++i)
        rows_.push_back(std::make_unique<Row>(*this, search.users[i]));
    MarkListed();
    if (search.searching) {
        footer_ = ResText(kTextSearching);
    } else if (search.more > 0) {
        footer_ = ResText(kTextMore).replace(QStringLiteral("%d"),
                                             QString::number(static_cast<qulonglong>(search.more)));
    } else {
        footer_ = Q(search.error);
    }
}

bool SearchPage::ChangedSinceLastPaint() {
    const bool marked = ViewPage::ChangedSinceLastPaint();
    CAccount* account = Account();
    const bool changed = account != nullptr && account->SearchVersion() != version_;
    if (!marked && !changed) return false;
    Collect();
    Relayout();
    return true;
}

void SearchPage::LayoutContent(int width) {
    const int margin = ScaleX(12);
    const int rowHeight = ScaleY(5) + TextHeight(QStringLiteral("A"), kNameLevel, true) +
                          ScaleY(1) + TextHeight(QStringLiteral("A"), kDetailLevel, false) +
                          ScaleY(5);
    int y = CaptionHeight();
    for (auto& row : rows_) {
        row->SetRect(QRect(0, y, width, rowHeight));
        y += rowHeight;
    }
    footerRect_ = QRect();
    if (!footer_.isEmpty()) {
        const int textWidth = std::max(1, width - 2 * margin);
        footerRect_ = QRect(margin, y + ScaleY(8), textWidth,
                            MeasureWrapped(footer_, kDetailLevel, textWidth).height());
        y = footerRect_.bottom() + ScaleY(8);
    }
    contentHeight_ = y;
}

void SearchPage::DrawRect(QPainter& painter, const QRect& rect) {
    const bool focused = HostHasFocus();
    const int margin = ScaleX(12);
    for (const auto& row : rows_) {
        const QRect r = row->Rect();
        if (!r.intersects(rect)) continue;
        const bool selected = FocusedItem() == row.get();
        painter.fillRect(r, ItemBackground(selected, focused));
        const int width = std::max(1, r.width() - 2 * margin);
        int y = r.top() + ScaleY(5);
        const int nameHeight = TextHeight(QStringLiteral("A"), kNameLevel, true);
        // A contact already in the list says so at the right end of the name's line.
        int nameWidth = width;
        if (row->Listed()) {
            SelectFont(painter, kDetailLevel, true);
            painter.setPen(selected ? ItemTextColour(selected, focused, false) : HighlightColour());
            const QString mark = ResText(kTextInList);
            const int markWidth =
                std::min(width / 2, painter.fontMetrics().horizontalAdvance(mark));
            painter.drawText(QRect(r.left() + margin + width - markWidth, y, markWidth, nameHeight),
                             Qt::AlignRight | Qt::AlignVCenter | Qt::TextSingleLine,
                             painter.fontMetrics().elidedText(mark, Qt::ElideRight, markWidth));
            nameWidth = std::max(1, width - markWidth - ScaleX(8));
        }
        SelectFont(painter, kNameLevel, true);
        painter.setPen(ItemTextColour(selected, focused, true));
        painter.drawText(QRect(r.left() + margin, y, nameWidth, nameHeight),
                         Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                         ElideAtWord(painter.fontMetrics(), NameOf(row->User()), nameWidth));
        y += nameHeight + ScaleY(1);
        SelectFont(painter, kDetailLevel, false);
        painter.setPen(ItemTextColour(selected, focused, false));
        painter.drawText(QRect(r.left() + margin, y, width, r.bottom() - y),
                         Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                         ElideAtWord(painter.fontMetrics(), DetailOf(row->User()), width));
    }
    if (!footerRect_.isEmpty() && footerRect_.intersects(rect)) {
        SelectFont(painter, kDetailLevel, false);
        painter.setPen(GreyTextColour());
        painter.drawText(footerRect_, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, footer_);
    }
}

std::vector<ListItem*> SearchPage::AccessibleItems() {
    std::vector<ListItem*> items;
    for (const auto& row : rows_) items.push_back(row.get());
    return items;
}

QString SearchPage::AccessibleText(const ListItem& item) {
    const auto& row = static_cast<const Row&>(item);
    QString text = NameOf(row.User()) + QStringLiteral(", ") + DetailOf(row.User());
    if (row.Listed()) text += QStringLiteral(", ") + ResText(kTextInList);
    return text;
}

ListItem* SearchPage::ItemAt(int x, int y) {
    for (const auto& row : rows_)
        if (row->Rect().contains(x, y)) return row.get();
    return nullptr;
}

void SearchPage::OnTap(int x, int y) {
    if (MarkListed()) MarkChanged();
    auto* row = dynamic_cast<Row*>(ItemAt(x, y));
    if (row == nullptr || row->Listed()) {
        ViewPage::OnTap(x, y);
        return;
    }
    FocusItem(row);
    ActivateFocused(ListItem::kByPointer);
}

bool SearchPage::LeftSoftKey(QString& label) {
    label = ResText(kTextAdd);
    return true;
}

void SearchPage::AddRowCommand(QMenu& menu) {
    const auto* row = dynamic_cast<const Row*>(FocusedItem());
    if (row != nullptr && row->Listed()) {
        AddMenuCommand(menu, ResText(kTextOpenChat), kCmdOpenChat);
        return;
    }
    AddMenuCommand(menu, ResText(kTextAdd), kCmdAdd)->setEnabled(row != nullptr);
}

void SearchPage::FillLeftKeyPopup(QMenu& menu) {
    MarkListed();
    AddRowCommand(menu);
    AddMenuCommand(menu, ResText(kTextClose), kCmdClose);
}

bool SearchPage::FillContextMenu(QMenu& menu) {
    if (dynamic_cast<Row*>(FocusedItem()) == nullptr) return false;
    MarkListed();
    AddRowCommand(menu);
    return true;
}

void SearchPage::RunRowCommand(int id) {
    auto* row = dynamic_cast<Row*>(FocusedItem());
    if (row == nullptr) return;
    if (id == kCmdAdd && !row->Listed()) Choose(*row);
    if (id == kCmdOpenChat && row->Listed()) OpenPage(Choose(*row));
}

void SearchPage::ContextCommand(int id) {
    RunRowCommand(id);
}

void SearchPage::Command(int id) {
    if (!IsActive()) return;  // every page hears every command
    if (id == kCmdAdd || id == kCmdOpenChat) RunRowCommand(id);
    if (id == kCmdClose) GoBack();
}

bool SearchPage::GoBack() {
    if (Host() == nullptr) return false;
    Host()->RemovePage(this, MainWindow::kSlideThenRemove);
    return true;
}

}  // namespace zul
