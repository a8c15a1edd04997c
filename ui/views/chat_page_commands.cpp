#include <QClipboard>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <algorithm>
#include <climits>
#include <unordered_set>

#include "accounts/account.h"
#include "platform/tick.h"
#include "storage/options.h"
#include "storage/status.h"
#include "ui/framework/dpi.h"
#include "ui/framework/drawing.h"
#include "ui/framework/main_window.h"
#include "ui/framework/message_editor.h"
#include "ui/notify/message_notification.h"
#include "ui/texts/ui_resources.h"
#include "ui/texts/ui_texts.h"
#include "ui/views/chat_page.h"
#include "ui/views/chat_page_parts.h"
#include "ui/views/emoji_picker.h"
#include "ui/views/emoji_text.h"
#include "ui/views/view_support.h"

namespace zul {
using namespace chat;

// ---- Host events -----------------------------------------------------------------------------

bool ChatPage::ChangedSinceLastPaint() {
    const bool changed = ViewPage::ChangedSinceLastPaint();
    const bool synced = Sync();
    return changed || synced;
}

void ChatPage::SlowTick() {
    // Text left alone for a few seconds is a pause in typing.
    constexpr uint32_t kPauseMs = 5000;
    if (contact_->OwnTyping() == CContact::kTypingBegun && GetTick() - lastEdit_ >= kPauseMs)
        contact_->SetOwnTyping(CContact::kTypingPaused);
    if (!IsCurrent()) return;
    const CContact& c = *contact_;
    if (c.History().UnreadCount() > 0 || c.JustCameOnline() || c.Typing()) {
        blinkOn_ = !blinkOn_;
        Sync();
    }
}

bool ChatPage::WantsTicks() const {
    if (contact_->OwnTyping() == CContact::kTypingBegun) return true;
    // Rows read on the profile's writer thread are merged on a tick.
    if (load_->running.load() || load_->arrived.load()) return true;
    const CContact& c = *contact_;
    return IsCurrent() && (c.History().UnreadCount() > 0 || c.JustCameOnline() || c.Typing());
}

void ChatPage::AddedToHost() {
    dirty_.store(true);
    contact_->Redraw();  // the row shows the open-chat mark
}

void ChatPage::RemovedFromHost() {
    SetOpen(false);
    contact_->Redraw();
}

void ChatPage::Activated() {
    windowActive_ = Host() != nullptr && Host()->isActiveWindow();
    if (Host() != nullptr) emoji::EquipEditor(*Host()->Editor());
    SetOpen(true);
    if (Options().HistoryShowStatusChanges) history_.dbLoadWindowStatusChanges();
    // Events added while the page was not current did not report themselves.
    dirty_.store(true);
    Sync();
    if (scrollPending_.exchange(false)) ScrollToEndNow();
    if (history_.UnreadCount() > 0) {
        RemoveMessageNotification();
        history_.MarkAllRead();
        ScrollToEndNow();
    }
}

void ChatPage::Deactivated() {
    SetOpen(false);
}

bool ChatPage::LeftSoftKey(QString& label) {
    label = ResText(kTextContact);
    return true;
}

void ChatPage::FillMenuPopup(QMenu& menu, QAction* before) {
    const MenuResource resource = UiMenu(menuid::kHistoryView);
    const MenuNode* popup = resource.FindPopup(u"HistoryView");
    if (popup == nullptr) return;
    auto* view = new QMenu(ResText(kTextView), &menu);
    FillMenu(*view, *popup);
    const COptions& o = Options();
    MarkCheck(*view, chatcmd::kStatusChanges, o.HistoryShowStatusChanges != 0);
    MarkCheck(*view, chatcmd::kGroupMessages, o.HistoryGroupMessages != 0);
    MarkRadios(*view,
               {{chatcmd::kSizeLargest, 0},
                {chatcmd::kSizeLarger, 1},
                {chatcmd::kSizeMedium, 2},
                {chatcmd::kSizeSmaller, 3},
                {chatcmd::kSizeSmallest, 4}},
               o.HistoryTextSize);
    menu.insertMenu(before, view);
}

void ChatPage::FillLeftKeyPopup(QMenu& menu) {
    // A contact waiting for our authorisation gets the answers first, as in its menu.
    if (contact_->AuthAsked()) {
        AddMenuCommand(menu, ResText(kTextGrant), chatcmd::kGrantAuthorisation);
        AddMenuCommand(menu, ResText(kTextDeny), chatcmd::kDenyAuthorisation);
        menu.addSeparator();
    }
    AddMenuCommand(menu, ResText(kTextClose), chatcmd::kClose);
    menu.addSeparator();
    QAction* insert = AddMenuCommand(menu, ResText(emoji::kTextInsertEmoji), chatcmd::kInsertEmoji);
    insert->setEnabled(Host() != nullptr && Host()->EditorShown());
    menu.addSeparator();
    QAction* clear = AddMenuCommand(menu, ResText(kTextClear), chatcmd::kClearHistory);
    clear->setEnabled(!rows_.empty());
    AddMenuCommand(menu, ResText(kTextDetails), chatcmd::kDetails);
}

bool ChatPage::GoBack() {
    if (Host() == nullptr) return false;
    Host()->RemovePage(this, MainWindow::kSlideThenRemove, kContactsPageIndex);
    return true;
}

void ChatPage::EditorTextChanged(const QString& text) {
    // Our typing, for the contact's typing notices: begun while there is text, ended when it
    // is gone; SlowTick marks a pause.
    contact_->SetOwnTyping(text.isEmpty() ? CContact::kTypingEnded : CContact::kTypingBegun);
    lastEdit_ = GetTick();
}

bool ChatPage::EditorNotification(int code, const QString& text) {
    if (code != MessageEditor::kConfirm || text.isEmpty()) return false;
    contact_->SetOwnTyping(CContact::kTypingEnded);
    RemoveMessageNotification();
    history_.AddOutgoingMessage(text.toStdU16String());
    dirty_.store(true);
    scrollPending_.store(true);
    Sync();
    return true;
}

void ChatPage::AfterOptionChange() {
    Options().SaveAll();
    dirty_.store(true);
    layoutFrom_ = 0;
    Sync();
    ScrollToEndNow();
}

void ChatPage::ChangeLevel(int level) {
    if (Options().HistoryTextSize != level) {
        Options().HistoryTextSize = level;
        Options().SaveAll();
    }
    layoutFrom_ = 0;
    Relayout();
    ScrollToEndNow();
}

void ChatPage::Command(int id) {
    if (!IsCurrent()) return;
    COptions& o = Options();
    switch (id) {
        case chatcmd::kClose:
            GoBack();
            break;
        case chatcmd::kDetails:
            if (detailsOpener_) detailsOpener_(contact_);
            break;
        case chatcmd::kInsertEmoji:
            if (Host()->EditorShown()) emoji::EmojiPicker::Open(*Host()->Editor());
            break;
        case chatcmd::kGrantAuthorisation:
        case chatcmd::kDenyAuthorisation:
            // Sent by the account on its idle pass.
            contact_->RequestAuthAnswer(id == chatcmd::kGrantAuthorisation);
            contact_->SetAuthAsked(false);
            break;
        case chatcmd::kClearHistory:
            if (rows_.empty() || !ConfirmDeletion(Host(), kTextClearHistory)) break;
            if (history_.DeleteAllEvents_FromDB()) {
                dirty_.store(true);
                Sync();
            }
            break;
        case chatcmd::kStatusChanges:
            o.HistoryShowStatusChanges = o.HistoryShowStatusChanges != 0 ? 0 : 1;
            if (o.HistoryShowStatusChanges)
                history_.dbLoadWindowStatusChanges();
            else
                history_.DropStatusChanges();
            AfterOptionChange();
            break;
        case chatcmd::kGroupMessages:
            o.HistoryGroupMessages = o.HistoryGroupMessages != 0 ? 0 : 1;
            AfterOptionChange();
            break;
        case chatcmd::kSizeLargest:
            ChangeLevel(0);
            break;
        case chatcmd::kSizeLarger:
            ChangeLevel(1);
            break;
        case chatcmd::kSizeMedium:
            ChangeLevel(2);
            break;
        case chatcmd::kSizeSmaller:
            ChangeLevel(3);
            break;
        case chatcmd::kSizeSmallest:
            ChangeLevel(4);
            break;
        default:
            break;  // "Details" carries no action
    }
}

bool ChatPage::FillContextMenu(QMenu& menu) {
    auto* row = dynamic_cast<EventRow*>(FocusedItem());
    if (row == nullptr) return false;
    const MenuResource resource = UiMenu(menuid::kEventMenu);
    const MenuNode* popup = resource.FindPopup(u"EventMenu");
    if (popup == nullptr) return false;
    FillMenu(menu, *popup);
    if (QAction* again = FindMenuCommand(menu, chatcmd::kSendAgain))
        again->setEnabled(CanSendAgain(row->Event()));
    return true;
}

bool ChatPage::CanSendAgain(const CHistoryEvent& event) {
    return event.IsOutgoing() && event.IsMessage() && event.ErrorCode() != 0 &&
           !event.Message().empty();
}

QString ChatPage::StateText(const CHistoryEvent& event) {
    if (!event.IsOutgoing()) return ResText(kTextReceived);
    if (event.ErrorCode() != 0) return FailureText(event);
    if (event.Delivered() != 0) return ResText(kTextDelivered);
    if (event.Sent() != 0) return ResText(kTextNotDeliveredYet);
    return ResText(kTextWaitingToSend);
}

QString ChatPage::EventDetailsText(const CHistoryEvent& event) {
    const QString time = QString::fromStdU16String(event.TimeText(true));
    return ResText(kTextEventTime) + u' ' + time + u'\n' + StateText(event);
}

QString ChatPage::FailureText(const CHistoryEvent& event) {
    const int32_t error = event.ErrorCode();
    if (!event.IsOutgoing() || error == 0) return QString();
    if (error == kErrorUndelivered) return ResText(kTextTimedOut);
    // The server's codes: 0x04 recipient not signed on, 0x10 blocked by our own list, 0x02 and
    // 0x03 rate limits, 0x11 and 0x12 warning levels.
    int32_t code = error;
    if (error >= kErrorRefusedBase && error <= kErrorRefusedBase + 0xFFFF) {
        code = error - kErrorRefusedBase;
        switch (code) {
            case 0x04:
                return ResText(kTextRefusedOffline);
            case 0x10:
                return ResText(kTextRefusedBlocked);
            case 0x02:
            case 0x03:
                return ResText(kTextRefusedTooFast);
            case 0x11:
            case 0x12:
                return ResText(kTextRefusedWarned);
            default:
                break;
        }
    }
    return ResText(kTextNotDelivered).replace(QStringLiteral("%d"), QString::number(code));
}

void ChatPage::ContextCommand(int id) {
    auto* row = dynamic_cast<EventRow*>(FocusedItem());
    if (row == nullptr) return;
    const EventPtr event = row->Shared();
    switch (id) {
        case chatcmd::kCopy:
            if (QClipboard* clipboard = QGuiApplication::clipboard())
                clipboard->setText(QString::fromStdU16String(event->Message()));
            break;
        case chatcmd::kDelete:
            if (!ConfirmDeletion(Host(), kTextDeleteEvent)) break;
            if (history_.DeleteEvent_FromDB(event.get())) {
                dirty_.store(true);
                Sync();
            }
            break;
        case chatcmd::kSendAgain:
            // A new message with the same text; the failed one stays where it was.
            if (!CanSendAgain(*event)) break;
            history_.AddOutgoingMessage(event->Message());
            dirty_.store(true);
            scrollPending_.store(true);
            Sync();
            break;
        case chatcmd::kEventDetails:
            ShowInformation(Host(), kTextEventDetails, EventDetailsText(*event));
            break;
        default:
            break;
    }
}

}  // namespace zul
