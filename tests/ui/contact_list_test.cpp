// The contacts page: which contacts are listed and in which order, groups and their counts,
// layouts, row drawing, the menus, deleting, and a list far longer than its canvas.
#include <QAction>
#include <QBuffer>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <thread>

#include "storage/options.h"
#include "tests/ui/modal_driver.h"
#include "tests/ui/views_test_support.h"
#include "ui/dialogs/add_contact_sheet.h"
#include "ui/framework/drawing.h"
#include "ui/views/chat_page.h"
#include "ui/views/contact_order.h"

namespace zul::test {
namespace {

// ---- Orderings, on keys alone ------------------------------------------------------------------

ContactSortKey Key(std::u16string name, int32_t id, int32_t status, int32_t unread = 0,
                   int32_t messages = 0, bool typing = false) {
    ContactSortKey k;
    k.name = std::move(name);
    k.localID = id;
    k.status = status;
    k.unread = unread;
    k.messages = messages;
    k.typing = typing;
    return k;
}

// Names with local ids ("bob#7"), in the order the ordering gives.
std::vector<std::string> Sorted(std::vector<ContactSortKey> keys, int sort, bool E, bool S) {
    std::sort(keys.begin(), keys.end(), [&](const ContactSortKey& a, const ContactSortKey& b) {
        return CompareContacts(a, b, sort, E, S) < 0;
    });
    std::vector<std::string> names;
    for (const auto& k : keys) names.push_back(ToUtf8(k.name) + "#" + std::to_string(k.localID));
    return names;
}

using Names = std::vector<std::string>;

TEST(ContactOrder, NameOrderingPutsUnreadAttentionAndOfflineAsAsked) {
    const std::vector<ContactSortKey> keys = {Key(u"bob", 1, 0), Key(u"Bob", 7, 0),
                                              Key(u"alice", 2, -1), Key(u"carol", 3, 10, 2),
                                              Key(u"dave", 4, 0, 0, 0, true)};
    // Equal names (without regard to case) put the higher local id first.
    EXPECT_EQ(Sorted(keys, kSortByName, false, false),
              (Names{"alice#2", "Bob#7", "bob#1", "carol#3", "dave#4"}));
    EXPECT_EQ(Sorted(keys, kSortByName, true, false),
              (Names{"carol#3", "dave#4", "alice#2", "Bob#7", "bob#1"}));
    EXPECT_EQ(Sorted(keys, kSortByName, false, true),
              (Names{"Bob#7", "bob#1", "carol#3", "dave#4", "alice#2"}));
    // With E and S only an offline contact without attention goes last.
    std::vector<ContactSortKey> typingOffline = keys;
    typingOffline[2].typing = true;
    EXPECT_EQ(Sorted(typingOffline, kSortByName, true, true),
              (Names{"carol#3", "alice#2", "dave#4", "Bob#7", "bob#1"}));
    EXPECT_EQ(Sorted(keys, kSortByName, true, true),
              (Names{"carol#3", "dave#4", "Bob#7", "bob#1", "alice#2"}));
}

TEST(ContactOrder, StatusOrderingPutsAwayAfterOnlineAndBeforeEveryOffline) {
    const std::vector<ContactSortKey> keys = {Key(u"Amy", 1, 10), Key(u"Zed", 2, 0),
                                              Key(u"Dan", 3, 20), Key(u"Abe", 4, -1),
                                              Key(u"Bea", 5, -1), Key(u"Cy", 6, 0x5000)};
    const Names expected{"Zed#2", "Amy#1", "Dan#3", "Cy#6", "Abe#4", "Bea#5"};
    EXPECT_EQ(Sorted(keys, kSortByStatus, false, false), expected);
    EXPECT_EQ(Sorted(keys, kSortByStatus, false, true), expected);  // S changes nothing
    EXPECT_EQ(Sorted(keys, kSortByStatus, true, false), expected);  // nobody has attention
    EXPECT_EQ(Sorted(keys, kSortByStatus, true, true), expected);

    // With E: unread first, then attention; of two with attention the offline one (-1)
    // comes before the online one, the codes being compared as signed numbers.
    std::vector<ContactSortKey> marked = keys;
    marked[4].unread = 1;     // Bea, offline
    marked[3].typing = true;  // Abe, offline
    marked[0].typing = true;  // Amy, away
    EXPECT_EQ(Sorted(marked, kSortByStatus, true, false),
              (Names{"Bea#5", "Abe#4", "Amy#1", "Zed#2", "Dan#3", "Cy#6"}));
    // Without E the marks change nothing.
    EXPECT_EQ(Sorted(marked, kSortByStatus, false, false), expected);
}

TEST(ContactOrder, ActivityOrderingByCountWithEventsAndOfflineRules) {
    const std::vector<ContactSortKey> keys = {Key(u"Ann", 1, 0, 0, 5), Key(u"Ben", 2, -1, 0, 9),
                                              Key(u"Cal", 3, 0, 0, 5), Key(u"Dee", 4, 0, 0, 0),
                                              Key(u"Cal", 8, 0, 0, 5)};
    EXPECT_EQ(Sorted(keys, kSortByActivity, false, false),
              (Names{"Ben#2", "Ann#1", "Cal#8", "Cal#3", "Dee#4"}));
    EXPECT_EQ(Sorted(keys, kSortByActivity, false, true),
              (Names{"Ann#1", "Cal#8", "Cal#3", "Dee#4", "Ben#2"}));
    EXPECT_EQ(Sorted(keys, kSortByActivity, true, false),
              (Names{"Ben#2", "Ann#1", "Cal#8", "Cal#3", "Dee#4"}));

    std::vector<ContactSortKey> marked = keys;
    marked[3].unread = 1;     // Dee: unread beats every count
    marked[2].typing = true;  // Cal#3: attention beats its equal-count neighbours
    EXPECT_EQ(Sorted(marked, kSortByActivity, true, true),
              (Names{"Dee#4", "Cal#3", "Ann#1", "Cal#8", "Ben#2"}));
    // Without E the marks do not count; equal counts fall back to the name rule.
    EXPECT_EQ(Sorted(marked, kSortByActivity, false, false),
              (Names{"Ben#2", "Ann#1", "Cal#8", "Cal#3", "Dee#4"}));
}

TEST(ContactOrder, ListedWhenOnlineOrWithAReasonToStay) {
    ContactSortKey k = Key(u"x", 1, -1);
    EXPECT_TRUE(IsListed(k, true));
    EXPECT_FALSE(IsListed(k, false));
    k.unread = 1;
    EXPECT_TRUE(IsListed(k, false));
    k.unread = 0;
    k.typing = true;
    EXPECT_TRUE(IsListed(k, false));
    k.typing = false;
    k.chatOpen = true;
    EXPECT_TRUE(IsListed(k, false));
    k.chatOpen = false;
    k.justCameOnline = true;
    EXPECT_TRUE(IsListed(k, false));
    EXPECT_TRUE(IsListed(Key(u"y", 2, 10), false));
}

// ---- The page --------------------------------------------------------------------------------

class ContactListPageTest : public ViewsTest {
  protected:
    std::vector<std::u16string> ListedNames() const {
        std::vector<std::u16string> names;
        for (CContact* c : contacts->ListedContacts()) names.push_back(c->DisplayName());
        return names;
    }
    bool Listed(const ContactPtr& c) const {
        const auto listed = contacts->ListedContacts();
        return std::find(listed.begin(), listed.end(), c.get()) != listed.end();
    }
    int HeaderCount() const {
        return static_cast<int>(
            std::count_if(contacts->Listed().begin(), contacts->Listed().end(),
                          [](ListItem* i) { return i->Kind() == ListItem::kTogglesInPlace; }));
    }
    QAction* ViewEntry(int command) {
        QMenu* menu = window->PrepareMenuPopup();
        std::function<QAction*(QMenu*)> find = [&](QMenu* m) -> QAction* {
            for (QAction* a : m->actions()) {
                if (a->menu() != nullptr) {
                    if (QAction* f = find(a->menu())) return f;
                } else if (a->data().toInt() == command) {
                    return a;
                }
            }
            return nullptr;
        };
        return find(menu);
    }
};

TEST_F(ContactListPageTest, OfflineContactWithUnreadMessagesStaysListedUntilTheyAreRead) {
    Options().ClistShowOffline = 0;
    TestAccount& account = NewAccount(1, u"100");
    ContactPtr ann = AddContact(account, 1, u"Ann");
    ContactPtr bob = AddContact(account, 2, u"Bob");
    SetStatus(ann, 0);
    SetStatus(bob, 0);
    FastTick();
    EXPECT_TRUE(Listed(bob));

    bob->AddMessage(evdir::kIncoming, u"are you there?", 0, 0, kMoodNone);
    SetStatus(bob, -1);
    FastTick();
    EXPECT_TRUE(Listed(bob)) << "unread messages keep an offline contact listed";

    bob->History().MarkAllRead();
    FastTick();
    EXPECT_FALSE(Listed(bob));
    EXPECT_TRUE(Listed(ann));
}

TEST_F(ContactListPageTest, ContactComingOnlineHasAttentionForAboutTenSecondsThenTakesItsPlace) {
    Options().ClistShowOffline = 0;
    Options().ClistSortType = kSortByName;
    Options().ClistEventsOnTop = 1;
    TestAccount& account = NewAccount(1, u"100");
    ContactPtr ann = AddContact(account, 1, u"Ann");
    ContactPtr zed = AddContact(account, 2, u"Zed");
    SetStatus(ann, 0);
    FastTick();
    EXPECT_EQ(ListedNames(), (std::vector<std::u16string>{u"Ann"}));

    SetStatus(zed, 0, /*quiet=*/false);
    FastTick();
    EXPECT_EQ(ListedNames(), (std::vector<std::u16string>{u"Zed", u"Ann"}));
    for (int second = 0; second < 10; ++second) SlowTick();
    EXPECT_EQ(ListedNames(), (std::vector<std::u16string>{u"Zed", u"Ann"}));
    SlowTick();  // the mark clears after more than ten ticks
    FastTick();
    EXPECT_EQ(ListedNames(), (std::vector<std::u16string>{u"Ann", u"Zed"}));
}

TEST_F(ContactListPageTest, SameNamedGroupsOfTwoAccountsShareOneHeaderWithBothCounts) {
    TestAccount& first = NewAccount(1, u"100");
    TestAccount& second = NewAccount(2, u"200");
    ContactPtr ann = AddContact(first, 1, u"Ann", u"Friends");
    AddContact(first, 2, u"Bob", u"Friends");
    ContactPtr cid = AddContact(second, 3, u"Cid", u"friends");
    AddContact(second, 4, u"Dan", u"Work");
    SetStatus(ann, 0);
    SetStatus(cid, 10);
    FastTick();

    GroupRow* friends = contacts->HeaderOf(u"Friends");
    ASSERT_NE(friends, nullptr);
    EXPECT_EQ(friends->total, 3);
    EXPECT_EQ(friends->offline, 1);
    EXPECT_EQ(FormatCounts(friends->total, friends->offline), u" (2/3)");
    EXPECT_EQ(HeaderCount(), 2);  // Friends and Work

    // An empty group is listed only with the hidden command's setting.
    window->OnCommand(clistcmd::kShowOffline);
    EXPECT_EQ(Options().ClistShowOffline, 0);
    EXPECT_EQ(HeaderCount(), 1);
    EXPECT_TRUE(contacts->HeaderOf(u"Work")->Rect().isEmpty());
    window->OnCommand(clistcmd::kShowEmptyGroups);
    EXPECT_EQ(Options().ClistShowEmptyGroups, 1);
    EXPECT_EQ(HeaderCount(), 2);
    EXPECT_FALSE(contacts->HeaderOf(u"Work")->Rect().isEmpty());
    EXPECT_EQ(ViewEntry(clistcmd::kShowEmptyGroups), nullptr) << "no menu entry";

    // Without grouping there are no headers at all.
    window->OnCommand(clistcmd::kShowGroups);
    EXPECT_EQ(HeaderCount(), 0);
}

TEST_F(ContactListPageTest, CollapsedGroupShowsItsHeaderOnlyAndStoresTheState) {
    TestAccount& account = NewAccount(1, u"100");
    ContactPtr ann = AddContact(account, 1, u"Ann", u"Friends");
    AddContact(account, 2, u"Bob", u"Friends");
    FastTick();
    GroupRow* header = contacts->HeaderOf(u"Friends");
    ASSERT_NE(header, nullptr);
    contacts->FocusItem(header);
    contacts->ActivateFocused();
    EXPECT_FALSE(header->expanded);
    EXPECT_TRUE(contacts->RowOf(ann.get())->Rect().isEmpty());
    EXPECT_EQ(contacts->Listed().size(), 1u);
    EXPECT_FALSE(store->FindVirtualGroup(u"Friends")->Expanded());
    FastTick();  // the store's rebuild request keeps the state
    EXPECT_EQ(contacts->Listed().size(), 1u);

    contacts->ActivateFocused();
    EXPECT_EQ(contacts->Listed().size(), 3u);
}

TEST_F(ContactListPageTest, FocusIsClearedWhenTheFocusedContactStopsBeingListed) {
    Options().ClistShowOffline = 0;
    TestAccount& account = NewAccount(1, u"100");
    ContactPtr ann = AddContact(account, 1, u"Ann");
    SetStatus(ann, 0);
    FastTick();
    contacts->FocusItem(contacts->RowOf(ann.get()));
    ASSERT_NE(contacts->FocusedItem(), nullptr);
    SetStatus(ann, -1);
    FastTick();
    EXPECT_EQ(contacts->FocusedItem(), nullptr);
    EXPECT_TRUE(contacts->RowOf(ann.get())->Rect().isEmpty());
}

TEST_F(ContactListPageTest, ChangesFromOtherThreadsWaitForTheNextTick) {
    TestAccount& account = NewAccount(1, u"100");
    ContactPtr ann = AddContact(account, 1, u"Ann");
    FastTick();
    const std::vector<std::u16string> before = ListedNames();
    std::thread protocol([&] {
        for (int i = 0; i < 50; ++i) SetStatus(ann, i % 2 == 0 ? 0 : 10);
        AddContact(account, 2, u"Bea");
    });
    protocol.join();
    EXPECT_EQ(ListedNames(), before) << "nothing moves before the tick";
    EXPECT_TRUE(contacts->ChangedSinceLastPaint());
    EXPECT_EQ(ListedNames().size(), 2u);
    EXPECT_FALSE(contacts->ChangedSinceLastPaint()) << "one rebuild for the whole burst";
}

TEST_F(ContactListPageTest, LayoutsPlaceRowsInColumnsAndLines) {
    TestAccount& account = NewAccount(1, u"100");
    const char16_t* names[] = {u"Ann", u"Bob", u"Cid", u"Dora", u"Eve"};
    std::vector<ContactPtr> list;
    for (int i = 0; i < 5; ++i) {
        list.push_back(AddContact(account, i + 1, names[i], i < 3 ? u"Friends" : u"Work"));
        SetStatus(list.back(), i == 4 ? -1 : (i == 1 ? 10 : 0));
    }
    list[0]->SetStatus(0, u"at the beach", kMoodNone, true, false);
    list[2]->AddMessage(evdir::kIncoming, u"hello", 0, 0, kMoodNone);
    list[3]->SetAwaitingAuth(1);
    list[1]->SetVisible(1);
    list[4]->SetIgnored(1);
    contacts->OpenPage(contacts->ChatPageFor(list[0]));
    RunSlide();
    window->ShowPage(MainWindow::kJump, 1);
    FastTick();

    const int width = window->ClientWidth();
    const int oneLine = LineHeight(2);
    const int twoLines = 2 * (TextHeight(QStringLiteral("A"), 2, true) + 5);
    struct Case {
        int command;
        const char* file;
        int height;
        bool columns;
    } cases[] = {{clistcmd::kViewTiles, "contacts_tiles.png", twoLines, true},
                 {clistcmd::kViewIcons, "contacts_icons.png", oneLine, true},
                 {clistcmd::kViewList, "contacts_list.png", oneLine, false},
                 {clistcmd::kViewDetails, "contacts_details.png", twoLines, false}};
    for (const Case& c : cases) {
        window->OnCommand(c.command);
        FastTick();
        const QRect first = contacts->RowOf(contacts->ListedContacts()[0])->Rect();
        const QRect second = contacts->RowOf(contacts->ListedContacts()[1])->Rect();
        EXPECT_EQ(first.height(), c.height) << c.file;
        if (c.columns) {
            EXPECT_EQ(first.width(), width / 2) << c.file;
            EXPECT_EQ(second.left(), width / 2) << c.file;
            EXPECT_EQ(second.top(), first.top()) << c.file;
        } else {
            EXPECT_EQ(first.width(), width) << c.file;
            EXPECT_EQ(second.top(), first.bottom() + 1) << c.file;
        }
        Screen().save(ScreenshotPath(QString::fromUtf8(c.file)));
    }

    // A larger size makes taller rows.
    window->OnCommand(clistcmd::kSizeLargest);
    FastTick();
    EXPECT_GT(contacts->RowOf(contacts->ListedContacts()[0])->Rect().height(), twoLines);
}

TEST_F(ContactListPageTest, RowMarksTheOpenChatAndDrawsTheUnreadBadge) {
    TestAccount& account = NewAccount(1, u"100");
    ContactPtr ann = AddContact(account, 1, u"Ann");
    ContactPtr bob = AddContact(account, 2, u"Bob");
    SetStatus(ann, 0);
    SetStatus(bob, 0);
    bob->AddMessage(evdir::kIncoming, u"one", 0, 0, kMoodNone);
    bob->AddMessage(evdir::kIncoming, u"two", 0, 0, kMoodNone);
    ChatPage* chat = contacts->ChatPageFor(ann);
    window->AddPage(chat, true, false);
    FastTick();

    const QImage screen = Screen();
    const QRect annRow =
        contacts->RowOf(ann.get())->Rect().translated(0, contacts->ContentOffset());
    EXPECT_EQ(screen.pixelColor(annRow.left() + 3, annRow.top() + 3), HighlightColour());
    const QRect bobRow =
        contacts->RowOf(bob.get())->Rect().translated(0, contacts->ContentOffset());
    EXPECT_NE(screen.pixelColor(bobRow.left() + 3, bobRow.top() + 3), HighlightColour());
    // The badge: highlight fill left of the text area, near the row's bottom.
    int badge = 0;
    for (int x = bobRow.left(); x < bobRow.left() + 22; ++x)
        for (int y = bobRow.top() + bobRow.height() / 2; y < bobRow.bottom(); ++y)
            if (screen.pixelColor(x, y) == HighlightColour()) ++badge;
    EXPECT_GT(badge, 10);
    EXPECT_EQ(ContactRowIcon(*bob, true), rowicon::kUnread);
    EXPECT_EQ(ContactRowIcon(*bob, false), bob->StatusIcon());
    bob->SetBlockedIcon(true);
    EXPECT_EQ(ContactRowIcon(*bob, true), rowicon::kBlocked);
}

TEST_F(ContactListPageTest, AvatarIsFittedAtTheRowsEndAndABrokenPictureIsLeftOut) {
    Options().ClistViewType = kLayoutDetails;
    TestAccount& account = NewAccount(1, u"100");
    ContactPtr ann = AddContact(account, 1, u"Ann");
    ContactPtr bob = AddContact(account, 2, u"Bob");
    QImage red(40, 20, QImage::Format_RGB32);  // wider than tall: fitted to the box width
    red.fill(Qt::red);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    red.save(&buffer, "PNG");
    ann->SetPicture(reinterpret_cast<const uint8_t*>(png.constData()), png.size(), false);
    const std::string junk = "not a picture";
    bob->SetPicture(reinterpret_cast<const uint8_t*>(junk.data()), junk.size(), false);
    contacts->RebuildNow();

    const ContactRow* row = contacts->RowOf(ann.get());
    const QRect r = row->Rect();
    EXPECT_EQ(row->avatarBox,
              QRect(r.right() + 1 - r.height(), r.top() + 1, r.height() - 1, r.height() - 2));
    const QRect fitted = FitImage(QSize(40, 20), row->avatarBox);
    EXPECT_EQ(fitted.right(), row->avatarBox.right());
    QImage screen = Screen();
    const QPoint centre = fitted.center() + QPoint(0, contacts->ContentOffset());
    EXPECT_EQ(screen.pixelColor(centre), QColor(Qt::red));
    EXPECT_FALSE(contacts->RowOf(bob.get())->avatarBox.isEmpty());
    EXPECT_TRUE(contacts->RowOf(bob.get())->avatar.isNull()) << "nothing to draw";

    window->OnCommand(clistcmd::kShowAvatars);  // off
    screen = Screen();
    EXPECT_NE(screen.pixelColor(centre), QColor(Qt::red));
    window->OnCommand(clistcmd::kShowAvatars);  // on again

    // A picture that arrives after the list was laid out is drawn with the next tick, and
    // one that goes leaves its place.
    ContactPtr cid = AddContact(account, 3, u"Cid");
    contacts->RebuildNow();
    ASSERT_TRUE(contacts->RowOf(cid.get())->avatarBox.isEmpty());
    cid->SetPicture(reinterpret_cast<const uint8_t*>(png.constData()), png.size(), false);
    FastTick();
    const ContactRow* cidRow = contacts->RowOf(cid.get());
    ASSERT_FALSE(cidRow->avatarBox.isEmpty());
    const QPoint cidCentre =
        FitImage(QSize(40, 20), cidRow->avatarBox).center() + QPoint(0, contacts->ContentOffset());
    EXPECT_EQ(Screen().pixelColor(cidCentre), QColor(Qt::red));
    cid->SetPicture(nullptr, 0, false);
    FastTick();
    EXPECT_TRUE(contacts->RowOf(cid.get())->avatarBox.isEmpty());
    EXPECT_NE(Screen().pixelColor(cidCentre), QColor(Qt::red));
}

TEST_F(ContactListPageTest, ViewMenuShowsTheCurrentStateAndCommandsSaveTheOptions) {
    Options().ClistShowAvatars = 0;
    ASSERT_NE(ViewEntry(clistcmd::kShowGroups), nullptr);
    EXPECT_TRUE(ViewEntry(clistcmd::kShowGroups)->isChecked());
    EXPECT_FALSE(ViewEntry(clistcmd::kShowAvatars)->isChecked());
    EXPECT_TRUE(ViewEntry(clistcmd::kSizeMedium)->isChecked());
    EXPECT_FALSE(ViewEntry(clistcmd::kSizeLargest)->isChecked());
    EXPECT_TRUE(ViewEntry(clistcmd::kSortActivity)->isChecked());
    EXPECT_TRUE(ViewEntry(clistcmd::kViewTiles)->isChecked());

    ViewEntry(clistcmd::kViewDetails)->trigger();
    ViewEntry(clistcmd::kSortStatus)->trigger();
    ViewEntry(clistcmd::kEventsOnTop)->trigger();
    EXPECT_EQ(Options().ClistViewType, kLayoutDetails);
    EXPECT_EQ(Options().ClistSortType, kSortByStatus);
    EXPECT_EQ(Options().ClistEventsOnTop, 0);
    int32_t stored = -1;
    ASSERT_TRUE(Options().__readIntSetting(COptions::kClistViewType, stored));
    EXPECT_EQ(stored, kLayoutDetails);
    ASSERT_TRUE(Options().__readIntSetting(COptions::kClistEventsOnTop, stored));
    EXPECT_EQ(stored, 0);
    EXPECT_TRUE(ViewEntry(clistcmd::kViewDetails)->isChecked());
    EXPECT_FALSE(ViewEntry(clistcmd::kViewTiles)->isChecked());
    EXPECT_FALSE(ViewEntry(clistcmd::kEventsOnTop)->isChecked());
}

TEST_F(ContactListPageTest, DeletingALocalContactRemovesItWithItsHistoryAfterConfirmation) {
    TestAccount& account = NewAccount(1, u"100");
    ContactPtr local = AddContact(account, 5, u"Stranger", u"", /*onServer=*/false);
    local->AddMessage(evdir::kIncoming, u"hi", 0, 0, kMoodNone);
    FastTick();
    contacts->FocusItem(contacts->RowOf(local.get()));
    QMenu menu;
    ASSERT_TRUE(contacts->FillContextMenu(menu));

    confirmAnswer = false;
    contacts->ContextCommand(clistcmd::kDelete);
    EXPECT_EQ(confirmations, std::vector<int>{119});
    EXPECT_TRUE(Listed(local));

    confirmAnswer = true;
    contacts->ContextCommand(clistcmd::kDelete);
    EXPECT_FALSE(Listed(local));
    EXPECT_EQ(contacts->FocusedItem(), nullptr);
    EXPECT_EQ(contacts->RowOf(local.get()), nullptr);
    std::lock_guard lock(Database().Mutex());
    CppSQLite3Command rows = Database().Prepare(u"SELECT COUNT(*) FROM Contacts WHERE LocalID=5");
    EXPECT_EQ(Database().ExecuteScalar(rows), 0);
    CppSQLite3Command events =
        Database().Prepare(u"SELECT COUNT(*) FROM History WHERE ContactID=5");
    EXPECT_EQ(Database().ExecuteScalar(events), 0);
}

TEST_F(ContactListPageTest, DeletingAnOnServerContactLeavesTheServerRemovalToTheAccount) {
    TestAccount& account = NewAccount(1, u"100");
    ContactPtr ann = AddContact(account, 1, u"Ann");
    FastTick();
    contacts->FocusItem(contacts->RowOf(ann.get()));
    contacts->ContextCommand(clistcmd::kDelete);
    EXPECT_TRUE(ann->PendingAction());
    EXPECT_TRUE(ann->BlockedIcon());
    EXPECT_TRUE(Listed(ann)) << "it stays until the server list drops it";
    EXPECT_EQ(ContactRowIcon(*ann, false), rowicon::kBlocked);

    account.SetStatus(0);
    account.RunIdleTasks();
    EXPECT_EQ(account.contactActions, 1);
}

TEST_F(ContactListPageTest, RenameAsksForTheNicknameAndLeavesAServerContactToTheAccount) {
    TestAccount& account = NewAccount(1, u"100");
    ContactPtr ann = AddContact(account, 1, u"Ann");
    ContactPtr local = AddContact(account, 5, u"Stranger", u"", /*onServer=*/false);
    FastTick();
    std::optional<QString> answer;
    std::vector<QString> asked;
    SetAskTextHandler([&](const QString& current) {
        asked.push_back(current);
        return answer;
    });

    // Cancelled, or the same name: nothing changes.
    contacts->FocusItem(contacts->RowOf(ann.get()));
    contacts->ContextCommand(clistcmd::kRename);
    answer = QStringLiteral("  Ann ");
    contacts->ContextCommand(clistcmd::kRename);
    EXPECT_EQ(asked, (std::vector<QString>{QStringLiteral("Ann"), QStringLiteral("Ann")}));
    EXPECT_FALSE(ann->TakeRenameRequest());

    // A contact of the server list: the account sends it on its idle pass; the row shows the
    // action under way, and the nickname stays until the server agrees.
    answer = QStringLiteral("Annie");
    contacts->ContextCommand(clistcmd::kRename);
    EXPECT_TRUE(ann->BlockedIcon());
    EXPECT_EQ(ann->Nickname(), u"Ann");
    account.SetStatus(0);
    account.RunIdleTasks();
    EXPECT_EQ(account.renames, std::vector<std::u16string>{u"Annie"});

    // A contact only this client knows is renamed at once.
    contacts->FocusItem(contacts->RowOf(local.get()));
    answer = QStringLiteral("Visitor");
    contacts->ContextCommand(clistcmd::kRename);
    EXPECT_EQ(local->Nickname(), u"Visitor");
    SetAskTextHandler({});
}

TEST_F(ContactListPageTest, AddContactAsksOnOneFormAndHandsTheContactToTheChosenAccount) {
    // Accounts of the page's account list, as the client has them.
    auto listed = [&](int32_t id, const std::u16string& login) -> TestAccount& {
        CAccountData data = MakeAccountData(id, login);
        data.dbSave();
        return static_cast<TestAccount&>(
            *accounts->Add(std::make_unique<TestAccount>(data, *store)));
    };
    TestAccount& first = listed(1, u"100");
    TestAccount& second = listed(2, u"ZulAlice");
    AddContact(second, 1, u"Ann", u"Buddies");
    FastTick();
    int choices = 0;
    std::vector<QString> offered;
    WhenModalOpens<AddContactSheet> form([&](AddContactSheet& sheet) {
        AddContactPage& f = *sheet.Form();
        choices = f.AccountCombo()->count();
        f.AccountCombo()->setCurrentIndex(1);
        QTest::keyClicks(f.LoginEdit(), QStringLiteral(" 123456 "));
        offered = {f.NicknameEdit()->text(), f.GroupCombo()->currentText(),
                   f.ReasonEdit()->toPlainText()};
        f.NicknameEdit()->setText(QStringLiteral("Zed"));
        f.ReasonEdit()->setPlainText(QStringLiteral("It's me"));
        QTest::mouseClick(sheet.KeyFor(cmd::kDone), Qt::LeftButton);
    });
    contacts->Command(clistcmd::kAddContact);
    ASSERT_TRUE(form.Ran());

    // Both enabled accounts were offered; the second was chosen. The nickname follows the
    // login, the group starts from the account's first group, the reason from a ready text.
    EXPECT_EQ(choices, 2);
    ASSERT_EQ(offered.size(), 3u);
    EXPECT_EQ(offered[0], QStringLiteral("123456"));
    EXPECT_EQ(offered[1], QStringLiteral("Buddies"));
    EXPECT_FALSE(offered[2].isEmpty());
    second.SetStatus(0);
    second.RunIdleTasks();
    first.SetStatus(0);
    first.RunIdleTasks();
    EXPECT_TRUE(first.additions.empty());
    ASSERT_EQ(second.additions.size(), 1u);
    EXPECT_EQ(second.additions[0].login, u"123456");
    EXPECT_EQ(second.additions[0].nickname, u"Zed");
    EXPECT_EQ(second.additions[0].group, u"Buddies");
    EXPECT_EQ(second.additions[0].reason, u"It's me");
}

TEST_F(ContactListPageTest, AContactAskingForAuthorisationIsAnsweredFromItsMenu) {
    TestAccount& account = NewAccount(1, u"100");
    ContactPtr ann = AddContact(account, 1, u"Ann");
    FastTick();
    contacts->FocusItem(contacts->RowOf(ann.get()));
    QMenu plain;
    ASSERT_TRUE(contacts->FillContextMenu(plain));
    const int plainCount = static_cast<int>(plain.actions().size());

    ann->SetAuthAsked(true);
    QMenu asked;
    ASSERT_TRUE(contacts->FillContextMenu(asked));
    ASSERT_EQ(static_cast<int>(asked.actions().size()), plainCount + 3);
    EXPECT_EQ(asked.actions()[0]->text(), QStringLiteral("Grant authorisation"));
    EXPECT_EQ(asked.actions()[0]->data().toInt(), clistcmd::kGrantAuthorisation);
    EXPECT_EQ(asked.actions()[1]->data().toInt(), clistcmd::kDenyAuthorisation);

    contacts->ContextCommand(clistcmd::kDenyAuthorisation);
    EXPECT_FALSE(ann->AuthAsked());
    EXPECT_EQ(ann->TakeAuthAnswer(), 0);
    EXPECT_EQ(ann->TakeAuthAnswer(), -1) << "answered once";

    // One that has not answered our own request can be asked again, with a reason.
    ann->SetAwaitingAuth(1);
    QMenu awaiting;
    ASSERT_TRUE(contacts->FillContextMenu(awaiting));
    EXPECT_EQ(awaiting.actions()[0]->text(), QStringLiteral("Ask for authorisation again"));
    SetAskTextHandler([](const QString& current) -> std::optional<QString> {
        return current + QStringLiteral(" It's Bea.");
    });
    contacts->ContextCommand(clistcmd::kAskAuthorisationAgain);
    SetAskTextHandler({});
    EXPECT_EQ(ann->TakeAuthorisationRequest(), u"Please add me to your list. It's Bea.");
    EXPECT_FALSE(ann->TakeAuthorisationRequest().has_value());
}

TEST_F(ContactListPageTest, SendMessageOpensTheContactsChatPage) {
    TestAccount& account = NewAccount(1, u"100");
    ContactPtr ann = AddContact(account, 1, u"Ann");
    FastTick();
    contacts->FocusItem(contacts->RowOf(ann.get()));
    contacts->ContextCommand(clistcmd::kSendMessage);
    RunSlide();
    auto* chat = dynamic_cast<ChatPage*>(window->CurrentPage());
    ASSERT_NE(chat, nullptr);
    EXPECT_EQ(&chat->Contact(), ann.get());
    EXPECT_EQ(contacts->ChatPageFor(ann), chat) << "one chat page per contact";
}

TEST_F(ContactListPageTest, TenThousandContactsKeepTheCanvasBounded) {
    TestAccount& account = NewAccount(1, u"100");
    std::vector<ContactPtr> list;
    for (int i = 1; i <= 10000; ++i)
        list.push_back(AddContact(account, i, u"Contact " + Widen(std::to_string(i)),
                                  i % 2 == 0 ? u"Even" : u"Odd", true, /*save=*/false));
    Options().ClistViewType = kLayoutList;
    contacts->RebuildNow();
    ASSERT_EQ(contacts->ListedContacts().size(), 10000u);
    EXPECT_GT(contacts->Height(), 10000 * LineHeight(2));
    ASSERT_NE(contacts->Surface(), nullptr);
    EXPECT_LE(contacts->Surface()->height(), Canvas::MaxSurfaceRows());
    EXPECT_EQ(contacts->Surface()->width(), window->ClientWidth());

    // The far end is drawn when it is shown, in the same bounded surface.
    ContactRow* last = contacts->RowOf(contacts->ListedContacts().back());
    contacts->FocusItem(last);
    RunScroll(100000);
    const QImage screen = Screen();
    const int y = last->Rect().top() + contacts->ContentOffset() + 1;
    ASSERT_GT(y, 0);
    EXPECT_EQ(screen.pixelColor(window->ClientWidth() - 3, y),
              ItemBackground(true, contacts->HostHasFocus()));
    EXPECT_LE(contacts->Surface()->height(), Canvas::MaxSurfaceRows());
}

}  // namespace
}  // namespace zul::test
