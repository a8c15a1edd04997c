// The keyring against a real Secret Service (gnome-keyring) on a session bus of the test's
// own: a password goes in, comes back exactly, is replaced and removed, and is kept apart by
// account; a locked keyring is reported without any prompt; no service, or no bus at all, is
// reported as unavailable at once.
#include "platform/keyring.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>

#include "support/private_keyring.h"

namespace zul {
namespace {

using keyring::Key;
using keyring::Outcome;
using Clock = std::chrono::steady_clock;

TEST(Keyring, APasswordGoesInComesBackIsReplacedAndRemoved) {
    test::PrivateKeyring bus;
    ASSERT_TRUE(bus.StartService());
    const Key work{11, "100001", "oscar.example.org"};
    const Key elsewhere{11, "100001", "other.example.org"};
    std::u16string password;
    EXPECT_EQ(keyring::Lookup(work, password), Outcome::kNotFound);

    EXPECT_EQ(keyring::Store(work, u"p\u00e4ss w\u00f6rd:1"), Outcome::kDone);
    EXPECT_EQ(keyring::Lookup(work, password), Outcome::kDone);
    EXPECT_EQ(password, u"p\u00e4ss w\u00f6rd:1");
    EXPECT_EQ(keyring::Lookup(elsewhere, password), Outcome::kNotFound);

    EXPECT_EQ(keyring::Store(work, u"second"), Outcome::kDone);
    EXPECT_EQ(keyring::Lookup(work, password), Outcome::kDone);
    EXPECT_EQ(password, u"second");

    EXPECT_EQ(keyring::Clear(work), Outcome::kDone);
    EXPECT_EQ(keyring::Lookup(work, password), Outcome::kNotFound);
    EXPECT_EQ(keyring::Clear(work), Outcome::kNotFound);
}

TEST(Keyring, ALockedKeyringIsReportedAndNeverOpenedByAPrompt) {
    test::PrivateKeyring bus;
    ASSERT_TRUE(bus.StartService());
    const Key key{12, "ZulAlice", "127.0.0.1"};
    ASSERT_EQ(keyring::Store(key, u"alpha123"), Outcome::kDone);
    ASSERT_TRUE(bus.LockDefault());
    const auto start = Clock::now();
    std::u16string password;
    EXPECT_EQ(keyring::Lookup(key, password), Outcome::kLocked);
    EXPECT_TRUE(password.empty());
    EXPECT_EQ(keyring::Store(key, u"other"), Outcome::kLocked);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

TEST(Keyring, WithoutAServiceOrABusItIsUnavailableAtOnce) {
    std::u16string password;
    std::string why;
    {
        test::PrivateKeyring bus;  // a bus, and nothing on it answers for the keyring
        ASSERT_TRUE(bus.BusUp());
        const auto start = Clock::now();
        EXPECT_EQ(keyring::Lookup({11, "1", "h"}, password, &why), Outcome::kUnavailable);
        EXPECT_FALSE(why.empty());
        EXPECT_EQ(keyring::Store({11, "1", "h"}, u"x"), Outcome::kUnavailable);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    }
    // No bus at all (a console session).
    const char* display = getenv("DISPLAY");
    const std::string oldDisplay = display ? display : "";
    unsetenv("DISPLAY");
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/zul-bus", 1);
    EXPECT_EQ(keyring::Lookup({11, "1", "h"}, password), Outcome::kUnavailable);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    if (display) setenv("DISPLAY", oldDisplay.c_str(), 1);
}

}  // namespace
}  // namespace zul
