// Picking a contact on the contacts page: the rows keep still under the pointer and a press,
// a tap acts on the contact pressed, and typing finds contacts by nickname or login.
#include <QApplication>
#include <QTest>

#include "storage/options.h"
#include "tests/ui/views_test_support.h"
#include "ui/views/chat_page.h"

namespace zul::test {
namespace {

class ContactListPickTest : public ViewsTest {
  protected:
    // Sixty online contacts in one section, one line each, sorted by status.
    void SetUp() override {
        ViewsTest::SetUp();
        Options().ClistOpenByDoubleClick = 0;
        Options().ClistShowGroups = 0;
        Options().ClistViewType = kLayoutList;
        Options().ClistSortType = kSortByStatus;
        TestAccount& account = NewAccount(1, u"100");
        for (int i = 1; i <= 60; ++i) {
            list.push_back(AddContact(account, i, u"Contact " + Widen(std::to_string(100 + i))));
            SetStatus(list.back(), 0);
        }
        contacts->RebuildNow();
    }

    // The middle of a contact's row, in window coordinates.
    QPoint PointOf(const CContact* contact) const {
        return contacts->RowOf(contact)->Rect().center() + QPoint(0, contacts->ContentOffset());
    }
    CContact* ContactAt(QPoint pos) const {
        auto* row = dynamic_cast<ContactRow*>(
            contacts->ItemAt(pos.x(), pos.y() - contacts->ContentOffset()));
        return row != nullptr ? &row->Contact() : nullptr;
    }
    // Half the list goes away (away sorts after online): the storm that reorders the rows.
    void PresenceStorm() {
        for (size_t i = 0; i < list.size(); i += 2) SetStatus(list[i], 10);
        FastTick();
        SlowTick();
    }
    const CContact* OpenChatContact() {
        RunSlide();
        auto* chat = dynamic_cast<ChatPage*>(window->CurrentPage());
        return chat != nullptr ? &chat->Contact() : nullptr;
    }

