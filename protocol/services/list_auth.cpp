// Authorisation on the server-side list: the requests and answers exchanged with other
// users, and the notice that someone added the user to their list.
#include <algorithm>
#include <optional>
#include <string>

#include "accounts/status.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "protocol/oscar.h"
#include "protocol/services/families.h"
#include "protocol/services/list_internal.h"
#include "protocol/services/snac_ids.h"
#include "protocol/transport/packet.h"
#include "storage/contacts.h"
#include "storage/history.h"

namespace zul {

using namespace serverlist;
using namespace snac::list;

namespace {

constexpr int kStrAuthGranted = 1025;
constexpr int kStrAuthDenied = 1026;
constexpr int kStrYouWereAdded = 1027;
constexpr int kStrAuthAsked = 1043;

// The body of an authorisation SNAC: the login, for an answer the accept byte, the reason.
// Servers send it plain; some put eight bytes before it. The plain reading is taken when it
// accounts for the whole body (a trailing word aside).
struct AuthBody {
    std::u16string login, reason;
    bool accepted = false;
};

std::optional<AuthBody> ParseAuthBody(ByteSpan data, bool withAnswer) {
    for (size_t skip : {size_t{0}, size_t{8}}) {
        ByteReader reader(data);
        reader.Skip(skip);
        const ByteSpan login = reader.ReadBytes(reader.ReadU8());
        const uint8_t answer = withAnswer ? reader.ReadU8() : 0;
        const ByteSpan reason = reader.ReadBytes(reader.ReadU16());
        if (!reader.ok() || login.empty() || reader.Remaining() > 2) continue;
        AuthBody body;
        body.login = CountedUtf8ToWide(login.data(), login.size());
        body.reason = CountedUtf8ToWide(reason.data(), reason.size());
        body.accepted = answer != 0;
        if (!IsUsableLogin(body.login)) continue;
        return body;
    }
    return std::nullopt;
}

}  // namespace

// SNAC(0x13,0x19): someone asks for authorisation. The request and its reason are stored as
// their message, and the contact carries the question until the user grants or denies it.
void serverlist::HandleAuthRequest(COscar& session, const COscarPacket& frame) {
    const std::optional<AuthBody> body = ParseAuthBody(frame.snacData(), false);
    if (!body) return;
    std::u16string text = ResString(kStrAuthAsked);
    if (!body->reason.empty()) text += u" " + body->reason;
    // The contact carries the question before its message tells of it, so that the message's
    // notification offers the answers.
    const ContactPtr contact = session.SenderContact(body->login, kStatusOffline);
    if (!contact) return;
    contact->SetAuthAsked(true);
    contact->AddMessage(evdir::kIncoming, text, 0, contact->Status(), contact->Mood());
    contact->Redraw();
}

// SNAC(0x13,0x1B): the answer to our request. Granted clears the awaiting mark; either way
// the chat says so.
void serverlist::HandleAuthAnswer(COscar& session, const COscarPacket& frame) {
    const std::optional<AuthBody> body = ParseAuthBody(frame.snacData(), true);
    if (!body) return;
    ContactPtr contact = session.Contacts().FindContact(&session, body->login);
    if (!contact) return;
    if (body->accepted && contact->AwaitingAuth()) {
        contact->SetAwaitingAuth(0);
        contact->dbSave();
    }
    std::u16string text = ResString(body->accepted ? kStrAuthGranted : kStrAuthDenied);
    if (!body->reason.empty()) text += u" " + body->reason;
    contact->AddMessage(evdir::kIncoming, text, 0, contact->Status(), contact->Mood());
}

// SNAC(0x13,0x1C): someone added us to their list.
void serverlist::HandleYouWereAdded(COscar& session, const COscarPacket& frame) {
    const std::optional<AuthBody> body = ParseAuthBody(frame.snacData(), false);
    if (body) {
        session.Apply(event::Message{
            .login = body->login, .status = kStatusOffline, .text = ResString(kStrYouWereAdded)});
    }
}

void SendAuthorisationRequest(COscar& session, const std::u16string& login,
                              const std::u16string& reason) {
    const std::string name = ToUtf8(login).substr(0, 0xFF);
    const std::string text = ToUtf8(reason).substr(0, 0xFFFF);
    COscarPacket ask = COscarPacket::Snac(kFamily, kAuthAsk);
    ask.AppendU8(static_cast<uint8_t>(name.size()));
    ask.AppendBytes(name);
    ask.AppendU16(static_cast<uint16_t>(text.size()));
    ask.AppendBytes(text);
    ask.AppendU16(0x0000);
    session.SendFrame(Link::Service, ask);
}

bool AskAuthorisation(COscar& session, CContact* contact, const std::u16string& reason) {
    if (contact == nullptr || contact->Removed()) return false;
    SendAuthorisationRequest(session, contact->Login(), reason);
    return true;
}

bool AnswerAuthorisation(COscar& session, CContact* contact, bool grant) {
    if (contact == nullptr || contact->Removed()) return false;
    const std::string login = ToUtf8(contact->Login());
    COscarPacket answer = COscarPacket::Snac(kFamily, kAuthAnswer);
    answer.AppendU8(static_cast<uint8_t>(std::min<size_t>(login.size(), 0xFF)));
    answer.AppendBytes(std::string_view(login).substr(0, 0xFF));
    answer.AppendU8(grant ? 0x01 : 0x00);
    answer.AppendU16(0x0000);  // no reason
    session.SendFrame(Link::Service, answer);
    return true;
}

}  // namespace zul
