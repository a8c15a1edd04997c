// The password kept in the keyring, through whole sign-ons on the scripted servers with a real
// Secret Service on a bus of the test's own: stored at the first sign-on and never in the
// profile, looked up after a restart and sent; a locked or absent keyring makes the account
// ask for the password instead of failing; switching the keyring off removes its item and
// puts the password back into the profile.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/error.h"
#include "platform/keyring.h"
#include "protocol/oscar.h"
#include "service_wire.h"
#include "support/private_keyring.h"
#include "support/session_harness.h"

namespace zul {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::HarnessOptions;
using test::ReceivedFrame;
using test::SessionHarness;

constexpr int kStrKeyringLocked = 1032;
constexpr int kStrKeyringUnavailable = 1033;

const keyring::Key kKey{11, "12345", "127.0.0.1"};

HarnessOptions WithPassword() {
    HarnessOptions options;
    options.password = u"abcd";
    return options;
}

// The scrambled password of the login request on the login server's connection `index`.
Bytes SentPassword(SessionHarness& h, size_t index) {
    const std::vector<ReceivedFrame> frames = h.LoginServer().Frames(index);
    if (frames.empty() || frames[0].data.size() < 4) return {};
    const auto tlvs = test::ParseTlvs(std::span(frames[0].data).subspan(4));
    const auto* password = test::FindTlv(tlvs, 0x0002);
    return password ? password->value : Bytes{};
}

const Bytes kScrambledAbcd = {'a' ^ 0xF3, 'b' ^ 0x26, 'c' ^ 0x81, 'd' ^ 0xC4};

std::u16string StoredPassword() {
    std::lock_guard lock(Database().Mutex());
    CppSQLite3Command command = Database().Prepare(u"SELECT Password FROM Accounts WHERE ID=77");
    CppSQLite3ResultSet rows = Database().ExecuteQuery(command);
    return rows.IsEnd() ? u"<none>" : rows.TextColumn(0, u"");
}

TEST(KeyringSignOn, AKeptPasswordNeverReachesTheProfileAndComesBackAfterARestart) {
    test::PrivateKeyring bus;
    ASSERT_TRUE(bus.StartService());
    SessionHarness h(WithPassword());
    COscar& account = h.Account();
    account.SetPasswordInKeyring(true);
    account.dbSave();
    EXPECT_EQ(StoredPassword(), u"");

    ASSERT_TRUE(h.SignOn(0));
    std::u16string kept;
    EXPECT_EQ(keyring::Lookup(kKey, kept), keyring::Outcome::kDone);
    EXPECT_EQ(kept, u"abcd");
    EXPECT_TRUE(account.KeyringHoldsPassword());
    EXPECT_EQ(StoredPassword(), u"");
    EXPECT_EQ(test::RowInt(u"SELECT Keyring FROM AccountSecurity WHERE AccID=77"), 1);

    // A restart: the account knows no password until the sign-on looks it up.
    account.Disconnect(true);
    account.SetPassword(u"");
    ASSERT_TRUE(h.SignOn(0));
    EXPECT_EQ(account.Password(), u"abcd");
    EXPECT_EQ(SentPassword(h, 1), kScrambledAbcd);
    EXPECT_EQ(StoredPassword(), u"");

    // Switched off: the item goes at the next sign-on, the password back into the profile.
    account.Disconnect(true);
    account.SetKeyringClearPending(true);
    account.SetPasswordInKeyring(false);
    account.dbSave();
    EXPECT_EQ(StoredPassword(), u"abcd");
    ASSERT_TRUE(h.SignOn(0));
    EXPECT_EQ(keyring::Lookup(kKey, kept), keyring::Outcome::kNotFound);
}

TEST(KeyringSignOn, ALockedOrAbsentKeyringMakesTheAccountAskForThePassword) {
    for (const bool service : {true, false}) {
        SCOPED_TRACE(service ? "locked keyring" : "no keyring");
        test::PrivateKeyring bus;
        if (service) {
            ASSERT_TRUE(bus.StartService());
            ASSERT_EQ(keyring::Store(kKey, u"abcd"), keyring::Outcome::kDone);
            ASSERT_TRUE(bus.LockDefault());
        }
        HarnessOptions options = WithPassword();
        options.password = u"";
        SessionHarness h(options);
        COscar& account = h.Account();
        account.SetPasswordInKeyring(true);

        account.RequestStatus(0);
        ASSERT_TRUE(SessionHarness::WaitUntil([&] { return account.PasswordQuestion() != 0; }));
        EXPECT_EQ(account.PasswordQuestion(), service ? kStrKeyringLocked : kStrKeyringUnavailable);
        EXPECT_TRUE(SessionHarness::WaitUntil(
            [&] { return account.StatusText() == u"Enter the password to sign on (-99978)"; }));
        // Asked, not retried: nothing reached the server.
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(h.LoginServer().ConnectionCount(), 0);
        EXPECT_EQ(account.Status(), -1);

        // The user's answer signs on (and the keyring, when it cannot take it, is no hindrance).
        EXPECT_NE(account.TakePasswordQuestion(), 0);
        account.SetPassword(u"abcd");
        ASSERT_TRUE(h.SignOn(0));
        EXPECT_EQ(SentPassword(h, 0), kScrambledAbcd);
        EXPECT_EQ(StoredPassword(), u"");
    }
}

}  // namespace
}  // namespace zul
