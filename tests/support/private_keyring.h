// A session bus of the test's own (without service activation, so that nothing starts by
// itself) and, on request, a real Secret Service on it: gnome-keyring with a fresh default
// keyring, unlocked, in a temporary home. While it lives, DBUS_SESSION_BUS_ADDRESS points at
// that bus; afterwards it is restored.
#pragma once

#include <sys/types.h>

#include <string>

#include "support/test_env.h"

namespace zul::test {

class PrivateKeyring {
  public:
    PrivateKeyring();
    ~PrivateKeyring();
    PrivateKeyring(const PrivateKeyring&) = delete;
    PrivateKeyring& operator=(const PrivateKeyring&) = delete;

    // Whether the bus runs.
    bool BusUp() const { return busPid_ > 0 && !address_.empty(); }
    // Starts the keyring daemon and waits until it answers; false when it did not.
    bool StartService();
    // Locks the default keyring (as a screen lock does).
    bool LockDefault();

  private:
    TempFolder home_;
    std::string address_;
    std::string oldAddress_;
    bool hadAddress_ = false;
    pid_t busPid_ = -1;
    pid_t keyringPid_ = -1;
};

}  // namespace zul::test
