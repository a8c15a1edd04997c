// The chat page: which events show and how they group, the bubbles and their sides, day lines
// and separators, the times and sending states, sending from the shared editor, the menus,
// activation, and a history far longer than its canvas.
#include "ui/views/chat_page.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDate>
#include <QGuiApplication>
#include <QLocale>
#include <QMenu>
#include <QPalette>
#include <QTest>
#include <QTextCursor>
#include <QToolButton>
#include <atomic>
#include <future>
#include <thread>

#include "platform/tick.h"
#include "storage/change_feed.h"
#include "storage/options.h"
#include "tests/ui/views_test_support.h"
#include "ui/framework/drawing.h"
#include "ui/framework/message_editor.h"
#include "ui/notify/message_notification.h"
#include "ui/texts/ui_texts.h"
#include "ui/views/chat_page_look.h"
#include "ui/views/chat_page_parts.h"
#include "ui/views/emoji_picker.h"
#include "ui/views/emoji_text.h"

namespace zul::test {
namespace {

class ChatPageTest : public ViewsTest {
  protected:
    void SetUp() override {
        ViewsTest::SetUp();
        account = &NewAccount(1, u"100");
        account->SetOwnerNick(u"Me");
        contact = AddContact(*account, 7, u"Ann");
        SetStatus(contact, 0);
        now = TimeAt(2024, 5, 14, 10, 0, 5);
        SetHistoryClock([this] { return now; });
    }

    // An event at a time, of a kind and direction.
    void Add(uint64_t time, const std::u16string& text, uint8_t direction = evdir::kIncoming) {
        contact->History().AddEvent(evtype::kMessage, direction, text, time, 0, kMoodNone);
    }

    // Opens the chat page and slides to it.
    ChatPage& Open() {
        ChatPage* page = contacts->ChatPageFor(contact);
        contacts->OpenPage(page);
        RunSlide();
        FastTick();
        return *page;
    }

    QAction* LeftKeyEntry(int command) {
        for (QAction* a : window->PrepareLeftKeyPopup()->actions())
            if (a->data().toInt() == command) return a;
        return nullptr;
    }

    TestAccount* account = nullptr;
    ContactPtr contact;
    uint64_t now = 0;
};

TEST_F(ChatPageTest, MessagesOfOneSenderAFewMinutesApartFormARun) {
    Add(TimeAt(2024, 5, 14, 9, 0, 1), u"first");
    Add(TimeAt(2024, 5, 14, 9, 0, 50), u"second, same minute");
    Add(TimeAt(2024, 5, 14, 9, 0, 55), u"mine", evdir::kOutgoing);
    Add(TimeAt(2024, 5, 14, 9, 1, 0), u"next minute");
    Add(TimeAt(2024, 5, 14, 9, 3, 0), u"two minutes on");
    Add(TimeAt(2024, 5, 14, 9, 6, 0), u"three minutes on");
    Add(TimeAt(2024, 5, 14, 9, 6, 10), u"mine again", evdir::kOutgoing);
    contact->History()
        .AddEvent(evtype::kMessage, evdir::kOutgoing, u"refused", TimeAt(2024, 5, 14, 9, 6, 20), 0,
                  kMoodNone)
        ->SetErrorCode(kErrorRefusedBase + 0x04);
    ChatPage& page = Open();
    const auto& rows = page.Rows();
    ASSERT_EQ(rows.size(), 8u);
    const bool grouped[] = {false, true, false, false, true, false, false, false};
    for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i]->grouped, grouped[i]) << i;
    EXPECT_GT(rows[7]->failureHeight, 0) << "a failed message stands alone, its reason under it";
    EXPECT_EQ(rows[1]->Rect().top(), rows[0]->Rect().bottom() + 1);
    // A run's bubbles follow closely, with no header between them; the next run keeps a gap.
    const auto gapAbove = [&](size_t i) {
        return page.BubbleRect(*rows[i]).top() - page.BubbleRect(*rows[i - 1]).bottom();
    };
    EXPECT_LT(gapAbove(1), gapAbove(2));
    EXPECT_EQ(gapAbove(1), gapAbove(4));

    window->OnCommand(chatcmd::kGroupMessages);
    EXPECT_EQ(Options().HistoryGroupMessages, 0);
    EXPECT_FALSE(rows[1]->grouped);
    // Headers show the time with seconds when messages are not grouped.
    EXPECT_TRUE(page.HeaderTime(rows[1]->Event()).contains(QStringLiteral("09:00:50")));
}

TEST_F(ChatPageTest, SeparatorFollowsMoreThanTheSeparatorMinutesOfSilence) {
    Add(TimeAt(2024, 5, 14, 8, 0), u"start");
    Add(TimeAt(2024, 5, 14, 8, 30), u"thirty minutes later");
    Add(TimeAt(2024, 5, 14, 9, 1), u"thirty-one minutes later");
    ChatPage& page = Open();
    const auto& rows = page.Rows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_FALSE(rows[0]->separator);
    EXPECT_FALSE(rows[1]->separator);
    EXPECT_TRUE(rows[2]->separator);

    // The line itself: a divider across the gap above the event's bubble, none before.
    const QImage screen = Screen();
    const auto dividerAbove = [&](const EventRow& row) {
        for (int y = row.Rect().top(); y < page.BubbleRect(row).top(); ++y) {
            const int shown = y + page.ContentOffset();
            if (screen.pixelColor(window->ClientWidth() / 2, shown) == chat::DividerColour() &&
                screen.pixelColor(5, shown) == ItemBackground(false, false))
                return true;
        }
        return false;
    };
    EXPECT_TRUE(dividerAbove(*rows[2]));
    EXPECT_FALSE(dividerAbove(*rows[1]));
}

