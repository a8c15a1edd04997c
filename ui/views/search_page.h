// SearchPage: what a directory search of one account found, one row per user (name, number,
// e-mail, age and gender), and a last line that says whether the search still runs, how many
// more there were than are shown, or why nothing came. A user already in the account's list is
// marked so, and tapping its row opens its chat; tapping any other row (or "Add" on the left
// key or the row's menu) hands the user to the adder, which opens the form of a new contact.
#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <vector>

#include "accounts/account.h"
#include "storage/contacts.h"
#include "ui/framework/list_item.h"
#include "ui/framework/view_page.h"

namespace zul {

class CAccounts;

class SearchPage : public ViewPage {
  public:
    static constexpr int kCmdAdd = 50110;
    static constexpr int kCmdClose = 50111;
    static constexpr int kCmdOpenChat = 50112;
    using Adder = std::function<void(CAccount& account, const FoundUser& user)>;
    // The chat page of a contact of the list (nullptr: none to open).
    using ChatOpener = std::function<ViewPage*(const ContactPtr& contact)>;

    SearchPage(CAccounts& accounts, Adder adder, ChatOpener chatOpener = {});
    // Shows the search of an account (already asked for) under the query's text.
    void Show(int32_t accountId, const QString& query);

    class Row : public ListItem {
      public:
        Row(SearchPage& page, FoundUser user)
            : ListItem(kOpensPage), page_(page), user_(std::move(user)) {}
        const FoundUser& User() const { return user_; }
        // The contact of the account's server list with the user's login, or null.
        const ContactPtr& Listed() const { return listed_; }
        ViewPage* Activate(int mode) override;

      private:
        friend class SearchPage;
        SearchPage& page_;
        FoundUser user_;
        ContactPtr listed_;
    };
    const std::vector<std::unique_ptr<Row>>& Rows() const { return rows_; }
    // The last line as shown now (searching, more found, or why nothing came).
    const QString& Footer() const { return footer_; }
    // Adds the user of a row (tap, the Add key).
    void AddUser(const FoundUser& user);
    // What a tap on a row does: the chat page of a listed contact (to open), else the user is
    // handed to the adder (nullptr).
    ViewPage* Choose(const Row& row);

    // ViewPage.
    bool ChangedSinceLastPaint() override;
    std::vector<ListItem*> AccessibleItems() override;
    QString AccessibleText(const ListItem& item) override;
    int ContentHeight() override { return contentHeight_; }
    void LayoutContent(int width) override;
    void DrawRect(QPainter& painter, const QRect& rect) override;
    ListItem* ItemAt(int x, int y) override;
    // A user not in the list is added with one tap, even where chats open by a double tap.
    void OnTap(int x, int y) override;
    bool LeftSoftKey(QString& label) override;
    void FillLeftKeyPopup(QMenu& menu) override;
    void Command(int id) override;
    bool FillContextMenu(QMenu& menu) override;
    void ContextCommand(int id) override;
    void Activated() override;
    void LanguageChanged() override;
    void SlowTick() override;
    bool WantsTicks() const override { return IsActive(); }
    bool GoBack() override;

  private:
    // The account shown, or nullptr when it is gone.
    CAccount* Account() const;
    void Collect();
    // Looks up which rows' users are in the account's list; true when a mark changed.
    bool MarkListed();
    // "Add", or "Open chat" for a listed contact, for the focused row (disabled without one).
    void AddRowCommand(QMenu& menu);
    void RunRowCommand(int id);

    CAccounts& accounts_;
    Adder adder_;
    ChatOpener chatOpener_;
    int32_t accountId_ = 0;
    uint32_t version_ = 0;
    std::vector<std::unique_ptr<Row>> rows_;
    QString footer_;
    QRect footerRect_;
    int contentHeight_ = 0;
};

}  // namespace zul
