// What the files of the chat page share: its text identifiers and the small rules of what is
// shown and how large.
#pragma once

#include <QString>
#include <algorithm>
#include <cstdint>

#include "storage/options.h"
#include "ui/notify/message_notification.h"
#include "ui/views/chat_page.h"

namespace zul::chat {

constexpr int kTextContact = 113;
constexpr int kTextSending = 118;
constexpr int kTextView = 120;
constexpr int kTextAfterLogin = 126;
constexpr int kTextDeleteEvent = 127;
constexpr int kTextClearHistory = 128;
constexpr int kTextNoMessages = 302;
constexpr int kTextClose = 13000;
constexpr int kTextDetails = 13001;
constexpr int kTextClear = 13002;
constexpr int kIconAwaitingAuth = 197;
constexpr int kContactsPageIndex = 1;
constexpr int kTextEventDetails = 315;
constexpr int kTextGrant = 313;
constexpr int kTextDeny = 314;
constexpr int kTextEventTime = 316;
constexpr int kTextReceived = 317;
constexpr int kTextWaitingToSend = 318;
constexpr int kTextNotDeliveredYet = 319;
constexpr int kTextDelivered = 320;
constexpr int kTextTimedOut = 321;
constexpr int kTextNotDelivered = 322;
constexpr int kTextRefusedOffline = 376;
constexpr int kTextRefusedBlocked = 377;
constexpr int kTextRefusedTooFast = 378;
constexpr int kTextRefusedWarned = 379;
constexpr int kTextToday = 390;
constexpr int kTextYesterday = 391;
// The error code of a message given up after waiting too long for its delivery.
constexpr int32_t kErrorUndelivered = 1;

inline int TextLevel() {
    return std::clamp<int32_t>(Options().HistoryTextSize, 0, 4);
}

inline bool IsShown(const CHistoryEvent& event, bool statusChanges) {
    return event.IsMessage() || (event.EventType() == evtype::kStatusChange && statusChanges);
}

inline bool HasLineBreakOrTab(const QString& text) {
    for (QChar c : text)
        if (c == u'\n' || c == u'\r' || c == u'\t' || c == QChar::LineSeparator ||
            c == QChar::ParagraphSeparator)
            return true;
    return false;
}

inline void RemoveMessageNotification() {
    if (MessageNotification* notification = MessageNotification::Instance())
        notification->RemoveNotification();
}

}  // namespace zul::chat