TEST_F(ChatPageTest, SendingFromTheEditorAddsAnOutgoingMessageShownAsPendingUntilSent) {
    ChatPage& page = Open();
    ASSERT_TRUE(window->EditorShown());
    MessageEditor* editor = window->Editor();
    editor->setFocus();
    editor->setPlainText(QStringLiteral("see you <b>soon</b> & bye"));
    QTest::keyClick(editor, Qt::Key_Return);
    EXPECT_TRUE(editor->toPlainText().isEmpty());

    ASSERT_EQ(page.Rows().size(), 1u);
    const CHistoryEvent& sent = page.Rows()[0]->Event();
    EXPECT_EQ(sent.EventType(), evtype::kMessage);
    EXPECT_EQ(sent.Direction(), evdir::kOutgoing);
    EXPECT_EQ(sent.Status(), account->Status());
    EXPECT_EQ(sent.StatusMood(), kMoodNone);
    EXPECT_EQ(sent.EventTime(), now);
    EXPECT_EQ(sent.Message(), u"see you <b>soon</b> & bye");
    EXPECT_EQ(sent.Sent(), 0);
    EXPECT_EQ(page.HeaderTime(sent), ResText(126)) << "offline: after next login";

    account->SetStatus(0);
    EXPECT_EQ(page.HeaderTime(sent), ResText(118));
    account->FlushOutbox();
    EXPECT_EQ(account->sentNumbers, std::vector<int32_t>{sent.Number()});
    FastTick();
    EXPECT_FALSE(page.HeaderTime(sent).contains(ResText(118)));

    // Empty text sends nothing and leaves the editor alone.
    QTest::keyClick(editor, Qt::Key_Return);
    EXPECT_EQ(page.Rows().size(), 1u);
}

TEST_F(ChatPageTest, BubblesKeepToTheirSidesInTheirOwnFills) {
    std::u16string longText = u"long";
    for (int w = 0; w < 60; ++w) longText += u" words";
    Add(now, u"hi");
    Add(now, u"hello", evdir::kOutgoing);
    Add(now, longText);
    Add(now, longText, evdir::kOutgoing);
    Add(now, u"https://example.org/" + std::u16string(150, u'x'));
    ChatPage& page = Open();
    ASSERT_EQ(page.Rows().size(), 5u);
    const int width = window->ClientWidth();
    const QImage screen = Screen();
    for (const auto& row : page.Rows()) {
        const bool outgoing = row->Event().IsOutgoing();
        const QRect bubble = page.BubbleRect(*row);
        SCOPED_TRACE(QString::fromStdU16String(row->Event().Message()).left(8).toStdString());
        EXPECT_LE(bubble.width(), width * 4 / 5) << "a long message still leaves its side";
        if (row->Event().Message().size() < 10)
            EXPECT_TRUE(outgoing ? bubble.left() >= width / 2 : bubble.right() < width / 2);
        else
            EXPECT_TRUE(outgoing ? bubble.right() > width * 9 / 10 : bubble.left() < width / 10);
        // Drawn: the fill of its side in the padding above the text.
        const QPoint inFill(bubble.center().x(), bubble.top() + 2 + page.ContentOffset());
        EXPECT_EQ(screen.pixelColor(inFill),
                  (outgoing ? chat::OutgoingBubble() : chat::IncomingBubble()).fill);
    }
    // A word longer than the bubble breaks anywhere rather than being cut at its edge: its
    // 170 characters take more than two lines.
    EXPECT_GT(page.Rows()[4]->textSize.height(),
              2 * MeasureWrapped(QStringLiteral("A"), 2, width).height());
}

TEST_F(ChatPageTest, BubbleColoursReadWellInLightAndDarkPalettes) {
    const QPalette saved = QGuiApplication::palette();
    QPalette dark = saved;
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        dark.setColor(group, QPalette::Base, QColor(0x20, 0x20, 0x20));
        dark.setColor(group, QPalette::Text, QColor(0xE0, 0xE0, 0xE0));
        dark.setColor(group, QPalette::Highlight, QColor(0x2A, 0x82, 0xDA));
    }
    dark.setColor(QPalette::Disabled, QPalette::Text, QColor(0x50, 0x50, 0x50));
    for (const QPalette& palette : {saved, dark}) {
        QGuiApplication::setPalette(palette);
        const chat::BubbleColours in = chat::IncomingBubble(), out = chat::OutgoingBubble();
        EXPECT_NE(in.fill, out.fill);
        EXPECT_NE(in.fill, WindowColour());
        for (const chat::BubbleColours& b : {in, out}) {
            EXPECT_GE(ContrastRatio(b.text, b.fill), 4.5) << b.fill.name().toStdString();
            EXPECT_GE(ContrastRatio(b.secondary, b.fill), 4.5) << b.fill.name().toStdString();
        }
        EXPECT_GE(ContrastRatio(chat::FailureTextColour(), WindowColour()), 4.5);
    }
    // The dark look, for the eye.
    Add(TimeAt(2024, 5, 13, 18, 0), u"See you tomorrow?");
    Add(TimeAt(2024, 5, 13, 18, 1), u"Yes, at ten.", evdir::kOutgoing);
    Add(now, u"Morning!");
    contact->History()
        .AddEvent(evtype::kMessage, evdir::kOutgoing, u"Hi!", now, 0, kMoodNone)
        ->SetErrorCode(kErrorRefusedBase + 0x04);
    Open();
    Screen().save(ScreenshotPath(QStringLiteral("chat_page_dark.png")));
    QGuiApplication::setPalette(saved);
}

