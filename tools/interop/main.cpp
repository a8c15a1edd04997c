// zul-interop: signs two accounts of the client's core on to a live OSCAR server whose lists
// hold each other, and checks step by step that they reach each other: sign-on, the server
// list, presence, messages both ways, away, an offline message and a buddy icon. Prints one
// line per step (PASS, FAIL or SKIP) and a count; diagnostics go to stderr.
//
// Both accounts live in this one process on one temporary profile (the profile database is a
// process-wide singleton), with one contact store. The profile folder is kept: it holds the
// database log and one wire trace per account (wire-a.log, wire-b.log).
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/paths.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "platform/tls.h"
#include "protocol/oscar.h"
#include "protocol/services/chat_wire.h"
#include "storage/contacts.h"
#include "storage/database.h"
#include "storage/history.h"
#include "storage/options.h"
#include "storage/status.h"
#include "tools/interop/arguments.h"
#include "tools/interop/wire_tap.h"

namespace zul::interop {
namespace {

using namespace std::chrono_literals;
using Seconds = std::chrono::seconds;

constexpr Seconds kStepTimeout = 20s;
// Pictures come over a second connection, requested on an idle pass of the session.
constexpr Seconds kPictureTimeout = 30s;

enum class Outcome { kPass, kFail, kSkip };
struct Result {
    Outcome outcome;
    std::string why;
};
Result Pass() {
    return {Outcome::kPass, {}};
}
Result Fail(std::string why) {
    return {Outcome::kFail, std::move(why)};
}
Result Skip(std::string why) {
    return {Outcome::kSkip, std::move(why)};
}

bool WaitFor(const std::function<bool()>& condition, Seconds timeout = kStepTimeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return condition();
}

bool IsIcqNumber(const std::string& login) {
    return login.find_first_not_of("0123456789") == std::string::npos;
}

std::string Quote(const std::u16string& text) {
    std::string quoted(1, '\'');
    quoted += ToUtf8(text);
    quoted += '\'';
    return quoted;
}

// One account of the run.
struct Side {
    int id;
    std::string name;  // "A" or "B"
    Credentials credentials;
    std::unique_ptr<COscar> account;

    bool Online() const { return account->Status() != kStatusOffline; }
    std::string StatusText() const { return Quote(account->StatusText()); }
    std::string Wire(size_t mark, const RecordFilter& filter = {}) const {
        return "wire " + name + ": " + Summarize(WireTap::Instance().Since(mark, id), filter);
    }
};

// The row of an outgoing message as the profile holds it.
struct OutgoingRow {
    int sent = 0, delivered = 0, error = 0;
};

OutgoingRow ReadOutgoingRow(const CContact& contact, const CHistoryEvent& event) {
    std::lock_guard lock(Database().Mutex());
    CppSQLite3Command read = Database().Prepare(
        u"SELECT Sent,Delivered,ErrorCode FROM History WHERE AccID=? AND ContactID=? AND "
        u"Number=? AND Direction=1");
    read.BindInt(1, contact.AccountID());
    read.BindInt(2, contact.LocalID());
    read.BindInt(3, event.Number());
    CppSQLite3ResultSet rows = Database().ExecuteQuery(read);
    OutgoingRow row;
    if (!rows.IsEnd()) row = {rows.IntColumn(0), rows.IntColumn(1), rows.IntColumn(2)};
    rows.Finalize();
    read.Finalize();
    return row;
}

// An incoming message stored for an account, with the login of the contact it was stored for.
struct Arrival {
    std::u16string text, from;
};

// The messages stored for an account holding `token`: received (direction 0) or sent (1).
std::vector<Arrival> ReadArrivals(int accountId, const std::u16string& token, int direction = 0) {
    std::lock_guard lock(Database().Mutex());
    CppSQLite3Command read = Database().Prepare(
        u"SELECT H.Message,C.Login FROM History H JOIN Contacts C ON C.LocalID=H.ContactID "
        u"WHERE H.AccID=? AND H.Direction=? AND H.EventType IN (2,3) AND instr(H.Message,?)>0");
    read.BindInt(1, accountId);
    read.BindInt(2, direction);
    read.BindText(3, token);
    CppSQLite3ResultSet rows = Database().ExecuteQuery(read);
    std::vector<Arrival> arrivals;
    for (; !rows.IsEnd(); rows.Next()) arrivals.push_back({rows.TextColumn(0), rows.TextColumn(1)});
    rows.Finalize();
    read.Finalize();
    return arrivals;
}

int StoredPictureBytes(const CContact& contact) {
    std::lock_guard lock(Database().Mutex());
    CppSQLite3Command read =
        Database().Prepare(u"SELECT length(Avatar) FROM Contacts WHERE LocalID=?");
    read.BindInt(1, contact.LocalID());
    return Database().ExecuteScalar(read);
}

// For a step's length the accounts reconnect by themselves, as users have it (the other
// steps keep a failed sign-on failed, to show its error).
struct ReconnectAsUsersHaveIt {
    ReconnectAsUsersHaveIt() { Options().ReconnectOnError = 1; }
    ~ReconnectAsUsersHaveIt() { Options().ReconnectOnError = 0; }
    ReconnectAsUsersHaveIt(const ReconnectAsUsersHaveIt&) = delete;
    ReconnectAsUsersHaveIt& operator=(const ReconnectAsUsersHaveIt&) = delete;
};

class Driver {
  public:
    Driver(const Arguments& arguments, const std::string& folder);
    ~Driver();
    int Run();

  private:
    Result SignOn(Side& side);
    Result ServerList(Side& owner, const Side& other);
    Result SeesOnline(Side& owner, const Side& other);
    Result Message(Side& from, Side& to);
    Result Typing();
    Result Away();
    Result OfflineMessage();
    Result Picture();
    Result RenameContact();
    Result AddContact();
    Result Authorisation();
    Result MoveContact();
    Result Details();
    Result StatusNote();
    Result Profile();
    Result AwayMessage();
    Result Warning();
    Result Search();
    Result RenameGroup();
    Result ServerRestart();
    Result OwnPicture();
    Result TwoPlaces();
    Result ChatRoom();
    Result Elsewhere();
    // Signs A off and on again; false (with the reason in *why) when it does not come back.
    bool SignOnAgain(std::string* why);
    // Signs A off and waits until its session has ended and, where B lists A and is on, until
    // B is told: a sign-on that follows then meets a server that has finished with the last.
    void SignOffA();

    std::unique_ptr<COscar> MakeAccount(int id, const Credentials& credentials);
    // The contact of `owner` for `other`'s login, case and spaces aside.
    ContactPtr Listed(const Side& owner, const Side& other) const;
    // The listed contact, or a new one outside the list so that a message can still be sent.
    ContactPtr ContactFor(Side& owner, const Side& other);
    // A message text never sent before, and the unique part that finds it again.
    struct Probe {
        std::u16string token, text;
    };
    Probe UniqueText(const std::string& what);
    // What went wrong with a message, or "" when it arrived exactly and its row is sent and
    // delivered (`needDelivered` false: sent is enough).
    std::string MessageProblem(const Side& from, const Side& to, const std::u16string& text,
                               const std::vector<Arrival>& arrivals, const OutgoingRow& row,
                               bool needDelivered) const;

