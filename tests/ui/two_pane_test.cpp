// A wide window: the contact list at the left and the chat beside it; resizing moves between
// one page and two panes without losing the chat's scroll position or the editor's text.
#include <QApplication>
#include <QPushButton>
#include <QTest>

#include "storage/options.h"
#include "tests/ui/views_test_support.h"
#include "ui/framework/message_editor.h"
#include "ui/framework/soft_key_bar.h"
#include "ui/views/chat_page.h"

namespace zul::test {
namespace {

class TwoPaneTest : public ViewsTest {
  protected:
    void SetUp() override {
        ViewsTest::SetUp();
        Options().ClistOpenByDoubleClick = 0;
        Options().ClistShowGroups = 0;
        Options().ClistViewType = kLayoutList;
        TestAccount& account = NewAccount(1, u"100");
        for (int i = 1; i <= 3; ++i) {
            list.push_back(AddContact(account, i, u"Contact " + Widen(std::to_string(i))));
            SetStatus(list.back(), 0);
        }
        contacts->RebuildNow();
        window->SetSidePage(contacts.get());
        window->resize(1280, 800);
        QApplication::processEvents();
    }

    QPoint PointOf(const CContact* contact) const {
        const QRect pane = window->PaneOf(contacts.get());
        return contacts->RowOf(contact)->Rect().center() +
               QPoint(pane.x(), contacts->ContentOffset());
    }
    ChatPage* RightChat() const { return dynamic_cast<ChatPage*>(window->RightPage()); }