TEST_F(ChatPageTest, EachDayBeginsWithALineNamingIt) {
    Add(TimeAt(2024, 5, 12, 10, 0), u"two days ago");
    Add(TimeAt(2024, 5, 13, 23, 59), u"late yesterday");
    Add(TimeAt(2024, 5, 14, 0, 1), u"just after midnight");
    Add(TimeAt(2024, 5, 14, 9, 0), u"this morning");
    ChatPage& page = Open();
    const bool firstOfDay[] = {true, true, true, false};
    ASSERT_EQ(page.Rows().size(), 4u);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(page.Rows()[i]->daySeparator, firstOfDay[i]) << i;

    const struct {
        uint64_t time, now;
        QString label;
    } labels[] = {
        {TimeAt(2024, 5, 14, 0, 1), now, ResText(chat::kTextToday)},
        {TimeAt(2024, 5, 13, 23, 59), now, ResText(chat::kTextYesterday)},
        {TimeAt(2024, 4, 30, 22, 0), TimeAt(2024, 5, 1, 8, 0), ResText(chat::kTextYesterday)},
        {TimeAt(2024, 5, 12, 10, 0), now,
         QLocale::system().toString(QDate(2024, 5, 12), QLocale::LongFormat)},
    };
    for (const auto& l : labels)
        EXPECT_EQ(chat::DayLabel(l.time, l.now), l.label) << l.label.toStdString();
}

TEST_F(ChatPageTest, TheSendingStateIsMarkedAndSaidInWords) {
    Add(now, u"hello");
    for (int i = 0; i < 4; ++i) Add(now, u"mine", evdir::kOutgoing);
    ChatPage& page = Open();
    ASSERT_EQ(page.Rows().size(), 5u);
    const auto event = [&](size_t i) -> CHistoryEvent& { return page.Rows()[i]->Event(); };
    event(2).SetSent(1);
    event(3).SetSent(1);
    event(3).SetDelivered(1);
    event(4).SetErrorCode(kErrorRefusedBase + 0x10);
    const struct {
        chat::Delivery state;
        QString words;
    } cases[] = {{chat::Delivery::kNone, QString()},
                 {chat::Delivery::kPending, ResText(chat::kTextWaitingToSend)},
                 {chat::Delivery::kSent, ResText(chat::kTextNotDeliveredYet)},
                 {chat::Delivery::kDelivered, ResText(chat::kTextDelivered)},
                 {chat::Delivery::kFailed, ResText(chat::kTextRefusedBlocked)}};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(chat::DeliveryOf(event(i)), cases[i].state) << i;
        const QString said = page.AccessibleText(*page.Rows()[i]);
        if (cases[i].words.isEmpty())
            EXPECT_EQ(said, QStringLiteral("Ann, ") +
                                QString::fromStdU16String(event(i).TimeText(false)) +
                                QStringLiteral(": hello"));
        else
            EXPECT_TRUE(said.contains(QStringLiteral(", ") + cases[i].words + QStringLiteral(": ")))
                << said.toStdString();
    }
}

TEST_F(ChatPageTest, TurningStatusChangesOffDropsThemAndAFocusOnOne) {
    Options().HistoryShowStatusChanges = 1;
    Add(TimeAt(2024, 5, 14, 9, 0), u"hello");
    contact->AddStatusChange(u"", 10, kMoodNone);
    ChatPage& page = Open();
    ASSERT_EQ(page.Rows().size(), 2u);
    EventRow* change = page.Rows()[1].get();
    EXPECT_EQ(change->Event().EventType(), evtype::kStatusChange);
    EXPECT_TRUE(change->shown);
    EXPECT_EQ(change->height, std::max(TextHeight(QStringLiteral("A"), 2, true), 22));
    page.FocusItem(change);

    window->OnCommand(chatcmd::kStatusChanges);
    EXPECT_EQ(Options().HistoryShowStatusChanges, 0);
    EXPECT_EQ(page.FocusedItem(), nullptr);
    EXPECT_EQ(page.Rows().size(), 1u);

    window->OnCommand(chatcmd::kStatusChanges);  // on again: loaded from the profile
    EXPECT_EQ(page.Rows().size(), 2u);
}

TEST_F(ChatPageTest, ClearHistoryIsGreyedWithoutEventsAndAsksFirst) {
    ChatPage& page = Open();
    QAction* clear = LeftKeyEntry(chatcmd::kClearHistory);
    ASSERT_NE(clear, nullptr);
    EXPECT_FALSE(clear->isEnabled());
    window->OnCommand(chatcmd::kClearHistory);
    EXPECT_TRUE(confirmations.empty());

    Add(now, u"one");
    Add(now, u"two");
    FastTick();
    EXPECT_TRUE(LeftKeyEntry(chatcmd::kClearHistory)->isEnabled());
    confirmAnswer = false;
    window->OnCommand(chatcmd::kClearHistory);
    EXPECT_EQ(page.Rows().size(), 2u);
    confirmAnswer = true;
    window->OnCommand(chatcmd::kClearHistory);
    EXPECT_EQ(confirmations, (std::vector<int>{128, 128}));
    EXPECT_TRUE(page.Rows().empty());
    EXPECT_EQ(page.ContentHeight(), 0);
    EXPECT_EQ(contact->History().EventCount(), 0);
}

