// What a session brings in from its server, as plain values. The protocol's handlers read a
// frame into one of these, with what only the session knows filled in (which message a request
// id stood for, whether the notices right after sign-on are news), and hand it to the account,
// which applies it to its contacts and histories (CAccount::Apply, on the session thread,
// inside the burst's transaction). Nothing here knows a wire format, and nothing in the
// protocol changes a contact's state for these itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace zul::event {

// A message to the user: from a contact, kept offline for the user, or a notice the service
// sends in a contact's name (a warning, "you were added").
struct Message {
    std::u16string login;
    int32_t status = -1;  // the sender's status as the message gives it; -1: not given
    std::u16string text;
    uint64_t time = 0;  // local file time; 0: now
    bool operator==(const Message&) const = default;
};

// A contact began or stopped typing to the user.
struct Typing {
    std::u16string login;
    bool typing = false;
    bool operator==(const Typing&) const = default;
};

// What the server says of a message the user sent (by its number in the chat).
struct Delivery {
    enum Kind {
        kDelivered,  // the server took it (and passes it on, or keeps it offline)
        kRefused,    // the server refused it, with its error code
        kUnsent,     // it never left: its session ended while it waited to go
    } kind = kDelivered;
    std::u16string login;
    uint32_t number = 0;
    uint16_t code = 0;  // kRefused: the server's code
    bool operator==(const Delivery&) const = default;
};

// A contact's presence as one notice gives it.
struct Presence {
    std::u16string login;
    int32_t status = 0;
    bool textChanged = false;  // `text` replaces the status text
    std::u16string text;
    int32_t mood = -1;  // -1: none
    // The notices right after sign-on (and while the device sleeps) report who is on: they do
    // not mark a contact as just come online.
    bool quiet = false;
    // Seconds since 1970 since the contact is idle (0: not idle); nothing: the notice does not
    // say.
    std::optional<uint32_t> idleSince;
    bool operator==(const Presence&) const = default;
};

// An item of the server-side list as an edit names it: a buddy, by its login, or a group.
struct ListItem {
    enum Kind { kBuddy, kGroup } kind = kBuddy;
    std::u16string name{};  // the buddy's login, the group's name
    uint16_t groupId = 0;
    uint16_t itemId = 0;  // a buddy's own; 0 for a group
    // A buddy's fields as the item carries them.
    std::u16string nickname{}, note{}, email{}, phone{};
    bool awaitingAuth = false;
    bool operator==(const ListItem&) const = default;
};

// Items another place of the account added to the server-side list, changed or removed.
struct ListEdit {
    enum Change { kAdded, kChanged, kRemoved } change = kAdded;
    std::vector<ListItem> items{};
    bool operator==(const ListEdit&) const = default;
};

// Another user asks for the user's authorisation.
struct AuthorisationRequest {
    std::u16string login{};
    std::u16string reason{};
    bool operator==(const AuthorisationRequest&) const = default;
};

// Another user's answer to the user's request for authorisation.
struct AuthorisationAnswer {
    std::u16string login{};
    bool granted = false;
    std::u16string reason{};
    bool operator==(const AuthorisationAnswer&) const = default;
};

}  // namespace zul::event

namespace zul {
using SessionEvent =
    std::variant<event::Message, event::Typing, event::Delivery, event::Presence, event::ListEdit,
                 event::AuthorisationRequest, event::AuthorisationAnswer>;
}  // namespace zul
