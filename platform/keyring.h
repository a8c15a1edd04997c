// Passwords in the desktop's keyring, through the freedesktop Secret Service on the session
// bus. Every call talks to D-Bus and may wait (seconds while the service starts): never call
// one on the window thread or with a lock held that another thread may need. Nothing here
// ever asks the user to unlock a keyring: a locked one is reported, and the caller asks for
// the password itself.
#pragma once

#include <cstdint>
#include <string>

namespace zul::keyring {

enum class Outcome {
    kDone,
    kNotFound,     // the keyring works and holds no password for this account
    kLocked,       // the keyring (or the item) is locked
    kUnavailable,  // no session bus, no Secret Service, or it failed
};

// What names an account's password: its type, login and server.
struct Key {
    int type = 0;
    std::string login;
    std::string server;
};

// Stores (or replaces) the password in the default keyring.
Outcome Store(const Key& key, const std::u16string& password, std::string* why = nullptr);
Outcome Lookup(const Key& key, std::u16string& password, std::string* why = nullptr);
// Removes the password; kNotFound when there was none.
Outcome Clear(const Key& key, std::string* why = nullptr);

}  // namespace zul::keyring