    const Arguments arguments_;
    const std::string folder_;
    std::mt19937 random_{std::random_device{}()};
    CContacts contacts_;
    Side a_, b_;
};

Driver::Driver(const Arguments& arguments, const std::string& folder)
    : arguments_(arguments),
      folder_(folder),
      a_{1, "A", arguments.a, nullptr},
      b_{2, "B", arguments.b, nullptr} {
    a_.account = MakeAccount(a_.id, a_.credentials);
    b_.account = MakeAccount(b_.id, b_.credentials);
    WireTap& tap = WireTap::Instance();
    tap.SetTraceFile(a_.id, folder_ + "wire-a.log");
    tap.SetTraceFile(b_.id, folder_ + "wire-b.log");
    // A socket is attributed when it connects, on the session thread that made it and stored
    // it in its account; the other account's handles are read as they are at that moment.
    tap.SetOwnerLookup([this](int socket, std::string& link) {
        for (Side* side : {&a_, &b_}) {
            for (Link l : {Link::Service, Link::Avatar}) {
                if (side->account->Socket(l) == socket) {
                    link = l == Link::Service ? "service" : "avatar";
                    return side->id;
                }
            }
        }
        return 0;
    });
}

Driver::~Driver() {
    WireTap::Instance().SetOwnerLookup({});
    for (Side* side : {&a_, &b_}) {
        side->account->Disconnect(false);
        contacts_.RemoveAccount(side->id);
        side->account.reset();
    }
}

std::unique_ptr<COscar> Driver::MakeAccount(int id, const Credentials& credentials) {
    CAccountData data;
    data.SetID(id);
    data.SetType(IsIcqNumber(credentials.login) ? acctype::kIcq : acctype::kAim);
    data.SetLogin(FromUtf8(credentials.login));
    data.SetPassword(FromUtf8(credentials.password));
    data.SetServer(FromUtf8(arguments_.host));
    data.SetPort(FromUtf8(arguments_.port));
    data.SetDescription(id == 1 ? u"Interop A" : u"Interop B");
    data.SetSecureLogin(arguments_.md5 ? 1 : 0);
    data.SetUseTls(arguments_.tls);
    data.SetEnabled(1);
    auto account = std::make_unique<COscar>(data, contacts_, folder_);
    account->dbSave();
    account->LoadContacts();
    return account;
}

ContactPtr Driver::Listed(const Side& owner, const Side& other) const {
    const std::string wanted = FoldScreenName(other.credentials.login);
    for (const ContactPtr& contact : contacts_.ContactsOf(owner.account.get())) {
        if (FoldScreenName(ToUtf8(contact->Login())) == wanted) return contact;
    }
    return nullptr;
}

ContactPtr Driver::ContactFor(Side& owner, const Side& other) {
    if (ContactPtr contact = Listed(owner, other)) return contact;
    return contacts_.AddNewLocalContact(owner.account.get(),
                                        ContactFields{.login = FromUtf8(other.credentials.login)},
                                        true, false);
}

Driver::Probe Driver::UniqueText(const std::string& what) {
    char number[16];
    std::snprintf(number, sizeof number, "%08x", static_cast<unsigned>(random_()));
    const std::u16string token = FromUtf8("zul interop " + what + " " + number);
    // A word beyond ASCII: the text must arrive exactly, whatever encoding carries it.
    return {token, token + u" Grüße"};
}

std::string Driver::MessageProblem(const Side& from, const Side& to, const std::u16string& text,
                                   const std::vector<Arrival>& arrivals, const OutgoingRow& row,
                                   bool needDelivered) const {
    std::string problem;
    auto add = [&](const std::string& part) { problem += (problem.empty() ? "" : "; ") + part; };
    const Arrival* exact = nullptr;
    for (const Arrival& arrival : arrivals) {
        if (arrival.text == text) exact = &arrival;
    }
    if (arrivals.empty()) {
        add("the text did not reach " + to.name);
    } else if (!exact) {
        add(to.name + " got " + Quote(arrivals.front().text) + " instead of " + Quote(text));
    } else if (FoldScreenName(ToUtf8(exact->from)) != FoldScreenName(from.credentials.login)) {
        add(to.name + " stored it for a contact " + Quote(exact->from) + ", not for " +
            from.credentials.login);
    }
    if (row.sent != 1) {
        add("the sender's row is not marked sent");
    } else if (needDelivered && row.delivered != 1) {
        add("the sender's row is sent but not delivered");
    }
    // A message to someone signed off may be refused as "not signed on" by a server that
    // still keeps it for later; the chat says both.
    const bool keptThoughRefused = !needDelivered && row.error == kErrorRefusedBase + 0x04;
    if (row.error != 0 && !keptThoughRefused)
        add("the sender's row has error " + std::to_string(row.error));
    return problem;
}

// --- steps -----------------------------------------------------------------------------------

Result Driver::SignOn(Side& side) {
    COscar& account = *side.account;
    if (arguments_.tls) {
        // The first certificate the server presents is trusted, as the user's "Trust" would.
        WaitFor([&] {
            return account.Status() == kStatusAvailable || account.HasCertificateQuestion();
        });
        const CAccount::CertificateQuestion question = account.TakeCertificateQuestion();
        if (!question.certificate.Empty()) {
            std::fprintf(stderr, "interop: %s trusts the certificate %s (%s)\n", side.name.c_str(),
                         question.certificate.sha256.c_str(), question.certificate.subject.c_str());
            account.TrustCertificate(question.certificate.sha256);
            account.RequestStatus(kStatusAvailable);
        }
    }
    if (WaitFor([&] { return account.Status() == kStatusAvailable; })) {
        if (arguments_.tls && !IsTls(account.Socket(Link::Service))) {
            return Fail("signed on, but the service connection carries no TLS");
        }
        return Pass();
    }
    return Fail("status " + std::to_string(side.account->Status()) + ", the client shows " +
                side.StatusText() + "; " + side.Wire(0));
}

Result Driver::ServerList(Side& owner, const Side& other) {
    ContactPtr contact;
    const bool found = WaitFor(
        [&] {
            contact = Listed(owner, other);
            return contact && contact->OnServer();
        },
        owner.Online() ? kStepTimeout : 0s);
    if (found) return Pass();
    std::string why = contact
                          ? other.credentials.login + " is known but not marked on the server"
                          : "no contact " + other.credentials.login + " among " +
                                std::to_string(contacts_.ContactsOf(owner.account.get()).size()) +
                                " contacts";
    if (!owner.Online()) why += " (" + owner.name + " is not signed on)";
    return Fail(why + "; " + owner.Wire(0, Families({0x13})));
}

Result Driver::SeesOnline(Side& owner, const Side& other) {
    if (!owner.Online()) return Fail(owner.name + " is not signed on");
    ContactPtr contact;
    const bool online = WaitFor([&] {
        contact = Listed(owner, other);
        return contact && contact->Status() != kStatusOffline;
    });
    if (online) return Pass();
    std::string why = contact ? owner.name + " sees " + other.name + " offline"
                              : other.credentials.login + " is not on " + owner.name + "'s list";
    if (!other.Online()) why += " (" + other.name + " is not signed on)";
    return Fail(why + "; " + owner.Wire(0, Families({0x03})));
}

Result Driver::Message(Side& from, Side& to) {
    if (!from.Online()) return Fail(from.name + " is not signed on");
    const size_t mark = WireTap::Instance().Mark();
    ContactPtr contact = ContactFor(from, to);
    if (!contact) return Fail("the profile took no contact for " + to.credentials.login);
    const auto [token, text] = UniqueText(from.name + " to " + to.name);
    EventPtr event = contact->History().AddOutgoingMessage(text);
    if (!event) return Fail("the history took no outgoing message");
    std::fprintf(stderr, "interop: %s sends %s\n", from.name.c_str(), Quote(text).c_str());

    std::string problem;
    WaitFor([&] {
        problem = MessageProblem(from, to, text, ReadArrivals(to.id, token),
                                 ReadOutgoingRow(*contact, *event), true);
        return problem.empty();
    });
    if (problem.empty()) return Pass();
    return Fail(problem + "; " + from.Wire(mark, Families({0x04})) + "; " +
                to.Wire(mark, Families({0x04})));
}

Result Driver::Typing() {
    if (!a_.Online() || !b_.Online()) return Fail("A and B are not both signed on");
    const size_t mark = WireTap::Instance().Mark();
    ContactPtr toB = ContactFor(a_, b_);
    if (!toB) return Fail("the profile took no contact for " + b_.credentials.login);
    toB->SetOwnTyping(CContact::kTypingBegun);
    ContactPtr seen;
    const bool begun = WaitFor([&] {
        seen = Listed(b_, a_);
        return seen && seen->Typing();
    });
    toB->SetOwnTyping(CContact::kTypingEnded);
    if (!begun) {
        // A server that never passes a typing notice on is no fault of the client's.
        bool sent = false, arrived = false;
        for (const FrameRecord& r : WireTap::Instance().Since(mark, a_.id))
            sent = sent || (!r.incoming && r.family == 0x04 && r.subtype == 0x14);
        for (const FrameRecord& r : WireTap::Instance().Since(mark, b_.id))
            arrived = arrived || (r.incoming && r.family == 0x04 && r.subtype == 0x14);
        if (sent && !arrived) {
            return Skip("the server passed no typing notice on (" +
                        a_.Wire(mark, Families({0x04})) + ")");
        }
        return Fail(std::string(seen ? "B never saw A typing" : "A is not on B's list") + "; " +
                    a_.Wire(mark, Families({0x04})) + "; " + b_.Wire(mark, Families({0x04})));
    }
    if (WaitFor([&] { return !seen->Typing(); })) return Pass();
    return Fail("B still sees A typing after A stopped; " + b_.Wire(mark, Families({0x04})));
}

// B sets a profile; A reads it in B's details. B clears it again.
Result Driver::Profile() {
    if (!a_.Online() || !b_.Online()) return Fail("A and B are not both signed on");
    const std::u16string token = UniqueText("profile").token;
    b_.account->ChangeProfile(u"zul profile <" + token + u">\nsecond line");
    const std::u16string login = FromUtf8(b_.credentials.login);
    ContactDetails details;
    const bool seen = WaitFor([&] {
        details = a_.account->DetailsOf(login);
        if (details.profile.find(u"<" + token + u">") != std::u16string::npos) return true;
        if (!details.Loading()) a_.account->RequestContactDetails(login);
        return false;
    });
    b_.account->ChangeProfile(u"");
    if (seen) return Pass();
    return Fail("A read B's profile as " + Quote(details.profile) + " (" + ToUtf8(details.error) +
                "); " + b_.Wire(0, Families({0x02})) + "; " + a_.Wire(0, Families({0x02})));
}

// B goes away with a note: A's contact for B shows it as B's status text, and B's name as the
// server formats it. A writes twice and gets one automatic answer carrying the note, shown as
// such. B comes back, and the note goes from A's list.
Result Driver::AwayMessage() {
    if (!a_.Online() || !b_.Online()) return Fail("A and B are not both signed on");
    if (IsIcqNumber(b_.credentials.login))
        return Skip("ICQ numbers answer no messages by themselves");
    const std::u16string note = u"zul away " + UniqueText("away").token;
    b_.account->ChangeStatusNote(note);
    b_.account->RequestStatus(kStatusAway);
    const auto back = [&](Result result) {
        b_.account->ChangeStatusNote(u"");
        b_.account->RequestStatus(kStatusAvailable);
        return result;
    };
    if (!WaitFor([&] { return b_.account->Status() == kStatusAway; })) {
        return back(Fail("B did not go away: " + b_.StatusText()));
    }
    ContactPtr toB = ContactFor(a_, b_);
    if (!toB) return back(Fail("the profile took no contact for " + b_.credentials.login));
    if (!WaitFor([&] { return toB->StatusText() == note; })) {
        if (toB->Status() != kStatusAway) {
            return back(Skip("the server never told A that B went away (B shows as " +
                             Quote(toB->StatusText().empty() ? u"no text" : toB->StatusText()) +
                             ", status " + std::to_string(toB->Status()) + ")"));
        }
        return back(Fail("A shows B's status text as " + Quote(toB->StatusText()) + "; " +
                         a_.Wire(0, Families({0x02, 0x03}))));
    }
    // B's own session and A's list know B by the same formatted name.
    const std::u16string ownName = b_.account->OwnerNick();
    const std::u16string listed =
        toB->FormattedName().empty() ? toB->Login() : toB->FormattedName();
    std::fprintf(stderr,
                 "interop: B is %s to itself (login %s); A lists B as %s (login %s, formatted "
                 "%s), shown as %s; A is %s to itself\n",
                 Quote(ownName).c_str(), Quote(b_.account->Login()).c_str(), Quote(listed).c_str(),
                 Quote(toB->Login()).c_str(), Quote(toB->FormattedName()).c_str(),
                 Quote(toB->DisplayName()).c_str(), Quote(a_.account->OwnerNick()).c_str());
    if (listed != ownName || !SameLogin(ownName, b_.account->Login())) {
        return back(
            Fail("A knows B as " + Quote(listed) + ", B's server names B " + Quote(ownName)));
    }
    const size_t mark = WireTap::Instance().Mark();
    toB->History().AddOutgoingMessage(UniqueText("to the away B").text);
    toB->History().AddOutgoingMessage(UniqueText("to the away B again").text);
    const bool answered = WaitFor([&] { return !ReadArrivals(a_.id, note).empty(); });
    std::this_thread::sleep_for(3s);
    const std::vector<Arrival> answers = ReadArrivals(a_.id, note);
    if (!answered) {
        return back(Fail("A got no automatic answer; " + b_.Wire(mark, Families({0x04})) + "; " +
                         a_.Wire(mark, Families({0x04}))));
    }
    if (answers.size() != 1) {
        return back(Fail("A got " + std::to_string(answers.size()) + " automatic answers"));
    }
    if (answers[0].text.rfind(u"[Auto-response] ", 0) != 0) {
        // B marked it (TLV 0x0004); a server that rebuilds messages may drop the mark.
        return back(
            Skip("one answer came, but the server passed it on without its automatic "
                 "mark: " +
                 Quote(answers[0].text)));
    }
    back(Pass());
    if (!WaitFor([&] { return toB->Status() == kStatusAvailable && toB->StatusText().empty(); }))
        return Fail("B came back, but A shows B's status text as " + Quote(toB->StatusText()));
    return Pass();
}

// A warns B anonymously: A is told B's new level, and B's own level rises.
Result Driver::Warning() {
    if (!a_.Online() || !b_.Online()) return Fail("A and B are not both signed on");
    if (IsIcqNumber(b_.credentials.login)) return Skip("ICQ numbers cannot be warned");
    ContactPtr contact = Listed(a_, b_);
    if (!contact) return Fail("B is not on A's list");
    const int before = b_.account->WarningLevel();
    const size_t mark = WireTap::Instance().Mark();
    if (!a_.account->WarnContact(contact.get(), true)) return Fail("A could not send a warning");
    const bool told = WaitFor([&] {
        return a_.account->StatusText().find(u"warning level is now") != std::u16string::npos;
    });
    const bool risen = WaitFor([&] { return b_.account->WarningLevel() > before; }, 5s);
    if (told && risen) return Pass();
    if (!told && !risen && a_.account->StatusText().find(u"warn") == std::u16string::npos) {
        return Skip("the server neither answered the warning nor raised B's level (wire A: " +
                    Summarize(WireTap::Instance().Since(mark, a_.id), Families({0x04})) + ")");
    }
    return Fail("A shows " + a_.StatusText() + ", B's level " + std::to_string(before) + " -> " +
                std::to_string(b_.account->WarningLevel()) + "; " +
                a_.Wire(mark, Families({0x04})) + "; " + b_.Wire(mark, Families({0x01})));
}

Result Driver::Away() {
    if (!a_.Online()) return Fail("A is not signed on");
    const size_t mark = WireTap::Instance().Mark();
    a_.account->RequestStatus(kStatusAway);
    // ICQ's away status, and AIM's away (a status word or the user-class flag), both read as
    // kStatusAway on the other side.
    ContactPtr seen;
    const bool ok = WaitFor([&] {
        seen = Listed(b_, a_);
        return a_.account->Status() == kStatusAway && seen && seen->Status() == kStatusAway;
    });
    if (ok) return Pass();
    const int type = a_.account->EffectiveType();
    std::string why = "A's own status is " + ToUtf8(StatusName(type, a_.account->Status()));
    if (!seen) {
        why += ", A is not on B's list";
    } else {
        why += ", B sees A as " + (seen->Status() == kStatusOffline
                                       ? std::string("offline")
                                       : ToUtf8(StatusName(type, seen->Status())));
    }
    return Fail(why + "; " + a_.Wire(mark, Families({0x01, 0x02, 0x13})) + "; " +
                b_.Wire(mark, Families({0x03})));
}

Result Driver::OfflineMessage() {
    if (!a_.Online()) return Fail("A is not signed on");
    if (!b_.Online()) return Fail("B is not signed on, so it cannot come back");
    ContactPtr contact = ContactFor(a_, b_);
    if (!contact) return Fail("the profile took no contact for " + b_.credentials.login);
    b_.account->Disconnect(true);
    if (!WaitFor([&] { return contact->Status() == kStatusOffline; }, 10s)) {
        std::fprintf(stderr, "interop: A still sees B online after B signed off\n");
    }

    const size_t mark = WireTap::Instance().Mark();
    const auto [token, text] = UniqueText("offline A to B");
    EventPtr event = contact->History().AddOutgoingMessage(text);
    if (!event) return Fail("the history took no outgoing message");
    std::fprintf(stderr, "interop: A sends %s while B is offline\n", Quote(text).c_str());
    if (!WaitFor([&] { return event->Sent() == 1; })) {
        return Fail("A never sent the message; " + a_.Wire(mark, Families({0x04})));
    }
    std::this_thread::sleep_for(1s);  // the server has stored it before B comes back

    const size_t back = WireTap::Instance().Mark();
    b_.account->RequestStatus(kStatusAvailable);
    if (!WaitFor([&] { return b_.account->Status() == kStatusAvailable; })) {
        return Fail("B did not sign on again, the client shows " + b_.StatusText());
    }
    std::string problem;
    WaitFor([&] {
        problem = MessageProblem(a_, b_, text, ReadArrivals(b_.id, token),
                                 ReadOutgoingRow(*contact, *event), false);
        return problem.empty();
    });
    if (problem.empty()) return Pass();

    // An AIM screen name fetches what waited with 0x04/0x10; a server that refuses that
    // request, or never answers it, keeps no offline messages for it.
    const std::vector<FrameRecord> fetch = WireTap::Instance().Since(back, b_.id);
    bool asked = false, answered = false;
    for (const FrameRecord& r : fetch) {
        if (r.family != 0x04) continue;
        asked = asked || (!r.incoming && r.subtype == 0x10);
        answered = answered || (r.incoming && (r.subtype == 0x17 || r.subtype == 0x07));
    }
    const std::string wire =
        a_.Wire(mark, Families({0x04})) + "; " + b_.Wire(back, Families({0x04, 0x15}));
    if (!IsIcqNumber(b_.credentials.login) && asked && !answered) {
        if (event->ErrorCode() != kErrorRefusedBase + 0x04) {
            return Fail(
                "the server kept no offline message for B, yet A's chat does not say "
                "it was refused (error " +
                std::to_string(event->ErrorCode()) + "); " + wire);
        }
        return Skip("the server gave B no offline messages and refused A's at once (" + wire + ")");
    }
    return Fail("after B signed on again, " + problem + "; " + wire);
}

// A signs on from a second client while the first stays on: a message from B reaches both,
// and one sent from the first is shown in the second as sent (where the server tells the
// account's other places); both stay on for 30 s. A server that keeps one session per account
// signs the first off: SKIP, and A signs on again.
Result Driver::TwoPlaces() {
    if (!a_.Online() || !b_.Online()) return Fail("A and B are not both signed on");
    Side second{3, "A2", a_.credentials, MakeAccount(3, a_.credentials)};
    const auto release = [&] {
        second.account->Disconnect(false);
        contacts_.RemoveAccount(second.id);
        second.account.reset();
    };
    // The step before changed statuses; one server here ends itself when a connection that
    // has not yet named its account arrives while it still tells others of such a change.
    std::this_thread::sleep_for(1s);
    second.account->RequestStatus(kStatusAvailable);
    if (!WaitFor([&] { return second.account->Status() == kStatusAvailable; })) {
        const std::string why = "A's second client did not sign on: " + second.StatusText();
        release();
        return Fail(why);
    }
    std::this_thread::sleep_for(3s);
    if (!a_.Online()) {
        const std::string why =
            "the server keeps one session per account: A's first client "
            "was signed off (" +
            a_.StatusText() + ")";
        release();
        a_.account->RequestStatus(kStatusAvailable);
        WaitFor([&] { return a_.account->Status() == kStatusAvailable; });
        return Skip(why);
    }

    ContactPtr toA = ContactFor(b_, a_);
    if (!toA) {
        release();
        return Fail("the profile took no contact for " + a_.credentials.login);
    }
    const auto [token, text] = UniqueText("B to both places of A");
    toA->History().AddOutgoingMessage(text);
    const bool both = WaitFor([&, token = token] {
        return !ReadArrivals(a_.id, token).empty() && !ReadArrivals(second.id, token).empty();
    });
    if (!both) {
        const bool first = !ReadArrivals(a_.id, token).empty();
        const bool other = !ReadArrivals(second.id, token).empty();
        release();
        if (!first && !other) return Fail("B's message reached neither of A's clients");
        // Both signed on, but messages go to one place: the server has no several sessions.
        return Skip(std::string("the server keeps both sessions on but gave B's message to A's ") +
                    (first ? "first" : "second") + " client only");
    }

    // A list edit in one place reaches the other where the server passes edits on.
    std::string listEdits = "the server passed no list edit on";
    if (ContactPtr firstB = Listed(a_, b_), secondB = Listed(second, b_); firstB && secondB) {
        const std::u16string nickname = UniqueText("two places").token;
        firstB->RequestRename(nickname);
        if (WaitFor([&] { return secondB->Nickname() == nickname; }, 10s))
            listEdits = "a rename in one place showed in the other";
    }
    std::fprintf(stderr, "interop: two places: %s\n", listEdits.c_str());

    ContactPtr toB = ContactFor(a_, b_);
    const auto [ownToken, ownText] = UniqueText("A's first place to B");
    if (toB) toB->History().AddOutgoingMessage(ownText);
    const bool reachedB =
        WaitFor([&, ownToken = ownToken] { return !ReadArrivals(b_.id, ownToken).empty(); });
    WaitFor([&, ownToken = ownToken] { return !ReadArrivals(second.id, ownToken, 1).empty(); }, 5s);
    const bool shownAsSent = !ReadArrivals(second.id, ownToken, 1).empty();
    const bool shownAsReceived = !ReadArrivals(second.id, ownToken, 0).empty();

    // Both stay signed on.
    for (int i = 0; i < 30; ++i) {
        if (!a_.Online() || second.account->Status() != kStatusAvailable) {
            const std::string why = "after " + std::to_string(i) + " s A's " +
                                    (a_.Online() ? "second" : "first") + " client went offline";
            release();
            return Fail(why);
        }
        std::this_thread::sleep_for(1s);
    }
    release();
    if (!reachedB) return Fail("the message from A's first client did not reach B");
    if (shownAsReceived) return Fail("A's second client stored A's own message as received");
    if (!shownAsSent) {
        return Skip(
            "both places receive and stay on (" + listEdits +
            "), but the server did not tell A's second client of the message the first sent");
    }
    return Pass();
}

// A signs on from a second client where the server keeps one session per account: the two
// places take at most one turn at signing each other off, then the first says why and stays
// off for 60 s while the second stays on.
Result Driver::Elsewhere() {
    if (!a_.Online()) return Fail("A is not signed on");
    // A fresh session of A first: the second place of the step before may have left the
    // server's idea of A's session behind.
    if (std::string why; !SignOnAgain(&why)) return Fail(why);
    const ReconnectAsUsersHaveIt reconnect;
    Side second{3, "A2", a_.credentials, MakeAccount(3, a_.credentials)};
    const auto finish = [&](Result result) {
        second.account->Disconnect(false);
        contacts_.RemoveAccount(second.id);
        second.account.reset();
        if (!a_.Online()) {
            a_.account->RequestStatus(kStatusAvailable);
            WaitFor([&] { return a_.account->Status() == kStatusAvailable; });
        }
        return result;
    };
    std::this_thread::sleep_for(1s);  // as in two-places
    second.account->RequestStatus(kStatusAvailable);
    if (!WaitFor([&] { return second.account->Status() == kStatusAvailable; })) {
        return finish(Fail("A's second client did not sign on: " + second.StatusText()));
    }
    Side* off = nullptr;
    bool firstWentOff = false;
    WaitFor(
        [&] {
            firstWentOff = firstWentOff || !a_.Online();
            if (a_.account->SignedOnElsewhere()) off = &a_;
            if (second.account->SignedOnElsewhere()) off = &second;
            return off != nullptr;
        },
        30s);
    if (off == nullptr) {
        if (a_.Online() && second.Online()) {
            return finish(Skip(firstWentOff ? "the server signed A's first client off without a "
                                              "reason, and after it came back kept both places on"
                                            : "the server keeps both places signed on"));
        }
        return finish(Fail("neither place says it was signed on elsewhere: A shows " +
                           a_.StatusText() + ", A's second client " + second.StatusText()));
    }
    Side& on = off == &a_ ? second : a_;
    WaitFor([&] { return on.account->Status() == kStatusAvailable; }, 10s);
    for (int i = 0; i < 60; ++i) {
        if (off->Online() || !off->account->SignedOnElsewhere()) {
            return finish(Fail("the place signed off came back after " + std::to_string(i) +
                               " s: " + off->StatusText()));
        }
        if (!on.Online()) {
            return finish(Fail("the place that stayed went offline after " + std::to_string(i) +
                               " s: " + on.StatusText()));
        }
        std::this_thread::sleep_for(1s);
    }
    if (off != &a_) {
        return finish(Fail("A's second client was the one to stop (" + off->StatusText() +
                           "); the first stayed on"));
    }
    return finish(Pass());
}

Result Driver::Picture() {
    if (!a_.Online() && !b_.Online()) return Fail("neither account is signed on");
    ContactPtr holder;
    const bool stored = WaitFor(
        [&] {
            for (auto [owner, other] : {std::pair{&a_, &b_}, std::pair{&b_, &a_}}) {
                ContactPtr contact = Listed(*owner, *other);
                if (contact && contact->HasPicture() && StoredPictureBytes(*contact) > 0) {
                    holder = contact;
                    return true;
                }
            }
            return false;
        },
        kPictureTimeout);
    if (stored) {
        std::fprintf(stderr, "interop: picture of %s stored, %zu bytes\n",
                     ToUtf8(holder->Login()).c_str(), holder->Picture().size());
        return Pass();
    }
    const bool announced = WireTap::Instance().IconAnnounced(a_.credentials.login) ||
                           WireTap::Instance().IconAnnounced(b_.credentials.login);
    if (!announced) {
        return Skip(
            "the server announced no buddy icon for either account "
            "(no icon hash in a presence notice)");
    }
    const RecordFilter avatarTraffic = [](const FrameRecord& r) {
        return r.link == "avatar" || r.family == 0x10 ||
               (r.family == 0x01 && (r.subtype == 0x04 || r.subtype == 0x05));
    };
    return Fail("an icon hash was announced but no picture was stored; " +
                a_.Wire(0, avatarTraffic) + "; " + b_.Wire(0, avatarTraffic));
}

// The CRC of a PNG chunk (type and data).
uint32_t PngCrc(const std::string& bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xFFFFFFFFu;
}

// A small PNG no server has seen: one opaque pixel and a text chunk that makes it unique.
std::vector<uint8_t> UniquePng(const std::string& text) {
    const auto chunk = [](const std::string& type, const std::string& data) {
        std::string out;
        for (int shift : {24, 16, 8, 0}) out += static_cast<char>((data.size() >> shift) & 0xFF);
        const std::string body = type + data;
        const uint32_t crc = PngCrc(body);
        out += body;
        for (int shift : {24, 16, 8, 0}) out += static_cast<char>((crc >> shift) & 0xFF);
        return out;
    };
    // 1x1, 8-bit RGB; the pixel compressed with a stored zlib block.
    const std::string header("\x00\x00\x00\x01\x00\x00\x00\x01\x08\x02\x00\x00\x00", 13);
    const std::string pixel("\x78\x01\x01\x04\x00\xFB\xFF\x00\x33\x66\x99\x02\x02\x01\x33", 15);
    std::string png("\x89PNG\r\n\x1A\n", 8);
    png += chunk("IHDR", header);
    png += chunk("tEXt", std::string("Comment") + '\0' + text);
    png += chunk("IDAT", pixel);
    png += chunk("IEND", "");
    return std::vector<uint8_t>(png.begin(), png.end());
}

// A sets a picture of its own; B, told of it by the next presence notice, stores the same
// bytes. Then A removes it again.
Result Driver::OwnPicture() {
    if (!a_.Online() || !b_.Online()) return Fail("A and B are not both signed on");
    ContactPtr seen = Listed(b_, a_);
    if (!seen) return Fail("A is not on B's list");
    const size_t mark = WireTap::Instance().Mark();
    const std::vector<uint8_t> picture = UniquePng(ToUtf8(UniqueText("own picture").token));
    if (a_.account->ChangeOwnPicture(picture) != CAccount::PictureProblem::kNone)
        return Fail("the account refused a valid PNG");
    const auto arrivedWithin = [&](Seconds wait) {
        return WaitFor([&] { return seen->Picture() == picture; }, wait);
    };
    bool arrived = arrivedWithin(5s);
    if (!arrived) {
        // Some servers tell the contacts only with the next presence notice: A changes status.
        const int32_t was = a_.account->Status();
        const int32_t other = was == kStatusAway ? kStatusAvailable : kStatusAway;
        a_.account->RequestStatus(other);
        arrived = arrivedWithin(kPictureTimeout);
        a_.account->RequestStatus(was);
        WaitFor([&] { return a_.account->Status() == was; });
    }
    const auto pictureTraffic = [](const FrameRecord& r) {
        return r.link == "avatar" || r.family == 0x10 || r.family == 0x13 ||
               (r.family == 0x01 && (r.subtype == 0x04 || r.subtype == 0x05 || r.subtype == 0x21));
    };
    if (!arrived) {
        a_.account->ChangeOwnPicture({});  // the steps after find A as it was
        bool told = false, uploaded = false;
        for (const FrameRecord& r : WireTap::Instance().Since(mark, a_.id)) {
            told = told || (r.incoming && r.family == 0x01 && r.subtype == 0x21);
            uploaded = uploaded || (!r.incoming && r.family == 0x10 && r.subtype == 0x02);
        }
        if (!told && !uploaded) {
            return Skip(
                "the server took the picture item but never spoke of A's picture (no "
                "SNAC 0x01,0x21): it keeps no pictures");
        }
        return Fail("B did not store A's new picture; A shows " + a_.StatusText() + "; " +
                    a_.Wire(mark, pictureTraffic) + "; " + b_.Wire(mark, pictureTraffic));
    }
    std::fprintf(stderr, "interop: A's own picture (%zu bytes) stored by B\n", picture.size());
    a_.account->ChangeOwnPicture({});
    if (!WaitFor([&] { return !seen->HasPicture(); }, kPictureTimeout)) {
        return Fail("B still shows A's picture after A removed it; " +
                    a_.Wire(mark, pictureTraffic) + "; " + b_.Wire(mark, pictureTraffic));
    }
    return Pass();
}

// A renames B on its server list; the server acknowledges it, and after a fresh sign-on the
// list still carries the new nickname.
Result Driver::RenameContact() {
    if (!a_.Online()) return Fail("A is not signed on");
    ContactPtr contact = Listed(a_, b_);
    if (!contact || !contact->OnServer()) return Fail("B is not on A's server list");
    const std::u16string nickname = UniqueText("nick").token;
    contact->RequestRename(nickname);
    if (!WaitFor([&] { return contact->Nickname() == nickname; })) {
        return Fail("the nickname was not taken; A shows " + a_.StatusText() + "; " +
                    a_.Wire(0, Families({0x13})));
    }
    // The server keeps it: sign off, forget the local nickname, sign on again.
    SignOffA();
    contact->SetNickname(u"");
    contact->dbSave();
    a_.account->RequestStatus(kStatusAvailable);
    if (!WaitFor([&] { return a_.account->Status() == kStatusAvailable; })) {
        return Fail("A did not sign on again: " + a_.StatusText());
    }
    if (WaitFor([&] {
            ContactPtr again = Listed(a_, b_);
            return again && again->Nickname() == nickname;
        })) {
        return Pass();
    }
    ContactPtr again = Listed(a_, b_);
    return Fail("after a fresh sign-on the list says " +
                (again ? Quote(again->Nickname()) : std::string("nothing")) + "; " +
                a_.Wire(0, Families({0x13})));
}

// A deletes B from its server list, then adds B again; after a fresh sign-on B is still there.
Result Driver::AddContact() {
    if (!a_.Online()) return Fail("A is not signed on");
    ContactPtr contact = Listed(a_, b_);
    if (!contact || !contact->OnServer()) return Fail("B is not on A's server list");
    const std::u16string group = contact->GroupName();
    contact->MarkPendingAction();
    if (!WaitFor([&] { return !Listed(a_, b_); })) {
        return Fail("B could not be deleted from A's list; " + a_.Wire(0, Families({0x13})));
    }
    contact.reset();
    const std::u16string nickname = UniqueText("added").token;
    a_.account->RequestAddContact(
        {FromUtf8(b_.credentials.login), nickname, group, u"zul interop asks"});
    if (!WaitFor([&] {
            ContactPtr again = Listed(a_, b_);
            return again && again->OnServer();
        })) {
        return Fail("B was not added again; A shows " + a_.StatusText() + "; " +
                    a_.Wire(0, Families({0x13})));
    }
    if (std::string why; !SignOnAgain(&why)) return Fail(why);
    if (WaitFor([&] {
            ContactPtr again = Listed(a_, b_);
            return again && again->OnServer() && again->Nickname() == nickname;
        })) {
        return Pass();
    }
    ContactPtr again = Listed(a_, b_);
    return Fail(std::string("after a fresh sign-on B is ") +
                (again ? "listed as " + Quote(again->Nickname()) : std::string("gone")) + "; " +
                a_.Wire(0, Families({0x13})));
}

void Driver::SignOffA() {
    a_.account->Disconnect(false);
    if (!WaitFor(
            [&] { return a_.account->SessionIdle() && a_.account->Status() == kStatusOffline; })) {
        std::fprintf(stderr, "interop: A's session did not end after a sign-off\n");
        return;
    }
    ContactPtr seen = b_.Online() ? Listed(b_, a_) : nullptr;
    if (seen && !WaitFor([&] { return seen->Status() == kStatusOffline; }, 5s)) {
        std::fprintf(stderr, "interop: B still sees A online after A signed off\n");
    }
}

bool Driver::SignOnAgain(std::string* why) {
    SignOffA();
    a_.account->RequestStatus(kStatusAvailable);
    if (WaitFor([&] { return a_.account->Status() == kStatusAvailable; })) return true;
    *why = "A did not sign on again: " + a_.StatusText();
    return false;
}

// Where the server wants B's authorisation before A may list B: A asked for it when it added B
// (the step before); B grants it and A's mark goes, with B shown online.
Result Driver::Authorisation() {
    if (!a_.Online() || !b_.Online()) return Fail("A and B are not both signed on");
    ContactPtr contact = Listed(a_, b_);
    if (!contact) return Fail("B is not on A's list");
    if (contact->AwaitingAuth() == 0) {
        return Skip("the server added B to A's list without asking for B's authorisation");
    }
    ContactPtr asker;
    if (!WaitFor([&] {
            asker = Listed(b_, a_);
            return asker && asker->AuthAsked();
        })) {
        return Fail("B never saw A's request; " + b_.Wire(0, Families({0x13})));
    }
    asker->RequestAuthAnswer(true);
    if (!WaitFor(
            [&] { return contact->AwaitingAuth() == 0 && contact->Status() != kStatusOffline; })) {
        return Fail("A still waits or does not see B online; " +
                    a_.Wire(0, Families({0x03, 0x13})));
    }
    return Pass();
}

// A moves B to a new group; the server takes it, and after a fresh sign-on B is there.
Result Driver::MoveContact() {
    if (!a_.Online()) return Fail("A is not signed on");
    ContactPtr contact = Listed(a_, b_);
    if (!contact || !contact->OnServer()) return Fail("B is not on A's server list");
    const std::u16string group = u"moved " + UniqueText("group").token;
    const uint16_t before = contact->GroupID();
    const size_t mark = WireTap::Instance().Mark();
    contact->RequestMove(group);
    if (!WaitFor([&] {
            return contact->GroupName() == group && contact->GroupID() != before &&
                   !contact->BlockedIcon();
        })) {
        return Fail("B was not moved; A shows " + a_.StatusText() + "; " +
                    a_.Wire(0, Families({0x13})));
    }
    // The old item leaves once the new one is taken: the sign-off waits for that edit's
    // answer, or the server keeps both items.
    const bool oldItemGone = WaitFor([&] {
        int removals = 0, answers = 0;
        for (const FrameRecord& r : WireTap::Instance().Since(mark, a_.id)) {
            if (r.family != 0x13) continue;
            if (!r.incoming && r.subtype == 0x0A) ++removals;
            if (removals > 0 && r.incoming && r.subtype == 0x0E) ++answers;
        }
        return answers > 0;
    });
    if (!oldItemGone) {
        return Fail("the old item of B was not removed; " + a_.Wire(mark, Families({0x13})));
    }
    if (std::string why; !SignOnAgain(&why)) return Fail(why);
    if (WaitFor([&] {
            ContactPtr again = Listed(a_, b_);
            return again && again->OnServer() && again->GroupName() == group;
        })) {
        return Pass();
    }
    ContactPtr again = Listed(a_, b_);
    return Fail("after a fresh sign-on B is in " +
                (again ? Quote(again->GroupName()) : std::string("no group")) + "; " +
                a_.Wire(0, Families({0x13})));
}

// A reads B's details: the directory entry of an ICQ number, and the profile and away
// message of any user.
Result Driver::Details() {
    if (!a_.Online()) return Fail("A is not signed on");
    const std::u16string login = FromUtf8(b_.credentials.login);
    a_.account->RequestContactDetails(login);
    if (!WaitFor([&] { return !a_.account->DetailsOf(login).Loading(); })) {
        return Fail("no answer to the details requests; " + a_.Wire(0, Families({0x02, 0x15})));
    }
    const ContactDetails details = a_.account->DetailsOf(login);
    if (!details.answered) {
        return Fail("the details came back empty: " + ToUtf8(details.error) + "; " +
                    a_.Wire(0, Families({0x02, 0x15})));
    }
    std::fprintf(stderr, "interop: B's details: nickname %s, e-mail %s, profile %s\n",
                 Quote(details.nickname).c_str(), Quote(details.email).c_str(),
                 Quote(details.profile).c_str());
    return Pass();
}

// B sets a status note and goes away; A reads it as B's away message in B's details. B comes
// back without a note.
Result Driver::StatusNote() {
    if (!a_.Online() || !b_.Online()) return Fail("A and B are not both signed on");
    const std::u16string note = u"zul note " + UniqueText("note").token;
    b_.account->ChangeStatusNote(note);
    b_.account->RequestStatus(kStatusAway);
    const std::u16string login = FromUtf8(b_.credentials.login);
    ContactDetails details;
    const bool seen = WaitFor([&] {
        if (b_.account->Status() != kStatusAway) return false;
        details = a_.account->DetailsOf(login);
        if (details.awayMessage == note) return true;
        if (!details.Loading()) a_.account->RequestContactDetails(login);
        return false;
    });
    b_.account->ChangeStatusNote(u"");
    b_.account->RequestStatus(kStatusAvailable);
    if (seen) return Pass();
    return Fail("A read B's away message as " + Quote(details.awayMessage) + " (" +
                ToUtf8(details.error) + "); " + b_.Wire(0, Families({0x01, 0x02})) + "; " +
                a_.Wire(0, Families({0x02})));
}

// A finds B in the directory by B's number (ICQ; AIM has no directory to search).
Result Driver::Search() {
    if (!a_.Online()) return Fail("A is not signed on");
    if (!IsIcqNumber(b_.credentials.login)) return Skip("AIM names are added as they are");
    const std::u16string login = FromUtf8(b_.credentials.login);
    a_.account->RequestSearch(DirectorySearch::kNumber, login);
    if (!WaitFor([&] { return !a_.account->Search().searching; })) {
        return Fail("the search never ended; " + a_.Wire(0, Families({0x15})));
    }
    const DirectorySearch found = a_.account->Search();
    for (const FoundUser& user : found.users)
        if (user.login == login) return Pass();
    return Fail("B was not found (" + std::to_string(found.users.size()) + " found, " +
                ToUtf8(found.error) + "); " + a_.Wire(0, Families({0x15})));
}

// A renames the group B is in; after a fresh sign-on B is in the group of the new name.
Result Driver::RenameGroup() {
    if (!a_.Online()) return Fail("A is not signed on");
    ContactPtr contact = Listed(a_, b_);
    if (!contact || !contact->OnServer()) return Fail("B is not on A's server list");
    const std::u16string name = u"renamed " + UniqueText("group").token;
    a_.account->RequestGroupChange({CAccount::GroupChange::kRename, contact->GroupID(), name});
    if (!WaitFor([&] { return contact->GroupName() == name; })) {
        return Fail("the group was not renamed; A shows " + a_.StatusText() + "; " +
                    a_.Wire(0, Families({0x13})));
    }
    if (std::string why; !SignOnAgain(&why)) return Fail(why);
    if (WaitFor([&] {
            ContactPtr again = Listed(a_, b_);
            return again && again->GroupName() == name;
        })) {
        return Pass();
    }
    ContactPtr again = Listed(a_, b_);
    return Fail("after a fresh sign-on B is in " +
                (again ? Quote(again->GroupName()) : std::string("no group")) + "; " +
                a_.Wire(0, Families({0x13})));
}

// The server stops and starts again between two steps (as for an update): both accounts
// are back on their own within 30 s, without the user doing anything.
Result Driver::ServerRestart() {
    if (arguments_.restart.empty()) return Skip("no --restart command given");
    if (!a_.Online() || !b_.Online()) return Fail("A and B are not both signed on");
    const ReconnectAsUsersHaveIt reconnect;
    const auto start = std::chrono::steady_clock::now();
    if (std::system(arguments_.restart.c_str()) != 0) return Fail("the restart command failed");
    // They notice the server going (a sign-off or a closed connection) and come back.
    if (!WaitFor([&] { return !a_.Online() || !b_.Online(); }, 10s)) {
        return Fail("neither account noticed the restart");
    }
    if (!WaitFor([&] { return a_.Online() && b_.Online(); },
                 std::chrono::duration_cast<Seconds>(30s -
                                                     (std::chrono::steady_clock::now() - start)))) {
        return Fail("not both back within 30 s; A shows " + a_.StatusText() + ", B shows " +
                    b_.StatusText());
    }
    return Pass();
}

namespace {

bool Lists(const RoomPtr& room, const std::string& login) {
    const std::vector<std::u16string> members = room->Members();
    return std::any_of(members.begin(), members.end(), [&](const std::u16string& m) {
        return FoldScreenName(ToUtf8(m)) == FoldScreenName(login);
    });
}

bool Heard(const RoomPtr& room, const std::string& from, const std::u16string& text) {
    for (const RoomEvent& e : room->Recent()) {
        if (e.kind == RoomEvent::kIncoming && e.text == text &&
            FoldScreenName(ToUtf8(e.who)) == FoldScreenName(from))
            return true;
    }
    return false;
}

std::string RoomProblem(const RoomPtr& room) {
    if (!room) return "no such room";
    const char* states[] = {"out", "joining", "in", "failed"};
    std::string why = std::string("the room is ") + states[static_cast<int>(room->State())];
    if (!room->Problem().empty()) why += ": " + Quote(room->Problem());
    return why;
}

}  // namespace

// A makes a room and invites B; B accepts; each says a line the other reads, both member
// lists show both, and A leaves (B sees A go).
Result Driver::ChatRoom() {
    if (!a_.Online() || !b_.Online()) return Fail("A and B are not both signed on");
    const size_t mark = WireTap::Instance().Mark();
    using Command = CAccount::RoomCommand;
    const std::u16string name = UniqueText("room").token;
    const auto wires = [&] {
        return a_.Wire(mark, Families({0x01, 0x04, 0x0D, 0x0E})) + "; " +
               b_.Wire(mark, Families({0x01, 0x04, 0x0D, 0x0E}));
    };
    a_.account->RequestRoom(Command::Join(name));
    RoomPtr roomA;
    WaitFor([&] {
        roomA = a_.account->Rooms().Find(kUserExchange, name);
        return roomA && (roomA->State() == RoomState::kIn || roomA->State() == RoomState::kFailed);
    });
    if (!roomA || roomA->State() != RoomState::kIn) {
        if (roomA && roomA->Problem() == ResString(1101)) {
            return Skip("the server offers no chat rooms (" + RoomProblem(roomA) + ")");
        }
        return Fail("A could not open the room: " + RoomProblem(roomA) + "; " + wires());
    }
    a_.account->RequestRoom(
        Command::Invite(roomA->Id(), FromUtf8(b_.credentials.login), u"zul interop: join us"));
    std::optional<RoomInvitation> invitation;
    WaitFor([&] {
        for (const RoomInvitation& i : b_.account->Rooms().Invitations()) {
            if (FoldScreenName(ToUtf8(i.from)) == FoldScreenName(a_.credentials.login))
                invitation = i;
        }
        return invitation.has_value();
    });
    if (!invitation) return Fail("B got no invitation from A; " + wires());
    if (!invitation->problem.empty()) {
        return Fail("B could not read A's invitation: " + Quote(invitation->problem));
    }
    b_.account->RequestRoom(Command::Answer(invitation->id, true));
    RoomPtr roomB;
    WaitFor([&] {
        roomB = b_.account->Rooms().Find(invitation->ref.exchange, invitation->roomName);
        return roomB && (roomB->State() == RoomState::kIn || roomB->State() == RoomState::kFailed);
    });
    if (!roomB || roomB->State() != RoomState::kIn) {
        return Fail("B could not join A's room " + Quote(invitation->roomName) + ": " +
                    RoomProblem(roomB) + "; " + wires());
    }
    const bool bothListed = WaitFor([&] {
        return Lists(roomA, a_.credentials.login) && Lists(roomA, b_.credentials.login) &&
               Lists(roomB, a_.credentials.login) && Lists(roomB, b_.credentials.login);
    });
    if (!bothListed) {
        return Fail("the member lists do not show both (A sees " +
                    std::to_string(roomA->MemberCount()) + ", B sees " +
                    std::to_string(roomB->MemberCount()) + "); " + wires());
    }
    const std::u16string lineA = UniqueText("room line A").text;
    const std::u16string lineB = UniqueText("room line B").text;
    a_.account->RequestRoom(Command::Say(roomA->Id(), lineA));
    b_.account->RequestRoom(Command::Say(roomB->Id(), lineB));
    const bool heard = WaitFor([&] {
        return Heard(roomB, a_.credentials.login, lineA) &&
               Heard(roomA, b_.credentials.login, lineB);
    });
    if (!heard) {
        std::string why;
        if (!Heard(roomB, a_.credentials.login, lineA)) why += "B did not read A's line; ";
        if (!Heard(roomA, b_.credentials.login, lineB)) why += "A did not read B's line; ";
        return Fail(why + wires());
    }
    a_.account->RequestRoom(Command::Leave(roomA->Id()));
    const bool left = WaitFor(
        [&] { return roomA->State() == RoomState::kOut && !Lists(roomB, a_.credentials.login); });
    b_.account->RequestRoom(Command::Leave(roomB->Id()));
    if (!left) {
        return Fail(roomA->State() == RoomState::kOut ? "B still lists A after A left"
                                                      : "A did not leave: " + RoomProblem(roomA));
    }
    return Pass();
}

int Driver::Run() {
    std::fprintf(stderr, "interop: %s and %s (%s) on %s:%s%s; profile and wire traces in %s\n",
                 a_.credentials.login.c_str(), b_.credentials.login.c_str(),
                 IsIcqNumber(a_.credentials.login) ? "ICQ" : "AIM", arguments_.host.c_str(),
                 arguments_.port.c_str(),
                 arguments_.md5 ? (arguments_.tls ? ", MD5 login, TLS" : ", MD5 login")
                                : (arguments_.tls ? ", TLS" : ""),
                 folder_.c_str());
    a_.account->RequestStatus(kStatusAvailable);
    b_.account->RequestStatus(kStatusAvailable);

    const std::vector<std::pair<const char*, std::function<Result()>>> steps = {
        {"signon-a", [&] { return SignOn(a_); }},
        {"signon-b", [&] { return SignOn(b_); }},
        {"list-a", [&] { return ServerList(a_, b_); }},
        {"list-b", [&] { return ServerList(b_, a_); }},
        {"online-a", [&] { return SeesOnline(a_, b_); }},
        {"online-b", [&] { return SeesOnline(b_, a_); }},
        {"message-a-to-b", [&] { return Message(a_, b_); }},
        {"message-b-to-a", [&] { return Message(b_, a_); }},
        {"typing", [&] { return Typing(); }},
        {"away", [&] { return Away(); }},
        {"offline-message", [&] { return OfflineMessage(); }},
        {"picture", [&] { return Picture(); }},
        {"own-picture", [&] { return OwnPicture(); }},
        {"server-restart", [&] { return ServerRestart(); }},
        {"rename-contact", [&] { return RenameContact(); }},
        {"add-contact", [&] { return AddContact(); }},
        {"authorisation", [&] { return Authorisation(); }},
        {"move-contact", [&] { return MoveContact(); }},
        {"rename-group", [&] { return RenameGroup(); }},
        {"details", [&] { return Details(); }},
        {"status-note", [&] { return StatusNote(); }},
        {"profile", [&] { return Profile(); }},
        {"away-message", [&] { return AwayMessage(); }},
        {"warning", [&] { return Warning(); }},
        {"search", [&] { return Search(); }},
        {"chat-room", [&] { return ChatRoom(); }},
        {"two-places", [&] { return TwoPlaces(); }},
        {"elsewhere", [&] { return Elsewhere(); }},
    };
    int passed = 0, failed = 0;
    for (const auto& [name, step] : steps) {
        const Result result = step();
        switch (result.outcome) {
            case Outcome::kPass:
                std::printf("PASS %s\n", name);
                ++passed;
                break;
            case Outcome::kFail:
                std::printf("FAIL %s: %s\n", name, result.why.c_str());
                ++failed;
                break;
            case Outcome::kSkip:
                std::printf("SKIP %s: %s\n", name, result.why.c_str());
                break;
        }
        std::fflush(stdout);
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

// A fresh folder for the profile and the logs of this run, kept afterwards.
std::string MakeRunFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zul-interop-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return {};
    return pattern + "/";
}

}  // namespace
}  // namespace zul::interop

int main(int argc, char** argv) {
    using namespace zul;
    std::string error;
    const auto arguments = interop::ParseArguments(argc, argv, error);
    if (!arguments) {
        std::fprintf(stderr,
                     "zul-interop: %s\nusage: zul-interop HOST:PORT LOGIN_A:PASSWORD_A "
                     "LOGIN_B:PASSWORD_B [--md5] [--tls] [--restart COMMAND]\n",
                     error.c_str());
        return 2;
    }
    const std::string folder = interop::MakeRunFolder();
    if (folder.empty()) {
        std::fprintf(stderr, "zul-interop: cannot make a temporary folder\n");
        return 2;
    }
    // The database log goes beside the profile.
    OverrideProgramFolder(folder);
    OverrideDataFolder(folder);
    if (!Database().OpenAt(folder + kProfileFileName)) {
        std::fprintf(stderr, "zul-interop: cannot open the profile in %s\n", folder.c_str());
        return 2;
    }
    Options().ResetToDefaults();
    Options().ReconnectOnError = 0;  // a failed sign-on stays failed and shows its error
    Options().RestoreLastStatusesOnStart = 0;
    int status;
    {
        interop::Driver driver(*arguments, folder);
        status = driver.Run();
    }
    // The profile stays for a look afterwards, without the passwords.
    try {
        std::lock_guard lock(Database().Mutex());
        for (const char16_t* sql :
             {u"PRAGMA secure_delete=ON", u"UPDATE Accounts SET Password=''"}) {
            CppSQLite3Command command = Database().Prepare(sql);
            Database().Execute(command);
        }
    } catch (const CppSQLite3Exception&) {
        std::fprintf(stderr, "zul-interop: the passwords could not be removed from %s\n",
                     folder.c_str());
    }
    Database().Close();
    return status;
}
