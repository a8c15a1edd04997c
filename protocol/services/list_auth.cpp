// Authorisation on the server-side list: the requests and answers exchanged with other
// users, and the notice that someone added the user to their list.
#include <optional>
#include <string>

#include "platform/resources.h"
#include "protocol/oscar.h"
#include "protocol/services/families.h"
#include "protocol/services/list_events.h"
#include "protocol/services/list_internal.h"
#include "protocol/services/snac_ids.h"
#include "protocol/transport/packet.h"
#include "storage/contacts.h"
#include "storage/status.h"

namespace zul {

using namespace snac::list;

namespace {
constexpr int kStrYouWereAdded = 1027;
}  // namespace

// Someone asks for authorisation: the account stores the request as their message.
void serverlist::HandleAuthRequest(COscar& session, const COscarPacket& frame) {
    if (std::optional<event::AuthorisationRequest> request =
            AuthorisationRequestEvent(frame.snacData())) {
        session.Apply(*request);
    }
}

// The answer to our request.
void serverlist::HandleAuthAnswer(COscar& session, const COscarPacket& frame) {
    if (std::optional<event::AuthorisationAnswer> answer =
            AuthorisationAnswerEvent(frame.snacData())) {
        session.Apply(*answer);
    }
}

// Someone added us to their list. The notice is laid out as a request is.
void serverlist::HandleYouWereAdded(COscar& session, const COscarPacket& frame) {
    if (std::optional<event::AuthorisationRequest> notice =
            AuthorisationRequestEvent(frame.snacData())) {
        session.Apply(event::Message{
            .login = notice->login, .status = kStatusOffline, .text = ResString(kStrYouWereAdded)});
    }
}

void SendAuthorisationRequest(COscar& session, const std::u16string& login,
                              const std::u16string& reason) {
    COscarPacket ask = COscarPacket::Snac(kFamily, kAuthAsk);
    AppendAuthorisationRequest(ask, {.login = login, .reason = reason});
    session.SendFrame(Link::Service, ask);
}

bool AskAuthorisation(COscar& session, CContact* contact, const std::u16string& reason) {
    if (contact == nullptr || contact->Removed()) return false;
    SendAuthorisationRequest(session, contact->Login(), reason);
    return true;
}

bool AnswerAuthorisation(COscar& session, CContact* contact, bool grant) {
    if (contact == nullptr || contact->Removed()) return false;
    COscarPacket answer = COscarPacket::Snac(kFamily, kAuthAnswer);
    AppendAuthorisationAnswer(answer, {.login = contact->Login(), .granted = grant});
    session.SendFrame(Link::Service, answer);
    return true;
}

}  // namespace zul