TEST_F(ChatPageTest, EventMenuCopiesAndDeletesTheFocusedEvent) {
    Add(now, u"keep me");
    Add(now, u"copy & delete me");
    ChatPage& page = Open();
    page.FocusItem(page.Rows()[1].get());
    QMenu menu;
    ASSERT_TRUE(page.FillContextMenu(menu));
    page.ContextCommand(chatcmd::kCopy);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("copy & delete me"));

    page.ContextCommand(chatcmd::kDelete);
    EXPECT_EQ(confirmations, std::vector<int>{127});
    ASSERT_EQ(page.Rows().size(), 1u);
    EXPECT_EQ(page.Rows()[0]->Event().Message(), u"keep me");
    EXPECT_EQ(page.FocusedItem(), nullptr);
    EXPECT_EQ(contact->History().EventCount(), 1);
}

TEST_F(ChatPageTest, AFailedMessageCanBeSentAgainAndEveryEventTellsItsState) {
    Add(now, u"hello");
    Add(now, u"lost", evdir::kOutgoing);
    ChatPage& page = Open();
    CHistoryEvent& incoming = page.Rows()[0]->Event();
    CHistoryEvent& failed = page.Rows()[1]->Event();
    std::vector<std::pair<int, QString>> shown;
    SetShowInformationHandler(
        [&](int title, const QString& text) { shown.emplace_back(title, text); });

    // Still in the outbox: nothing to send again; the details say it waits.
    page.FocusItem(page.Rows()[1].get());
    QMenu menu;
    ASSERT_TRUE(page.FillContextMenu(menu));
    EXPECT_FALSE(FindMenuCommand(menu, chatcmd::kSendAgain)->isEnabled());
    page.ContextCommand(chatcmd::kEventDetails);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].first, 315);
    EXPECT_TRUE(shown[0].second.endsWith(QStringLiteral("Waiting to be sent")))
        << shown[0].second.toStdString();
    page.ContextCommand(chatcmd::kSendAgain);
    EXPECT_EQ(contact->History().EventCount(), 2);

    failed.SetSent(1);
    EXPECT_TRUE(
        ChatPage::EventDetailsText(failed).endsWith(QStringLiteral("Sent, not delivered yet")));
    failed.SetDelivered(1);
    EXPECT_TRUE(ChatPage::EventDetailsText(failed).endsWith(QStringLiteral("Delivered")));
    EXPECT_TRUE(ChatPage::EventDetailsText(incoming).endsWith(QStringLiteral("Received")));
    // The server's refusals name their reason; the chat shows it where the time would be.
    const std::pair<int32_t, const char*> reasons[] = {
        {7, "(error 7)"},
        {kErrorRefusedBase + 0x04, "not signed on (the server may keep it for later)"},
        {kErrorRefusedBase + 0x10, "you block this contact"},
        {kErrorRefusedBase + 0x03, "sent too fast, wait a moment"},
        {kErrorRefusedBase + 0x0E, "(error 14)"}};
    for (const auto& [code, reason] : reasons) {
        failed.SetErrorCode(code);
        EXPECT_TRUE(ChatPage::EventDetailsText(failed).endsWith(QLatin1String(reason))) << code;
        EXPECT_TRUE(ChatPage::FailureText(failed).endsWith(QLatin1String(reason))) << code;
    }
    EXPECT_TRUE(ChatPage::FailureText(incoming).isEmpty());

    // Given up: sent again as a new message at the end, the failed one stays.
    failed.SetErrorCode(1);
    EXPECT_TRUE(ChatPage::EventDetailsText(failed).startsWith(QStringLiteral("Time: ")));
    QMenu again;
    ASSERT_TRUE(page.FillContextMenu(again));
    EXPECT_TRUE(FindMenuCommand(again, chatcmd::kSendAgain)->isEnabled());
    page.ContextCommand(chatcmd::kSendAgain);
    ASSERT_EQ(contact->History().EventCount(), 3);
    const CHistoryEvent& resent = page.Rows().back()->Event();
    EXPECT_EQ(resent.Message(), u"lost");
    EXPECT_TRUE(resent.IsOutgoing());
    EXPECT_EQ(resent.ErrorCode(), 0);
    EXPECT_EQ(failed.ErrorCode(), 1);
    SetShowInformationHandler({});
}

// Counts the messages that would be announced.
class CountingNotifier : public INewMessageNotifier {
  public:
    void NotifyNewMessage(CContact&, const std::u16string&) override { ++count; }
    int count = 0;
};

TEST_F(ChatPageTest, AMessageIntoTheChatTheUserIsLookingAtIsNotAnnounced) {
    CountingNotifier notifier;
    SetNewMessageNotifier(&notifier);
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    ChatPage& page = Open();
    Add(now, u"seen");
    EXPECT_EQ(notifier.count, 0);
    EXPECT_EQ(contact->History().UnreadCount(), 0);

    page.WindowActivationChanged(false);  // the user is in another window
    Add(now, u"announced");
    EXPECT_EQ(notifier.count, 1);
    page.WindowActivationChanged(true);
    window->ShowPage(MainWindow::kJump, 1);  // back to the contacts
    Add(now, u"also announced");
    EXPECT_EQ(notifier.count, 2);
    SetNewMessageNotifier(nullptr);
}

