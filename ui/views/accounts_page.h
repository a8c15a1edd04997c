// AccountsPage: the first page of the main window. One row per account of the collection with
// its icon, name, status or progress text, contact counts and owner picture; the "Status" key
// sets the status of every enabled account, the context menu that of one account and its
// enabled flag; the "&View" menu shows disabled accounts and pictures.
//
// Accounts change on session threads and only set their repaint marks; the page reads them on
// the user-interface thread's ticks.
#pragma once

#include <QImage>
#include <QObject>
#include <functional>
#include <memory>
#include <vector>

#include "ui/framework/list_item.h"
#include "ui/framework/view_page.h"

namespace zul {

class CAccount;
class CAccounts;

class AccountRow : public ListItem {
  public:
    explicit AccountRow(CAccount& account) : ListItem(kOpensPage), account_(account) {}
    CAccount& Account() const { return account_; }

    // Where the owner picture goes (page coordinates); empty without a picture.
    const QRect& AvatarBox() const { return avatarBox_; }
    const QImage& Avatar() const { return avatar_; }

  private:
    friend class AccountsPage;
    // Decodes the owner picture again when it changed.
    void RefreshAvatar();

    CAccount& account_;
    QRect avatarBox_;
    QImage avatar_;
    uint32_t avatarVersion_ = 0;
    bool avatarDecoded_ = false;
};

class AccountsPage : public ViewPage {
  public:
    // String ids of the page.
    static constexpr int kStrEmpty = 100;
    static constexpr int kStrStatus = 107;
    static constexpr int kStrAccounts = 114;
    static constexpr int kStrCounts = 115;
    static constexpr int kStrDisabled = 117;
    static constexpr int kStrView = 120;
    // The context menu's "Status note...".
    static constexpr int kCmdStatusNote = 32879;
    // The context menu's privacy modes 1..5: kCmdPrivacyMode + mode.
    static constexpr int kCmdPrivacyMode = 32890;
    // The status key's "Status note...": the note of every enabled account.
    static constexpr int kCmdStatusNoteAll = 32896;
    // The context menu's "Sign on here" of an account signed off by a sign-on elsewhere.
    static constexpr int kCmdSignOnHere = 32897;
    // The context menu's "Profile...": what others read about the user.
    static constexpr int kCmdProfile = 32898;
    static constexpr int kCmdPicture = 32899;
    static constexpr int kCmdRemovePicture = 32900;

    explicit AccountsPage(CAccounts& accounts);
    ~AccountsPage() override;

    CAccounts& Accounts() const { return accounts_; }
    // The rows as listed now (disabled accounts only while they are shown).
    const std::vector<std::unique_ptr<AccountRow>>& Rows() const { return rows_; }
    AccountRow* RowOf(const CAccount* account) const;
    bool BlinkOn() const { return blinkOn_; }
    // The account texts of a row as drawn.
    static QString CountsText(const CAccount& account);
    // Called from the event loop, one at a time, for an account whose sign-on waits for the
    // user: a server certificate to decide about, or a password to enter.
    void SetQuestionAsker(std::function<void(CAccount&)> ask) { questionAsker_ = std::move(ask); }

    // ViewPage.
    bool ChangedSinceLastPaint() override;
    std::vector<ListItem*> AccessibleItems() override;
    QString AccessibleText(const ListItem& item) override;
    int ContentHeight() override;
    void SlowTick() override;
    bool WantsTicks() const override;
    bool AcceptsInput() override;
    bool FillContextMenu(QMenu& menu) override;
    void ContextCommand(int id) override;
    void DrawRect(QPainter& painter, const QRect& rect) override;
    void LayoutContent(int width) override;
    QString EmptyText() override;
    void Activated() override;
    void LanguageChanged() override;
    bool LeftSoftKey(QString& label) override;
    void FillMenuPopup(QMenu& menu, QAction* before) override;
    void FillLeftKeyPopup(QMenu& menu) override;
    void Command(int id) override;
    ListItem* ItemAt(int x, int y) override;

  private:
    // Makes the rows follow the collection; true when the listed accounts changed.
    bool SyncRows();
    // Takes every account's repaint mark; true when any was set.
    bool TakeAccountMarks();
    bool AnyEnabled() const;
    void RunStatusCommand(CAccount* account, int command);
    // Asks for a picture file, prepares it and gives it to the account; says why when it cannot.
    void ChoosePicture(CAccount& account);
    void DrawRow(QPainter& painter, const AccountRow& row);
    void AskPendingQuestions();

    CAccounts& accounts_;
    std::vector<std::unique_ptr<AccountRow>> rows_;
    int contentHeight_ = 0;
    bool blinkOn_ = true;
    std::function<void(CAccount&)> questionAsker_;
    bool asking_ = false;
    QObject askContext_;  // ends a pending question with the page
};

}  // namespace zul
