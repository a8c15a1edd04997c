// Messaging (family 0x04): message parameters at sign-on, sending one outgoing message, and
// the SNACs of the running session: incoming messages (live and offline), server
// acknowledgements, typing notices, the end of the offline messages and the service's errors.
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/log.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "protocol/oscar.h"
#include "protocol/services/chat_links.h"
#include "protocol/services/families.h"
#include "protocol/services/message_parse.h"
#include "protocol/transport/packet.h"
#include "storage/contacts.h"
#include "storage/history.h"
#include "storage/status.h"

namespace zul {
namespace {

// The login of the service that sends the client its own system notices.
constexpr std::u16string_view kSystemSender = u"1004";

constexpr int kStrWarned = 1186;
constexpr int kStrNotWarned = 1187;

// While the user is away an AIM name that writes is answered once with the away message,
// marked as an automatic answer (never in answer to one, nor to a message kept offline).
void AnswerWhileAway(COscar& session, const std::u16string& login) {
    const int32_t status = session.Status();
    if (session.EffectiveType() != acctype::kAim || !IsAwayStatus(status)) return;
    const std::string to = ToUtf8(login);
    if (to.empty() || to.size() > 0xFF || !session.TakeAwayAnswer(login)) return;
    COscarPacket frame = COscarPacket::Snac(0x04, 0x06);
    AppendTextMessage(frame, Random32(), to, AwayText(status, session.StatusNote()), true);
    try {
        session.SendFrame(Link::Service, frame);
    } catch (const CError&) {
        // The session is ending: nobody is answered.
    }
}

void HandleIncomingMessage(COscar& session, const COscarPacket& frame) {
    if (session.Chat().HandleInvitation(frame)) return;
    std::optional<IncomingMessage> message = ParseIncomingMessage(frame.snacData());
    if (!message) {
        WriteLog(kGeneralLog, u"SNAC(0x04,0x07): message without readable text, not stored");
        return;
    }
    if (message->login == kSystemSender) return;
    const std::optional<event::Message> received = MessageEvent(*message);
    if (!received) {
        if (message->channel == 0x0001) {
            WriteLog(kGeneralLog, u"SNAC(0x04,0x07): empty message from " + message->login);
        }
        return;
    }
    session.Apply(*received);
    if (message->channel == 0x0001 && !message->autoResponse && !message->sentAt) {
        AnswerWhileAway(session, message->login);
    }
}

// The message a request id was sent with (its recipient's login and its number), taken out
// of the pending requests; nothing when the id is not a message's.
struct SentMessage {
    std::u16string login;
    uint32_t number = 0;
};

bool IsMessageRequest(const std::optional<PendingRequest>& request) {
    return request && request->kind == kPendingMessage && request->data.size() == 4;
}

std::optional<PendingRequest> FindRequest(COscar& session, uint32_t requestId) {
    if (requestId == 0 || requestId > 0xFFFF) return std::nullopt;
    return session.Pending().Find(static_cast<uint16_t>(requestId));
}

std::optional<SentMessage> TakeSentMessage(COscar& session, uint32_t requestId) {
    const std::optional<PendingRequest> request = FindRequest(session, requestId);
    if (!IsMessageRequest(request)) return std::nullopt;
    session.Pending().Remove(request->id);
    const std::vector<uint8_t>& n = request->data;
    return SentMessage{request->text, static_cast<uint32_t>(n[0]) << 24 |
                                          static_cast<uint32_t>(n[1]) << 16 |
                                          static_cast<uint32_t>(n[2]) << 8 | n[3]};
}

void HandleServerAck(COscar& session, const COscarPacket& frame) {
    std::optional<MessageAck> ack = ParseMessageAck(frame.snacData());
    if (!ack || ack->login.empty()) return;
    TakeSentMessage(session, frame.requestId());
    session.Apply(event::Delivery{
        .kind = event::Delivery::kDelivered, .login = ack->login, .number = ack->number});
}

void HandleEndOfOfflineMessages(COscar& session, const COscarPacket& frame) {
    const uint32_t id = frame.requestId();
    if (id != 0 && id <= 0xFFFF) session.Pending().Remove(static_cast<uint16_t>(id));
}

// SNAC(0x04,0x01): the server refused one of our requests. A refused message fails at once
// with the server's code; any other request (the offline messages) just ends.
void HandleServiceError(COscar& session, const COscarPacket& frame) {
    const ByteSpan body = frame.snacData();
    if (body.size() < 2) {
        WriteLog(kGeneralLog, u"SNAC(0x04,0x01) without an error code");
        // It cannot say what failed: a message keeps waiting.
        if (!IsMessageRequest(FindRequest(session, frame.requestId())))
            HandleEndOfOfflineMessages(session, frame);
        return;
    }
    const uint16_t code = static_cast<uint16_t>(body[0] << 8 | body[1]);
    WriteLogFormat(kGeneralLog, u"SNAC(0x04,0x01) ICQ_MSG_SRV_ERROR code 0x%X", code);
    if (const std::optional<PendingRequest> warning = FindRequest(session, frame.requestId());
        warning && warning->kind == kPendingWarning) {
        session.Pending().Remove(warning->id);
        session.SetStatusText(warning->text + u": " + FormatInt(ResString(kStrNotWarned), code));
        return;
    }
    const std::optional<SentMessage> sent = TakeSentMessage(session, frame.requestId());
    if (!sent) {
        HandleEndOfOfflineMessages(session, frame);
        return;
    }
    session.Apply(event::Delivery{.kind = event::Delivery::kRefused,
                                  .login = sent->login,
                                  .number = sent->number,
                                  .code = code});
}

void HandleTypingNotice(COscar& session, const COscarPacket& frame) {
    if (std::optional<event::Typing> typing = TypingEvent(frame.snacData())) session.Apply(*typing);
}

}  // namespace

void ReturnToOutbox(COscar& session, uint32_t requestId) {
    const std::optional<SentMessage> sent = TakeSentMessage(session, requestId);
    if (!sent) return;
    session.Apply(event::Delivery{
        .kind = event::Delivery::kUnsent, .login = sent->login, .number = sent->number});
}

void SetMessageParameters(COscar& session) {
    COscarPacket rights = COscarPacket::Snac(0x04, 0x04);
    session.SendFrame(Link::Service, rights);
    {
        COscarPacket reply;
        session.ReceiveReply(reply, 0x04, {0x05}, rights.requestId());
    }
    COscarPacket parameters = COscarPacket::Snac(0x04, 0x02);
    AppendMessageParameters(parameters);
    session.SendFrame(Link::Service, parameters);
}

bool SendTypingNotice(COscar& session, CContact* contact, int state) {
    if (contact == nullptr || state < 0 || state > 2) return false;
    const std::string login = ToUtf8(contact->Login());
    if (login.empty() || login.size() > 0xFF) return false;
    COscarPacket notice = COscarPacket::Snac(0x04, 0x14);
    AppendTypingNotice(notice, login, state);
    session.SendFrame(Link::Service, notice);
    return true;
}

void RequestOfflineMessagesAim(COscar& session) {
    const uint16_t id = session.Pending().Add(kPendingOfflineAim);
    COscarPacket offline = COscarPacket::Snac(0x04, 0x10, id);
    session.SendFrame(Link::Service, offline);
}

bool SendWarning(COscar& session, CContact* contact, bool anonymous) {
    if (contact == nullptr || session.Status() == kStatusOffline ||
        session.EffectiveType() != acctype::kAim)
        return false;
    const std::string login = ToUtf8(contact->Login());
    if (login.empty() || login.size() > 0xFF) return false;
    const uint16_t id = session.Pending().Add(kPendingWarning, contact->Login());
    COscarPacket frame = COscarPacket::Snac(0x04, 0x08, id);
    frame.AppendU16(anonymous ? 0x0001 : 0x0000);
    frame.AppendU8(static_cast<uint8_t>(login.size()));
    frame.AppendBytes(login);
    session.SendFrame(Link::Service, frame);
    return true;
}

// SNAC(0x04,0x09): the warning was taken; the warned user's level is now as given.
void HandleWarningReply(COscar& session, const COscarPacket& frame) {
    const std::optional<PendingRequest> request = FindRequest(session, frame.requestId());
    if (!request || request->kind != kPendingWarning) return;
    session.Pending().Remove(request->id);
    ByteReader r(frame.snacData());
    r.ReadU16();  // the increase
    const int level = r.ReadU16();
    session.SetStatusText(request->text + u": " + FormatInt(ResString(kStrWarned), level / 10));
}

bool SendMessage(COscar& session, CHistoryEvent* event) {
    if (event == nullptr || !event->IsOutgoing()) return false;
    const int32_t status = session.Status();
    if (status == kStatusOffline || event->Message().empty()) return false;
    const std::string login = ToUtf8(event->Contact().Login());
    if (login.empty() || login.size() > 0xFF) return false;

    // A request id of its own, so that a refusal names the message it refuses.
    const uint32_t number = static_cast<uint32_t>(event->Number());
    const uint16_t id = session.Pending().Add(
        kPendingMessage, event->Contact().Login(),
        {static_cast<uint8_t>(number >> 24), static_cast<uint8_t>(number >> 16),
         static_cast<uint8_t>(number >> 8), static_cast<uint8_t>(number)});
    COscarPacket frame = COscarPacket::Snac(0x04, 0x06, id);
    AppendTextMessage(frame, number, login, event->Message());
    session.SendFrame(Link::Service, frame);
    return true;
}

void HandleMessageFamily(COscar& session, COscarPacket& frame) {
    const uint16_t subtype = frame.subtype();
    switch (subtype) {
        case 0x01:
            HandleServiceError(session, frame);
            break;
        case 0x07:
            HandleIncomingMessage(session, frame);
            break;
        case 0x09:
            HandleWarningReply(session, frame);
            break;
        case 0x0A:
            break;
        case 0x0B:
            WriteLog(kGeneralLog, u"SNAC(0x04,0x0B) ICQ_MSG_RESPONSE");
            break;
        case 0x0C:
            HandleServerAck(session, frame);
            break;
        case 0x14:
            HandleTypingNotice(session, frame);
            break;
        case 0x17:
            HandleEndOfOfflineMessages(session, frame);
            break;
        default:
            WriteLogFormat(kGeneralLog, u"Unhandled SNAC(0x04,0x%X)", subtype);
            break;
    }
}

}  // namespace zul