// Messages stored on another thread reach the open chat through the change feed, without a
// tick; a page closed while they keep coming is never reached again (ASan watches).
TEST_F(ChatPageTest, MessagesReachTheChatThroughTheFeedAndAClosedPageHearsNothing) {
    std::atomic<int> wakes{0};
    Changes().SetWake([&] { ++wakes; });
    ChatPage& open = Open();
    Changes().Dispatch();
    wakes.store(0);
    const size_t before = open.Rows().size();
    std::thread([&] { Add(now, u"from the session"); }).join();
    EXPECT_EQ(wakes.load(), 1);
    EXPECT_TRUE(Changes().Dispatch());
    window->RepaintIfChanged();
    ASSERT_EQ(open.Rows().size(), before + 1);
    EXPECT_EQ(open.Rows().back()->Event().Message(), u"from the session");

    ContactPtr other = AddContact(*account, 8, u"Bob");
    auto closing = std::make_unique<ChatPage>(other);
    std::atomic<bool> stop{false};
    std::thread session([&] {
        for (int i = 0; !stop.load() && i < 2000; ++i)
            other->History().AddEvent(evtype::kMessage, evdir::kIncoming, u"m", now, 0, -1);
    });
    for (int round = 0; round < 50; ++round) {
        Changes().Dispatch();
        if (round == 10) closing.reset();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    stop.store(true);
    session.join();
    Changes().Dispatch();
    EXPECT_FALSE(other->History().Attached());
    EXPECT_FALSE(other->History().TakeViewNotes().dirty);
    Changes().SetWake({});
}

// Records what the notification would show.
class CountingBubble : public INotificationBubble {
  public:
    bool Add(const BubbleRecord&) override { return ++adds > 0; }
    bool Update(const BubbleRecord&, bool) override { return true; }
    void Remove(const BubbleRecord&) override { ++removes; }
    int adds = 0;
    int removes = 0;
};
class QuietDevices : public IAlertDevices {
  public:
    void PlaySound(const std::u16string&) override {}
    bool SilentMode() override { return true; }
    void SetVibrator(int, bool) override {}
    void Sleep(int) override {}
};

TEST_F(ChatPageTest, ActivationReadsTheUnreadMessagesAndRemovesTheNotification) {
    CountingBubble bubble;
    QuietDevices devices;
    MessageNotification notification(bubble, devices);
    notification.SetWindowExists(true);

    Add(now, u"are you there?");
    Add(now, u"hello?");
    EXPECT_EQ(contact->History().UnreadCount(), 2);
    // The bubble is shown by the notification's own delivery thread: wait for it.
    notification.WaitForAlerts();
    EXPECT_TRUE(notification.Shown());

    ChatPage& page = Open();
    EXPECT_TRUE(page.IsChatOpen());
    EXPECT_EQ(contact->History().UnreadCount(), 0);
    EXPECT_FALSE(notification.Shown());
    EXPECT_EQ(bubble.removes, 1);

    // A message arriving while the page is open is read at once and shown at the end.
    Add(now, u"here now");
    EXPECT_EQ(contact->History().UnreadCount(), 0);
    FastTick();
    EXPECT_EQ(page.Rows().size(), 3u);
    notification.WaitForAlerts();

    // Leaving for the contacts page closes the chat for incoming messages.
    window->ShowPage(MainWindow::kJump, 1);
    EXPECT_FALSE(page.IsChatOpen());
    Add(now, u"gone?");
    EXPECT_EQ(contact->History().UnreadCount(), 1);
    notification.WaitForAlerts();
}

namespace typing_clock {
std::atomic<uint32_t> g_now{1000};
uint32_t Now() {
    return g_now.load();
}
}  // namespace typing_clock

TEST_F(ChatPageTest, TheEditorTellsTheContactHowOurTypingStands) {
    SetTickSource(&typing_clock::Now);
    ChatPage& page = Open();
    EXPECT_EQ(contact->OwnTyping(), 0);
    window->Editor()->setPlainText(QStringLiteral("hel"));
    EXPECT_EQ(contact->OwnTyping(), 2);
    // Left alone for a few seconds: a pause; typing again: begun.
    typing_clock::g_now += 6000;
    page.SlowTick();
    EXPECT_EQ(contact->OwnTyping(), 1);
    window->Editor()->setPlainText(QStringLiteral("hello"));
    EXPECT_EQ(contact->OwnTyping(), 2);
    // Emptied, or sent: ended.
    window->Editor()->clear();
    EXPECT_EQ(contact->OwnTyping(), 0);
    window->Editor()->setPlainText(QStringLiteral("hello"));
    EXPECT_TRUE(page.EditorNotification(MessageEditor::kConfirm, QStringLiteral("hello")));
    EXPECT_EQ(contact->OwnTyping(), 0);
    SetTickSource(nullptr);
}

TEST_F(ChatPageTest, CloseSlidesBackToTheContactsAndKeepsTheUnsentText) {
    ChatPage& page = Open();
    window->Editor()->setPlainText(QStringLiteral("half a thought"));
    window->OnCommand(chatcmd::kClose);
    RunSlide();
    EXPECT_EQ(window->CurrentIndex(), 1);
    EXPECT_EQ(window->IndexOf(&page), -1);
    EXPECT_EQ(page.UnsentText(), QStringLiteral("half a thought"));
    Open();
    EXPECT_EQ(window->Editor()->toPlainText(), QStringLiteral("half a thought"));
}

TEST_F(ChatPageTest, TheContactKeyAnswersAWaitingAuthorisationRequest) {
    ChatPage& page = Open();
    QMenu plain;
    page.FillLeftKeyPopup(plain);
    EXPECT_EQ(FindMenuCommand(plain, chatcmd::kGrantAuthorisation), nullptr);

    contact->SetAuthAsked(true);
    QMenu asked;
    page.FillLeftKeyPopup(asked);
    ASSERT_GE(asked.actions().size(), 3);
    EXPECT_EQ(asked.actions()[0]->data().toInt(), chatcmd::kGrantAuthorisation);
    EXPECT_EQ(asked.actions()[1]->data().toInt(), chatcmd::kDenyAuthorisation);
    window->OnCommand(chatcmd::kGrantAuthorisation);
    EXPECT_FALSE(contact->AuthAsked());
    EXPECT_EQ(contact->TakeAuthAnswer(), 1);
    EXPECT_EQ(contact->TakeAuthAnswer(), -1) << "answered once";
}

TEST(EmojiRunsTest, PicturesGetTheColourFontAndTextStaysText) {
    using Runs = std::vector<std::pair<int, int>>;
    const struct {
        std::u16string text;
        Runs runs;
    } cases[] = {
        {u"ok 1 # * \u00A9 \u263A \u2764", {}},  // shown as text unless asked otherwise
        {u"hi \U0001F600!", {{3, 2}}},
        {u"\u2764\uFE0F \u263A\uFE0F", {{0, 2}, {3, 2}}},  // asked for the picture
        {u"\U0001F600\uFE0E", {}},                         // asked for text
        {u"\U0001F44D\U0001F3FD", {{0, 4}}},               // with a skin tone
        {u"\U0001F468\u200D\U0001F469\u200D\U0001F467", {{0, 8}}},
        {u"\U0001F1E9\U0001F1EA", {{0, 4}}},  // a flag
        {u"1\uFE0F\u20E3 #\u20E3 12", {{0, 3}, {4, 2}}},
        {u"\U0001F600\U0001F431 x", {{0, 4}}},
        {u"a\u200Db", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(QString::fromStdU16String(c.text).toStdString());
        EXPECT_EQ(emoji::Runs(QString::fromStdU16String(c.text)), c.runs);
    }
}

// Pixels of a strong colour: the emoji's yellows and reds, never the greys of text and fills.
int ColourfulPixels(const QImage& image, const QRect& rect) {
    int count = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.hsvSaturation() > 120 && c.value() > 120) ++count;
        }
    return count;
}

