// What screen readers get from the painted pages: the current page's rows as children of the
// window with their texts, places and focus, and rows that a relayout dropped answering as
// invalid instead of touching freed memory.
#include <QAccessible>
#include <vector>

#include "tests/ui/views_test_support.h"
#include "ui/framework/page_accessible.h"

namespace zul {
namespace {

using test::TestAccount;

class AccessibilityTest : public test::ViewsTest {
  protected:
    QAccessibleInterface* Window() { return QAccessible::queryAccessibleInterface(window.get()); }
    // The rows after the window's own widgets.
    std::vector<QAccessibleInterface*> Rows() {
        std::vector<QAccessibleInterface*> rows;
        QAccessibleInterface* w = Window();
        for (int i = 0; i < w->childCount(); ++i) {
            QAccessibleInterface* c = w->child(i);
            if (c != nullptr && c->role() == QAccessible::ListItem) rows.push_back(c);
        }
        return rows;
    }
};

TEST_F(AccessibilityTest, TheContactRowsAreReadWithNameStatusAndUnreadCount) {
    TestAccount& account = NewAccount(1, u"100");
    ContactPtr ann = AddContact(account, 1, u"Ann");
    ContactPtr bob = AddContact(account, 2, u"Bob");
    SetStatus(ann, kStatusAway);
    ann->AddMessage(evdir::kIncoming, u"hi", 0, kStatusAway, kMoodNone);
    ann->AddMessage(evdir::kIncoming, u"there", 0, kStatusAway, kMoodNone);
    FastTick();

    QAccessibleInterface* w = Window();
    ASSERT_NE(dynamic_cast<PageAccessible*>(w), nullptr);
    EXPECT_EQ(w->text(QAccessible::Name), QStringLiteral("Contacts"));
    std::vector<QAccessibleInterface*> rows = Rows();
    ASSERT_EQ(rows.size(), 3u);  // the header, Ann, Bob
    EXPECT_TRUE(rows[0]->text(QAccessible::Name).startsWith(QStringLiteral("Friends")));
    EXPECT_EQ(rows[1]->text(QAccessible::Name), QStringLiteral("Ann, Away, 2 unread"));
    EXPECT_EQ(rows[2]->text(QAccessible::Name), QStringLiteral("Bob, Offline"));
    EXPECT_EQ(w->indexOfChild(rows[2]), w->childCount() - 1);
    const QRect place = rows[1]->rect();
    EXPECT_EQ(place.size(), contacts->RowOf(ann.get())->Rect().size());
    EXPECT_TRUE(window->rect().translated(window->mapToGlobal(QPoint())).contains(place.center()));

    // The focus: the state and the focus child.
    contacts->FocusItem(contacts->RowOf(bob.get()));
    EXPECT_TRUE(rows[2]->state().focused);
    EXPECT_FALSE(rows[1]->state().focused);
    EXPECT_EQ(w->focusChild(), rows[2]);
    // (The focus event itself goes out only while a screen reader is connected: the offscreen
    // platform has none, so it cannot be seen here.)

    // Bob leaves the store: his old interface says it is invalid and reads nothing.
    QAccessibleInterface* gone = rows[2];
    store->DeleteContact(bob.get());
    bob.reset();
    FastTick();
    EXPECT_FALSE(gone->isValid());
    EXPECT_TRUE(gone->text(QAccessible::Name).isEmpty());
    EXPECT_TRUE(gone->state().invalid);
    EXPECT_EQ(Rows().size(), 2u);
}

}  // namespace
}  // namespace zul