    std::vector<ContactPtr> list;
};

TEST_F(ContactListPickTest, RowsKeepStillUnderARestingPointerAndATapOpensTheContactUnderIt) {
    const CContact* rested = list[4].get();
    const QPoint pos = PointOf(rested);
    Move(pos);
    const std::vector<CContact*> before = contacts->ListedContacts();
    PresenceStorm();
    EXPECT_EQ(contacts->ListedContacts(), before);
    EXPECT_EQ(ContactAt(pos), rested);
    EXPECT_EQ(contacts->RowOf(list[0].get())->key.status, 10) << "the row shows its new status";

    Tap(pos);
    EXPECT_EQ(OpenChatContact(), rested);
}

TEST_F(ContactListPickTest, PressAndReleaseActOnTheContactPressedWhateverMovedBetween) {
    const CContact* pressed = list[2].get();
    const QPoint pos = PointOf(pressed);
    Press(pos);
    const std::vector<CContact*> before = contacts->ListedContacts();
    PresenceStorm();
    EXPECT_EQ(contacts->ListedContacts(), before) << "held while the button is down";
    contacts->RebuildNow();  // a re-sort the page could not hold back
    ASSERT_NE(ContactAt(pos), pressed);
    Release(pos, 50);
    EXPECT_EQ(OpenChatContact(), pressed);
}

TEST_F(ContactListPickTest, HeldChangesGoInASecondAfterTheLastPressWithTheFocusedRowInPlace) {
    Options().ClistOpenByDoubleClick = 1;                  // a tap only focuses
    ContactRow* focused = contacts->RowOf(list[2].get());  // goes away: moves far down
    const int listTop = focused->Top();
    const int screenTop = listTop + contacts->ContentOffset();
    Tap(PointOf(list[2].get()));
    EXPECT_EQ(contacts->FocusedItem(), focused);
    EXPECT_EQ(window->CurrentPage(), contacts.get());
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(window.get(), &leave);
    const std::vector<CContact*> before = contacts->ListedContacts();
    PresenceStorm();
    EXPECT_EQ(contacts->ListedContacts(), before) << "pressed less than a second ago";

    AdvanceFakeClock(ContactListPage::kHoldAfterPressMs);
    SlowTick();
    EXPECT_NE(contacts->ListedContacts(), before);
    EXPECT_EQ(contacts->FocusedItem(), focused);
    EXPECT_GT(focused->Top(), listTop);
    EXPECT_EQ(focused->Top() + contacts->ContentOffset(), screenTop);
}

// ---- Finding ---------------------------------------------------------------------------------

class ContactListFindTest : public ViewsTest {
  protected:
    void SetUp() override {
        ViewsTest::SetUp();
        Options().ClistShowOffline = 0;
        // Escape is the window's shortcut, which only an active window hears.
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
        TestAccount& account = NewAccount(1, u"100");
        // Logins are "login" + a letter + the local id: "logina1", "loginb2", ...
        const char16_t* names[] = {u"Zoë Adams", u"ZOE", u"Chloé", u"Bob", u"Ann"};
        for (int i = 0; i < 5; ++i)
            SetStatus(AddContact(account, i + 1, names[i]), i == 4 ? -1 : 0);
        FastTick();
    }
    std::vector<std::u16string> ListedNames() const {
        std::vector<std::u16string> names;
        for (CContact* c : contacts->ListedContacts()) names.push_back(c->DisplayName());
        std::sort(names.begin(), names.end());
        return names;
    }
    void Type(const QString& text) { QTest::keyClicks(window.get(), text); }
};

TEST_F(ContactListFindTest, TypedTextListsTheContactsWhoseNicknameOrLoginHoldsIt) {
    using Names = std::vector<std::u16string>;
    const struct {
        const char* typed;
        Names listed;
    } cases[] = {
        {"zoe", {u"ZOE", u"Zoë Adams"}},  // accents and case do not matter
        {"ZOË A", {u"Zoë Adams"}},        // nor in what is typed; a space is text
        {"chloe", {u"Chloé"}},
        {"e4", {u"Bob"}},   // login "logine4"
        {"ann", {u"Ann"}},  // offline contacts are found too
        {"xyz", {}},
    };
    for (const auto& c : cases) {
        Type(QString::fromUtf8(c.typed));
        EXPECT_EQ(contacts->FindText(), QString::fromUtf8(c.typed));
        EXPECT_TRUE(contacts->Caption().Subtitle().contains(QString::fromUtf8(c.typed))) << c.typed;
        EXPECT_EQ(ListedNames(), c.listed) << c.typed;
        QTest::keyClick(window.get(), Qt::Key_Escape);
        EXPECT_TRUE(contacts->FindText().isEmpty());
        EXPECT_TRUE(contacts->Caption().Subtitle().isEmpty());
        EXPECT_EQ(ListedNames(), (Names{u"Bob", u"Chloé", u"ZOE", u"Zoë Adams"}));
    }

    Type(QStringLiteral("zoex"));
    QTest::keyClick(window.get(), Qt::Key_Backspace);
    EXPECT_EQ(contacts->FindText(), QStringLiteral("zoe"));
    EXPECT_EQ(ListedNames(), (Names{u"ZOE", u"Zoë Adams"}));
}

TEST_F(ContactListFindTest, EnterOpensTheFirstMatchAndTheFindTextGoes) {
    QTest::keyClick(window.get(), Qt::Key_Space);
    EXPECT_TRUE(contacts->FindText().isEmpty()) << "a space alone starts nothing";
    Type(QStringLiteral("chl"));
    ASSERT_EQ(contacts->ListedContacts().size(), 1u);
    const CContact* first = contacts->ListedContacts().front();
    QTest::keyClick(window.get(), Qt::Key_Return);
    RunSlide();
    auto* chat = dynamic_cast<ChatPage*>(window->CurrentPage());
    ASSERT_NE(chat, nullptr);
    EXPECT_EQ(&chat->Contact(), first);
    EXPECT_TRUE(contacts->FindText().isEmpty());
    EXPECT_EQ(contacts->ListedContacts().size(), 4u);
}

}  // namespace
}  // namespace zul::test