TEST_F(ChatPageTest, EmojiAreDrawnInColourInABubbleAndInTheEditor) {
    if (emoji::ColourFamily().isEmpty()) GTEST_SKIP() << "no colour emoji font installed";
    // The usual interface font has black-and-white drawings of these three.
    const std::u16string text = u"\U0001F600 \u2764\uFE0F \U0001F431";
    Add(now, text);
    ChatPage& page = Open();
    ASSERT_EQ(page.Rows().size(), 1u);
    const EventRow& row = *page.Rows()[0];
    EXPECT_EQ(row.Event().Message(), text);
    EXPECT_TRUE(row.timeBeside) << "one line: the time beside it";
    const QRect bubble = page.BubbleRect(row).translated(0, page.ContentOffset());
    EXPECT_GT(ColourfulPixels(Screen(), bubble), 30);

    MessageEditor* editor = window->Editor();
    editor->setPlainText(QString::fromStdU16String(text));
    const QImage typed = editor->grab().toImage();
    EXPECT_GT(ColourfulPixels(typed, typed.rect()), 30);
}

TEST_F(ChatPageTest, TheEmojiPickerPutsTheChosenOneAtTheCursorAndKeepsItAsRecent) {
    for (const int width : {480, 300}) {
        SCOPED_TRACE(width);
        window->resize(width, 800);
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
        Open();
        MessageEditor* editor = window->Editor();
        editor->setPlainText(QStringLiteral("ab"));
        QTextCursor cursor = editor->textCursor();
        cursor.setPosition(1);
        editor->setTextCursor(cursor);

        QAction* insert = LeftKeyEntry(chatcmd::kInsertEmoji);
        ASSERT_NE(insert, nullptr);
        ASSERT_TRUE(insert->isEnabled());
        insert->trigger();
        auto* picker = dynamic_cast<emoji::EmojiPicker*>(QApplication::activePopupWidget());
        ASSERT_NE(picker, nullptr);
        EXPECT_LE(picker->width(), width);
        EXPECT_LE(picker->height(), 800);
        picker->ShowCategory(3);
        const std::vector<QToolButton*> cells = picker->Cells();
        ASSERT_GE(cells.size(), 30u);
        for (QToolButton* cell : cells) {
            EXPECT_GE(cell->width(), emoji::EmojiPicker::kMinCell);
            EXPECT_GE(cell->height(), emoji::EmojiPicker::kMinCell);
        }
        QToolButton* chosen = cells.back();
        const QString picked = chosen->text();
        QTest::mouseClick(chosen, Qt::LeftButton);
        EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
        EXPECT_EQ(editor->toPlainText(), QStringLiteral("a") + picked + QStringLiteral("b"));
        EXPECT_EQ(editor->textCursor().position(), 1 + picked.size());
        EXPECT_TRUE(editor->hasFocus());

        // Open again: the chosen one leads the recent row; Escape closes and changes nothing.
        window->OnCommand(chatcmd::kInsertEmoji);
        picker = dynamic_cast<emoji::EmojiPicker*>(QApplication::activePopupWidget());
        ASSERT_NE(picker, nullptr);
        EXPECT_EQ(picker->Cells().front()->text(), picked);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
        EXPECT_EQ(editor->toPlainText(), QStringLiteral("a") + picked + QStringLiteral("b"));
        window->OnCommand(chatcmd::kClose);
        RunSlide();
    }
}