    std::vector<ContactPtr> list;
};

TEST_F(TwoPaneTest, ATapOnTheListOpensTheChatBesideItAndTheFocusFollowsThePanePressed) {
    ASSERT_TRUE(window->TwoPanes());
    const QRect side = window->PaneOf(contacts.get());
    EXPECT_EQ(side.x(), 0);
    EXPECT_GE(side.width(), MainWindow::kSidePaneMin);
    EXPECT_EQ(contacts->Width(), side.width()) << "the list is laid out for its pane";
    // The accounts page at the right has the focus, as at start: the first tap on the list
    // both moves the focus and opens the chat.
    window->ShowPage(MainWindow::kJump, window->IndexOf(accountsPage.get()));
    EXPECT_TRUE(window->IsShown(accountsPage.get()));
    EXPECT_TRUE(window->IsShown(contacts.get()));

    Tap(PointOf(list[1].get()));
    RunSlide();
    ChatPage* chat = RightChat();
    ASSERT_NE(chat, nullptr);
    EXPECT_EQ(&chat->Contact(), list[1].get());
    EXPECT_EQ(window->CurrentPage(), chat);
    EXPECT_TRUE(window->IsShown(contacts.get()));
    EXPECT_FALSE(window->IsShown(accountsPage.get()));
    const QRect right = window->PaneOf(chat);
    EXPECT_GT(right.x(), side.right());
    EXPECT_EQ(chat->Width(), right.width());
    const QRect editor = window->Editor()->geometry();
    EXPECT_TRUE(window->EditorShown());
    EXPECT_EQ(editor.x(), right.x()) << "the editor stands under the chat";
    EXPECT_EQ(editor.width(), right.width());

    // A press on the list moves the focus there; the chat stays in view with its text.
    window->Editor()->setPlainText(QStringLiteral("half typed"));
    Tap(QPoint(side.center().x(), side.bottom() - 4));
    EXPECT_EQ(window->CurrentPage(), contacts.get());
    EXPECT_EQ(window->RightPage(), chat);
    EXPECT_TRUE(window->EditorShown());
    EXPECT_EQ(window->Editor()->toPlainText(), QStringLiteral("half typed"));

    // Another contact: its chat replaces the first at the right, which keeps its text.
    Tap(PointOf(list[2].get()));
    RunSlide();
    ASSERT_NE(RightChat(), nullptr);
    EXPECT_EQ(&RightChat()->Contact(), list[2].get());
    EXPECT_EQ(window->Editor()->toPlainText(), QString());
    EXPECT_EQ(chat->UnsentText(), QStringLiteral("half typed"));
}

TEST_F(TwoPaneTest, ResizingMovesBetweenOnePageAndTwoPanesKeepingTheChat) {
    Tap(PointOf(list[0].get()));
    RunSlide();
    ChatPage* chat = RightChat();
    ASSERT_NE(chat, nullptr);
    window->Editor()->setPlainText(QStringLiteral("keep me"));
    // The list has the focus when the window narrows: the list is the one page then.
    Tap(QPoint(window->PaneOf(contacts.get()).center().x(), window->ClientHeight() - 4));

    const struct {
        int width;
        bool twoPanes;
        ViewPage* current;
    } steps[] = {
        {480, false, contacts.get()},
        {1280, true, contacts.get()},
    };
    for (const auto& step : steps) {
        window->resize(step.width, 800);
        QApplication::processEvents();
        EXPECT_EQ(window->TwoPanes(), step.twoPanes) << step.width;
        EXPECT_EQ(window->CurrentPage(), step.current) << step.width;
        EXPECT_EQ(window->EditorShown(), step.twoPanes) << step.width;
        EXPECT_EQ(contacts->Width(), window->PaneOf(contacts.get()).width()) << step.width;
    }
    EXPECT_EQ(window->RightPage(), chat) << "the chat comes back beside the list";
    EXPECT_EQ(window->Editor()->toPlainText(), QStringLiteral("keep me"));

    // The chat has the focus when the window narrows: it is the one page, text and all.
    window->ShowPage(MainWindow::kJump, window->IndexOf(chat));
    window->resize(480, 800);
    QApplication::processEvents();
    EXPECT_FALSE(window->TwoPanes());
    EXPECT_EQ(window->CurrentPage(), chat);
    EXPECT_TRUE(window->EditorShown());
    EXPECT_EQ(window->Editor()->geometry().width(), window->width());
    EXPECT_EQ(window->Editor()->toPlainText(), QStringLiteral("keep me"));

    // An on-screen keyboard over the lower 300 px: the editor and the keys stand above it and
    // the chat's view is shorter by as much; gone, all comes back down. More than half the
    // window is never given up.
    const int viewHeight = window->ViewHeight();
    for (const auto& [cover, kept] : {std::pair{300, 300}, std::pair{700, 400}, std::pair{0, 0}}) {
        window->SetKeyboardCover(cover);
        EXPECT_EQ(window->KeyboardCover(), kept);
        EXPECT_EQ(window->Editor()->geometry().bottom() + 1, window->ClientHeight()) << cover;
        EXPECT_LE(window->ClientHeight(), 800 - kept) << cover;
        EXPECT_EQ(window->ViewHeight(), viewHeight - kept) << cover;
    }
}

TEST_F(TwoPaneTest, TabMovesThroughTheListTheChatTheEditorAndTheKeysWithARing) {
    Tap(PointOf(list[0].get()));
    RunSlide();
    ChatPage* chat = RightChat();
    ASSERT_NE(chat, nullptr);
    window->activateWindow();
    Tap(QPoint(window->PaneOf(contacts.get()).center().x(), window->ClientHeight() - 4));
    ASSERT_EQ(window->CurrentPage(), contacts.get());
    EXPECT_FALSE(window->FocusRingShown()) << "a press shows no ring";

    QWidget* editor = window->Editor();
    QWidget* left = window->SoftKeys()->LeftKey();
    QWidget* right = window->SoftKeys()->RightKey();
    // Where the keys are after each Tab: the page with the keys, or the widget.
    const struct {
        ViewPage* page;
        QWidget* widget;
    } forward[] = {{chat, nullptr},
                   {nullptr, editor},
                   {nullptr, left},
                   {nullptr, right},
                   {contacts.get(), nullptr}};
    for (const auto& step : forward) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        if (step.page != nullptr) {
            EXPECT_EQ(window->CurrentPage(), step.page);
            EXPECT_EQ(QApplication::focusWidget(), window.get());
        } else {
            EXPECT_EQ(QApplication::focusWidget(), step.widget);
        }
        EXPECT_TRUE(window->FocusRingShown());
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    EXPECT_EQ(QApplication::focusWidget(), right) << "Shift+Tab goes back";
}

}  // namespace
}  // namespace zul::test