TEST_F(ChatPageTest, ScreenshotWithGroupsSeparatorAndPendingMessage) {
    contact->SetStatus(0, u"Reading the news", kMoodNone, true, false);
    Add(TimeAt(2024, 5, 14, 8, 0, 10), u"Good morning!");
    Add(TimeAt(2024, 5, 14, 8, 0, 40),
        u"Did you see the message about the meeting? It moved to the big room on the "
        u"second floor, after lunch.");
    Add(TimeAt(2024, 5, 14, 8, 2, 0), u"Yes, thanks. <b>See you</b> there & then.",
        evdir::kOutgoing);
    contact->History().PendingOutgoing();
    for (const EventPtr& e : contact->History().Events()) {
        e->SetSent(1);
        e->SetDelivered(1);
        e->dbSave();
    }
    Add(TimeAt(2024, 5, 14, 9, 40, 0), u"Running late, ten minutes.");
    ChatPage& page = Open();
    page.Relayout();
    window->Editor()->setPlainText(QStringLiteral("No problem"));
    QTest::keyClick(window->Editor(), Qt::Key_Return);
    FastTick();
    ASSERT_EQ(page.Rows().size(), 5u);
    EXPECT_TRUE(page.Rows()[1]->grouped);
    EXPECT_TRUE(page.Rows()[3]->separator);
    EXPECT_EQ(page.HeaderTime(page.Rows()[4]->Event()), ResText(126));
    Screen().save(ScreenshotPath(QStringLiteral("chat_page.png")));
}

TEST_F(ChatPageTest, HundredThousandEventsKeepTheCanvasBounded) {
    {
        // Written straight into the profile in one transaction; the page loads them.
        CTransaction transaction;
        CppSQLite3Command insert = Database().Prepare(
            u"INSERT INTO History (AccID,ContactID,EventType,Direction,EventTime,Status,"
            u"StatusMood,Unread,Sent,Delivered,Marked,Message,Number,ErrorCode) "
            u"VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
        uint8_t time[8];
        for (int i = 1; i <= 100000; ++i) {
            EncodeEventTime(TimeAt(2024, 1, 1, 0, 0) + uint64_t(i) * 600000000ULL, time);
            insert.BindInt(1, account->ID());
            insert.BindInt(2, contact->LocalID());
            insert.BindInt(3, evtype::kMessage);
            insert.BindInt(4, i % 3 == 0 ? evdir::kOutgoing : evdir::kIncoming);
            insert.BindBlob(5, time, 8);
            insert.BindInt(6, 0);
            insert.BindInt(7, -1);
            insert.BindInt(8, 0);
            insert.BindInt(9, 1);
            insert.BindInt(10, 1);
            insert.BindInt(11, 0);
            insert.BindText(12, u"message number " + Widen(std::to_string(i)));
            insert.BindInt(13, i);
            insert.BindInt(14, 0);
            insert.Execute();
        }
        insert.Finalize();
        transaction.Commit();
    }
    // It opens with the newest pages of the history that fill the view and the band's reach,
    // drawn in a bounded band at its end.
    ChatPage& page = Open();
    const size_t opened = page.Rows().size();
    ASSERT_GE(opened, kHistoryPageEvents);
    ASSERT_LE(opened, 4 * kHistoryPageEvents);
    EXPECT_EQ(opened % kHistoryPageEvents, 0u) << "whole pages";
    EXPECT_EQ(page.Rows().front()->Event().Number(), int32_t(100001 - opened));
    EXPECT_EQ(page.Rows().back()->Event().Number(), 100000);
    ASSERT_NE(page.Surface(), nullptr);
    EXPECT_LE(page.Surface()->height(), Canvas::MaxSurfaceRows());
    EXPECT_EQ(page.Surface()->width(), window->ClientWidth());
    const EventRow& last = *page.Rows().back();
    EXPECT_GE(page.SurfaceTop() + page.Surface()->height(), last.Rect().bottom());

    // One more message lays out the new row only and keeps the band bounded.
    Add(now, u"one more");
    FastTick();
    EXPECT_EQ(page.Rows().size(), opened + 1);
    EXPECT_LE(page.Surface()->height(), Canvas::MaxSurfaceRows());
    EXPECT_GE(page.SurfaceTop() + page.Surface()->height(), page.Rows().back()->Rect().bottom());

    // At the top of what was read the next older page comes in above, and what was on the
    // screen stays where it was.
    const int view = window->ViewHeight();
    const EventRow* top = page.Rows().front().get();
    const int screenTop = top->top;  // where it shows at the offset 0
    page.ScrollTo(0, view);
    EXPECT_EQ(page.Rows().size(), opened + kHistoryPageEvents + 1);
    EXPECT_EQ(page.Rows().front()->Event().Number(), int32_t(100001 - opened - kHistoryPageEvents));
    EXPECT_EQ(top->Rect().top() + page.ContentOffset(), screenTop);

    // Left open at its end while messages keep coming, the page lets go of the older pages.
    page.ScrollToEndNow();
    for (int i = 0; i < 3 * int(kHistoryPageEvents); ++i) {
        Add(now, u"more");
        if (i % 50 == 0) FastTick();
    }
    FastTick();
    EXPECT_GT(page.Rows().front()->Event().Number(), int32_t(100001 - opened));
    EXPECT_LT(page.Rows().size(), opened + 4 * kHistoryPageEvents);
    EXPECT_EQ(page.Rows().back()->Event().Message(), u"more");
    EXPECT_GE(page.SurfaceTop() + page.Surface()->height(), page.Rows().back()->Rect().bottom());
}

TEST_F(ChatPageTest, ALongHistoryIsMeasuredWhereShownAndScrollsWithoutJumps) {
    // Three messages every ten minutes, so every first of three begins a run; every seventh is
    // long enough to wrap over several lines, which its estimate does not know exactly.
    constexpr int kEvents = 3000;
    const uint64_t base = TimeAt(2024, 1, 1, 9, 0);
    {
        CTransaction transaction;
        for (int i = 0; i < kEvents; ++i) {
            std::u16string text = u"line " + Widen(std::to_string(i));
            if (i % 7 == 0)
                for (int w = 0; w < 40; ++w) text += u" wrapping";
            Add(base + uint64_t(i / 3) * 10 * 600000000ULL, text);
        }
        transaction.Commit();
    }
    ChatPage& page = Open();
    const auto& rows = page.Rows();
    ASSERT_LT(rows.size(), size_t(kEvents)) << "the newest pages are read";
    EXPECT_EQ(rows.size() % kHistoryPageEvents, 0u);
    const auto measured = [&] {
        return std::count_if(rows.begin(), rows.end(), [](const auto& r) { return r->measured; });
    };
    EXPECT_LT(measured(), kEvents / 4) << "only the newest rows are measured on opening";
    EXPECT_TRUE(rows.back()->measured);
    EXPECT_EQ(page.Height(), rows.back()->top + rows.back()->height);
    const int view = window->ViewHeight();
    ASSERT_GT(view, 0);
    EXPECT_EQ(page.ContentOffset(), view - page.Height()) << "opened at its end";

    // Upwards a part of a screen at a time: the rows shown are measured, and what was on the
    // screen moves by exactly the distance scrolled, however the rows above were estimated
    // and whenever an older page comes in above.
    const int step = view / 3;
    int steps = 0;
    while (page.ContentOffset() < 0) {
        const int offset = page.ContentOffset();
        const int probeY = -offset + view / 2;
        const ListItem* probe = page.ItemAt(10, probeY);
        ASSERT_NE(probe, nullptr);
        const int screenBefore = probe->Rect().top() + offset;
        page.ScrollTo(std::min(0, offset + step), view);
        const int scrolled = std::min(0, offset + step) - offset;
        ASSERT_EQ(probe->Rect().top() + page.ContentOffset(), screenBefore + scrolled)
            << "step " << steps;
        for (const auto& r : rows) {
            const int screenTop = r->top + page.ContentOffset();
            if (screenTop < view && screenTop + r->height > 0) ASSERT_TRUE(r->measured);
        }
        ASSERT_LT(++steps, 10 * kEvents) << "the top is never reached";
    }
    // Everything was read page by page and shown once: the layout is whole and the grouping
    // as the events say, also where two pages meet.
    ASSERT_EQ(rows.size(), size_t(kEvents));
    EXPECT_EQ(measured(), kEvents);
    int y = rows.front()->top;
    for (int i = 0; i < kEvents; ++i) {
        ASSERT_EQ(rows[i]->top, y) << i;
        ASSERT_EQ(rows[i]->grouped, i % 3 != 0) << i;
        y += rows[i]->height;
    }
    EXPECT_EQ(page.Height(), y);
}

// A session in the middle of a burst: another thread holds the profile until this goes.
class BusyProfile {
  public:
    BusyProfile() {
        std::promise<void> held;
        thread_ = std::thread([this, &held] {
            std::lock_guard busy(Database().Mutex());
            held.set_value();
            release_.get_future().wait();
        });
        held.get_future().wait();
    }
    ~BusyProfile() {
        release_.set_value();
        thread_.join();
    }

  private:
    std::promise<void> release_;
    std::thread thread_;
};

// While a session holds the profile, the window thread does not wait for it: the chat opens
// with what is in memory and takes the newest page once the writer thread has read it; an
// older page read that way comes in above with what is on the screen kept in place.
TEST_F(ChatPageTest, PagesReadWhileTheProfileIsBusyComeInLater) {
    {
        CTransaction transaction;
        for (int i = 0; i < 1000; ++i)
            Add(TimeAt(2024, 1, 1, 9, 0) + uint64_t(i) * 600000000ULL, u"m");
        transaction.Commit();
    }
    // A closed chat keeps only the newest few in memory.
    Add(now, u"newest");
    auto session = std::make_unique<BusyProfile>();
    ChatPage& page = Open();
    EXPECT_LT(page.Rows().size(), size_t(kDetachedEventsKept) + 1);
    EXPECT_EQ(page.Rows().back()->Event().Message(), u"newest");
    session.reset();
    Database().FlushDeferred();
    FastTick();
    ASSERT_GE(page.Rows().size(), kHistoryPageEvents);
    EXPECT_EQ(page.Rows().back()->Event().Message(), u"newest");
    const size_t first = page.Rows().size();

    // Near the top while the profile is busy: nothing yet, then the older page above.
    const int view = window->ViewHeight();
    session = std::make_unique<BusyProfile>();
    page.ScrollTo(-page.CaptionHeight(), view);
    EXPECT_EQ(page.Rows().size(), first);
    const ListItem* shown = page.ItemAt(10, -page.ContentOffset() + view / 2);
    ASSERT_NE(shown, nullptr);
    const int screenTop = shown->Rect().top() + page.ContentOffset();
    session.reset();
    Database().FlushDeferred();
    FastTick();
    EXPECT_EQ(page.Rows().size(), first + kHistoryPageEvents);
    EXPECT_EQ(shown->Rect().top() + page.ContentOffset(), screenTop);
}

}  // namespace
}  // namespace zul::test
