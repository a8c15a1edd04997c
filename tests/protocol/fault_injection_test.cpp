// Faults of the network injected over loopback with the scripted servers: the connection
// dropped before, during (mid-header, mid-body) and after every frame of the sign-on, a frame
// announcing more than the buffer holds, garbage, a server that stops answering, and a server
// that floods the client. In every case the session ends as the error policy says (a countdown
// and a new sign-on, or a stop with the text), Disconnect returns with the session's threads
// joined, no descriptor is left open, nothing stored twice, and the profile is intact.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "protocol/oscar.h"
#include "protocol/services/server_list_item.h"
#include "protocol/transport/login.h"
#include "storage/contacts.h"
#include "storage/database.h"
#include "support/avatar_server.h"
#include "support/session_harness.h"
#include "support/test_env.h"

namespace zul {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::ByteWriter;
using test::HarnessOptions;
using test::OutFrame;
using test::ReceivedFrame;
using test::Reply;
using test::ScriptedServer;
using test::SessionHarness;

using test::OpenDescriptors;
size_t Threads() {
    return test::ThreadCount();
}

// The sleep of the session, replaced: the countdown can be held while the test looks at it,
// and every other wait is cut short so that a reconnect follows at once.
struct Countdown {
    std::mutex mutex;
    std::condition_variable released;
    bool hold = false;
    std::vector<std::u16string> texts;  // status texts seen while sleeping, in order
    CAccount* account = nullptr;
};
Countdown* g_countdown = nullptr;

void CountdownSleep(uint32_t ms) {
    Countdown* c = g_countdown;
    if (c == nullptr) return;
    std::unique_lock lock(c->mutex);
    if (c->account) {
        const std::u16string text = c->account->StatusText();
        if (c->texts.empty() || c->texts.back() != text) c->texts.push_back(text);
    }
    c->released.wait_for(lock, 10s, [c] { return !c->hold; });
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<uint32_t>(ms, 2)));
}

constexpr char16_t kPassword[] = u"Pw-9731";

std::string Utf16Le(std::u16string_view text) {
    std::string out;
    for (char16_t c : text) {
        out.push_back(static_cast<char>(c & 0xFF));
        out.push_back(static_cast<char>(c >> 8));
    }
    return out;
}

std::u16string ErrorText(int32_t code) {
    return FormatInt(LoginErrorText(acctype::kIcq, code), code);
}

// Fixture: counts descriptors and threads before anything starts, installs the countdown, and
// after the test checks that everything is back where it was.
class FaultInjection : public ::testing::Test {
  protected:
    void SetUp() override {
        // A sanitizer may start a helper thread of its own with the first thread; let it.
        std::thread([] {}).join();
        descriptors_ = OpenDescriptors();
        threads_ = test::SettledThreadCount();
        g_countdown = &countdown_;
        SetSleepFunction(&CountdownSleep);
        SetSocketIoTimeout(1000);
    }

    void TearDown() override {
        Release();
        harness_.reset();
        gate_.reset();
        SetSleepFunction(nullptr);
        g_countdown = nullptr;
        SetSocketIoTimeout(60000);
        // The scripted servers' threads end with them; the session thread with its account.
        EXPECT_TRUE(SessionHarness::WaitUntil([&] { return Threads() <= threads_; }, 2s))
            << Threads() << " threads, " << threads_ << " before";
        EXPECT_EQ(OpenDescriptors(), descriptors_);
    }

    // The harness with a server list of one group and two buddies, an offline message served
    // once, and the test's own rules first.
    SessionHarness& Start(std::function<void(ScriptedServer&, ScriptedServer&)> script,
                          bool reconnect = true) {
        HarnessOptions options;
        options.reconnectOnError = reconnect;
        options.password = kPassword;
        ByteWriter nick;
        nick.Tlv(buddytlv::kNickname, "Ada");
        options.serverList = test::ServerListBody({
            {"Friends", 1, 0, listitem::kGroup, {}},
            {"67890", 1, 0x101, listitem::kBuddy, nick.bytes},
            {"55555", 1, 0x102, listitem::kBuddy, {}},
        });
        options.script = [script](ScriptedServer& login, ScriptedServer& service) {
            if (script) script(login, service);
            service.OnFrame([](const ReceivedFrame& f) { return f.IsSnac(0x04, 0x10); },
                            [](const ReceivedFrame& f) {
                                ByteWriter w;
                                w.U32(1).U32(2).U16(1).U8(5).Raw("55555").U16(0).U16(0);
                                w.Tlv(0x0002, Bytes{0x05, 0x01, 0x00, 0x01, 0x01, 0x01, 0x01, 0x00,
                                                    0x07, 0x00, 0x00, 0x00, 0x00, 'o', 'f', 'f'});
                                return Reply({test::SnacFrame(0x04, 0x07, w.bytes, f.requestId()),
                                              test::SnacFrame(0x04, 0x17, {}, f.requestId())});
                            },
                            1);
        };
        harness_ = std::make_unique<SessionHarness>(options);
        countdown_.account = &harness_->Account();
        return *harness_;
    }

    void Hold() {
        std::lock_guard lock(countdown_.mutex);
        countdown_.hold = true;
    }
    void Release() {
        {
            std::lock_guard lock(countdown_.mutex);
            countdown_.hold = false;
        }
        countdown_.released.notify_all();
    }
    std::vector<std::u16string> Texts() {
        std::lock_guard lock(countdown_.mutex);
        return countdown_.texts;
    }
    // Waits until the countdown shows its first second (then it is held there).
    bool WaitForCountdown() {
        return SessionHarness::WaitUntil([&] {
            for (const auto& t : Texts()) {
                if (t.find(u". Waitng 3 s.") != std::u16string::npos) return true;
            }
            return false;
        });
    }
    // The error text the countdown showed, without its countdown part.
    std::u16string CountdownError() {
        for (const auto& t : Texts()) {
            const size_t at = t.find(u". Waitng 3 s.");
            if (at != std::u16string::npos) return t.substr(0, at);
        }
        return u"<no countdown>";
    }

    // The session thread has run (the login server saw it) and ended.
    static bool Stopped(SessionHarness& h) {
        return SessionHarness::WaitUntil([&] {
            return h.LoginServer().ConnectionCount() >= 1 && !h.Account().SessionRunning();
        });
    }

    bool Online() {
        COscar& a = harness_->Account();
        return SessionHarness::WaitUntil(
            [&] { return a.Status() == 0 && a.SessionRunning() && a.DeferredCount() == 0; });
    }

    // The state every case must leave: the session stopped with its sockets closed, the
    // profile intact and nothing in it twice.
    void ExpectCleanEnd(bool serviceOpen = true, bool loginOpen = true) {
        COscar& a = harness_->Account();
        const auto start = std::chrono::steady_clock::now();
        a.Disconnect(false);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 3s) << "Disconnect took too long";
        EXPECT_EQ(a.Status(), -1);
        // The session thread ends the session after Disconnect has returned.
        EXPECT_TRUE(SessionHarness::WaitUntil([&] { return a.SessionIdle(); }, 3s))
            << "the session did not stop";
        EXPECT_FALSE(a.SessionRunning());
        EXPECT_EQ(a.Status(), -1);
        EXPECT_EQ(a.Socket(Link::Service), kInvalidSocket);
        EXPECT_EQ(a.Socket(Link::Avatar), kInvalidSocket);
        EXPECT_EQ(Scalar(u"PRAGMA integrity_check"), u"ok");
        EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM (SELECT Login FROM Contacts GROUP BY AccID, Login "
                         u"HAVING COUNT(*) > 1)"),
                  u"0");
        EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM (SELECT ID FROM Groups GROUP BY AccID, Name "
                         u"HAVING COUNT(*) > 1)"),
                  u"0");
        // The offline message is served once; it is stored at most once.
        EXPECT_LE(std::stoi(ToUtf8(Scalar(u"SELECT COUNT(*) FROM History WHERE Message='off'"))),
                  1);
        // No log holds the password, in any of the forms it takes.
        for (const std::string& folder :
             {harness_->Folders().ProgramDir(), harness_->Folders().DataDir()}) {
            for (const auto& entry : std::filesystem::directory_iterator(folder)) {
                if (entry.path().filename().string().rfind("zul.profile", 0) == 0) continue;
                const std::string bytes = test::ReadFileBytes(entry.path().string());
                EXPECT_EQ(bytes.find(ToUtf8(kPassword)), std::string::npos) << entry.path();
                EXPECT_EQ(bytes.find(Utf16Le(kPassword)), std::string::npos) << entry.path();
            }
        }
        // The connections the client still had were closed by it (the ones the servers cut are
        // counted by the descriptor check).
        if (serviceOpen) EXPECT_TRUE(harness_->ServiceServer().WaitForClientClose(-1));
        if (loginOpen) EXPECT_TRUE(harness_->LoginServer().WaitForClientClose(-1));
    }

    static std::u16string Scalar(std::u16string_view sql) {
        std::lock_guard lock(Database().Mutex());
        CppSQLite3ResultSet rows = Database().Connection().ExecuteQuery(sql);
        std::u16string text = rows.IsEnd() ? u"<no row>" : rows.TextColumn(0);
        rows.Finalize();
        return text;
    }

    Countdown countdown_;
    // Plays the avatar role on the gate; declared first so that it outlives the gate, whose
    // rules refer to it (the gate's threads may still answer until it goes).
    std::unique_ptr<test::AvatarServer> gateAvatar_;
    std::unique_ptr<ScriptedServer> gate_;
    std::unique_ptr<SessionHarness> harness_;
    size_t descriptors_ = 0;
    size_t threads_ = 0;
};

// --- the sign-on matrix ---------------------------------------------------------------------

enum class Cut { Before, MidHeader, MidBody, After };

const char* CutName(Cut cut) {
    switch (cut) {
        case Cut::Before:
            return "Before";
        case Cut::MidHeader:
            return "MidHeader";
        case Cut::MidBody:
            return "MidBody";
        default:
            return "After";
    }
}

// One frame of the sign-on as the servers send it: the frame, and the client frame it answers
// (none for a greeting, which a new connection gets unasked).
struct Step {
    const char* name;
    bool loginServer;
    std::function<bool(const ReceivedFrame&)> trigger;  // null: the greeting
    OutFrame frame;
};

bool HasTlv(const ReceivedFrame& f, uint16_t type) {
    return f.channel == 0x01 && f.data.size() > 4 &&
           test::FindTlv(test::ParseTlvs(std::span(f.data).subspan(4)), type) != nullptr;
}

std::vector<Step> SignOnSteps() {
    ByteWriter families;
    for (uint16_t f : {0x0001, 0x0002, 0x0003, 0x0004, 0x0009, 0x0013, 0x0015}) families.U16(f);
    auto snac = [](uint16_t f, uint16_t s) { return ScriptedServer::IsSnac(f, s); };
    return {
        {"LoginGreeting", true, nullptr, test::Greeting()},
        {"LoginReply", true, [](const ReceivedFrame& f) { return HasTlv(f, 0x0001); },
         test::LoginError(5)},  // replaced by the real reply below
        {"ServiceGreeting", false, nullptr, test::Greeting()},
        {"FamilyList", false, [](const ReceivedFrame& f) { return HasTlv(f, 0x0006); },
         test::SnacFrame(0x01, 0x03, families.bytes)},
        {"RateInfo", false, snac(0x01, 0x06),
         test::SnacFrame(0x01, 0x07, test::StandardRateInfo())},
        {"LocationRights", false, snac(0x02, 0x02),
         test::SnacFrame(0x02, 0x03, Bytes{0, 1, 0, 2, 0, 1})},
        {"BuddyRights", false, snac(0x03, 0x02),
         test::SnacFrame(0x03, 0x03, Bytes{0, 1, 0, 2, 0, 1})},
        {"MessageRights", false, snac(0x04, 0x04), test::SnacFrame(0x04, 0x05, Bytes(16, 0))},
        {"PrivacyRights", false, snac(0x09, 0x02),
         test::SnacFrame(0x09, 0x03, Bytes{0, 1, 0, 2, 0, 1})},
        {"ListRights", false, snac(0x13, 0x02),
         test::SnacFrame(0x13, 0x03, Bytes{0, 4, 0, 2, 0, 1})},
        {"ServerList", false, snac(0x13, 0x04),
         test::SnacFrame(0x13, 0x06,
                         test::ServerListBody({{"Friends", 1, 0, listitem::kGroup, {}},
                                               {"67890", 1, 0x101, listitem::kBuddy, {}}}))},
    };
}

// What the server sends in place of the frame.
Reply CutReply(const OutFrame& frame, Cut cut) {
    const Bytes bytes = test::EncodeFrame(frame.channel, 1, frame.data);
    Reply reply;
    reply.close = true;
    switch (cut) {
        case Cut::Before:
            break;
        case Cut::MidHeader:
            reply.raw.assign(bytes.begin(), bytes.begin() + 3);
            break;
        case Cut::MidBody:
            reply.raw.assign(bytes.begin(), bytes.begin() + 6 + frame.data.size() / 2);
            break;
        case Cut::After:
            reply.raw = bytes;
            break;
    }
    return reply;
}

struct MatrixCase {
    size_t step;
    Cut cut;
};

std::vector<MatrixCase> MatrixCases() {
    std::vector<MatrixCase> cases;
    for (size_t i = 0; i < SignOnSteps().size(); ++i) {
        for (Cut cut : {Cut::Before, Cut::MidHeader, Cut::MidBody, Cut::After}) {
            cases.push_back({i, cut});
        }
    }
    return cases;
}

class SignOnDrop : public FaultInjection, public ::testing::WithParamInterface<MatrixCase> {};

// The codes a drop may end the sign-on with: the orderly close in the header or in the body,
// or a reset when the client's own frame met the closed connection first.
std::set<std::u16string> ExpectedTexts(Cut cut) {
    std::set<std::u16string> texts = {ErrorText(10054)};
    texts.insert(ErrorText(cut == Cut::MidBody ? -99993 : -99992));
    return texts;
}

TEST_P(SignOnDrop, CountsDownAndSignsOnAgain) {
    const Step step = SignOnSteps()[GetParam().step];
    const Cut cut = GetParam().cut;
    // After the login reply the client leaves the login server anyway: that drop is no fault.
    const bool harmless = std::string(step.name) == "LoginReply" && cut == Cut::After;

    gate_ = std::make_unique<ScriptedServer>(false);
    ScriptedServer* gate = gate_.get();
    const std::string gateAddress = gate->HostPort();
    SessionHarness& h = Start([&](ScriptedServer& login, ScriptedServer& service) {
        if (step.trigger) {
            ScriptedServer& server = step.loginServer ? login : service;
            OutFrame frame = step.frame;
            if (std::string(step.name) == "LoginReply") {
                const uint8_t cookie[] = {0xC0, 0x0C, 0x1E, 0x01, 0x02, 0x03};
                frame = test::LoginReply(service.HostPort(), cookie);
            }
            server.OnFrame(
                step.trigger, [frame, cut](const ReceivedFrame&) { return CutReply(frame, cut); },
                1);
        } else if (!step.loginServer) {
            // The first login reply sends the client to the gate, which greets as the test says.
            login.OnFrame([](const ReceivedFrame& f) { return HasTlv(f, 0x0001); },
                          [gateAddress](const ReceivedFrame&) {
                              const uint8_t cookie[] = {0xC0, 0x0C, 0x1E, 0x01, 0x02, 0x03};
                              return Reply({test::LoginReply(gateAddress, cookie)});
                          },
                          1);
        }
    });
    const std::u16string realPort = h.Account().Port();
    if (!step.trigger && step.loginServer) h.Account().SetPort(Widen(std::to_string(gate->Port())));

    Hold();
    h.Account().RequestStatus(0);
    if (!step.trigger) {
        ASSERT_TRUE(gate->WaitForConnections(1));
        const Reply reply = CutReply(step.frame, cut);
        if (!reply.raw.empty()) gate->SendRaw(reply.raw, 0);
        gate->Close(0);
    }

    if (harmless) {
        Release();
        EXPECT_TRUE(Online());
    } else {
        ASSERT_TRUE(WaitForCountdown()) << "no countdown";
        EXPECT_EQ(ExpectedTexts(cut).count(CountdownError()), 1u) << ToUtf8(CountdownError());
        EXPECT_EQ(h.Account().Status(), -1);  // offline while counting down
        h.Account().SetPort(realPort);
        Release();
        EXPECT_TRUE(Online()) << ToUtf8(h.Account().StatusText());
    }
    // The list of the (second) sign-on is held once.
    EXPECT_EQ(h.Contacts().ContactsOf(&h.Account()).size(), 2u);
    ExpectCleanEnd(true, !harmless);
}

INSTANTIATE_TEST_SUITE_P(Matrix, SignOnDrop, ::testing::ValuesIn(MatrixCases()),
                         [](const auto& info) {
                             return std::string(SignOnSteps()[info.param.step].name) +
                                    CutName(info.param.cut);
                         });

// --- the same drop without reconnecting: the text stays and the session stops ------------------

TEST_F(FaultInjection, DropWithoutReconnectStopsWithTheText) {
    SessionHarness& h = Start(
        [](ScriptedServer&, ScriptedServer& service) {
            service.OnSnac(0x03, 0x02, CutReply(test::SnacFrame(0x03, 0x03), Cut::MidHeader), 1);
        },
        false);
    h.Account().RequestStatus(0);
    ASSERT_TRUE(Stopped(h));
    const std::u16string text = h.Account().StatusText();
    EXPECT_TRUE(text == ErrorText(-99992) || text == ErrorText(10054)) << ToUtf8(text);
    EXPECT_EQ(h.Account().Status(), -1);
    EXPECT_EQ(h.Account().StatusIcon(), accicon::kError);
    EXPECT_TRUE(Texts().empty() || Texts().back().find(u"Waitng") == std::u16string::npos);
    // One sign-on attempt only.
    EXPECT_EQ(h.LoginServer().ConnectionCount(), 1);
    ExpectCleanEnd(false, true);
}

// --- hostile frames on a signed-on session ----------------------------------------------------

// Signs on, then lets the service server send `bytes` and close or not.
void SendThen(ScriptedServer& service, const Bytes& bytes, bool close) {
    service.SendRaw(bytes);
    if (close) service.Close();
}

TEST_F(FaultInjection, GarbageBytesEndTheSessionAndReconnect) {
    SessionHarness& h = Start(nullptr);
    ASSERT_TRUE(h.SignOn(0));
    Hold();
    // Text where a frame belongs: read as a header announcing 0x2F31 bytes, of which only a few
    // follow before the server closes.
    const std::string garbage = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
    SendThen(h.ServiceServer(), Bytes(garbage.begin(), garbage.end()), true);
    ASSERT_TRUE(WaitForCountdown());
    const std::u16string error = CountdownError();
    EXPECT_TRUE(error == ErrorText(-99993) || error == ErrorText(10054)) << ToUtf8(error);
    Release();
    EXPECT_TRUE(Online());
    ExpectCleanEnd();
}

TEST_F(FaultInjection, SilentServerDuringSignOnTimesOutAndReconnects) {
    SessionHarness& h = Start([](ScriptedServer&, ScriptedServer& service) {
        service.OnSnac(0x01, 0x06, Reply(), 1);  // the rate request goes unanswered
    });
    Hold();
    h.Account().RequestStatus(0);
    ASSERT_TRUE(WaitForCountdown());
    EXPECT_EQ(CountdownError(), ErrorText(10060));
    Release();
    EXPECT_TRUE(Online());
    ExpectCleanEnd();
}

TEST_F(FaultInjection, ServerStoppingMidFrameTimesOut) {
    SessionHarness& h = Start(nullptr, false);
    ASSERT_TRUE(h.SignOn(0));
    // A header announcing 100 bytes, then nothing more: the body's receive gives up.
    SendThen(h.ServiceServer(), Bytes{0x2A, 0x02, 0x00, 0x07, 0x00, 0x64, 0x00, 0x03}, false);
    ASSERT_TRUE(Stopped(h));
    EXPECT_EQ(h.Account().StatusText(), ErrorText(10060));
    EXPECT_EQ(h.Account().Status(), -1);
    ExpectCleanEnd();
}

TEST_F(FaultInjection, SilentServerWithoutReconnectStops) {
    SessionHarness& h = Start(nullptr, false);
    h.ServiceServer().StopAnswering();
    h.Account().RequestStatus(0);
    ASSERT_TRUE(Stopped(h));
    EXPECT_EQ(h.Account().StatusText(), ErrorText(10060));
    EXPECT_EQ(h.LoginServer().ConnectionCount(), 1);
    ExpectCleanEnd();
}

// A flood of frames while signed on: every one is read, the session stays up, and Disconnect
// still returns promptly in the middle of it.
TEST_F(FaultInjection, FloodOfFramesIsReadAndDisconnectStillReturns) {
    SessionHarness& h = Start(nullptr);
    ASSERT_TRUE(h.SignOn(0));
    Bytes burst;
    ByteWriter notice;
    notice.U8(5).Raw("67890").U16(0).U16(1).TlvU32(0x0006, 0x00000000);
    for (int i = 0; i < 2000; ++i) {
        const Bytes frame = test::EncodeFrame(0x02, static_cast<uint16_t>(i),
                                              test::SnacFrame(0x03, 0x0B, notice.bytes).data);
        burst.insert(burst.end(), frame.begin(), frame.end());
        const Bytes ping = test::EncodeFrame(0x05, static_cast<uint16_t>(i), {});
        burst.insert(burst.end(), ping.begin(), ping.end());
    }
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        while (flooding) h.ServiceServer().SendRaw(burst);
    });
    // The client keeps reading (its received-bytes counter grows) while the flood runs.
    const uint32_t before = h.Account().BytesIn();
    EXPECT_TRUE(SessionHarness::WaitUntil(
        [&] { return h.Account().BytesIn() > before + 10 * burst.size(); }));
    EXPECT_EQ(h.Account().Status(), 0);
    ExpectCleanEnd();
    flooding = false;
    flood.join();
}

// Frames the sign-on does not wait for are kept for the receive loop, which handles them once
// the sign-on is done.
Reply NoticesThenRateInfo(int notices) {
    ByteWriter notice;
    notice.U8(5).Raw("67890").U16(0).U16(1).TlvU32(0x0006, 0x00000000);
    std::vector<OutFrame> frames;
    for (int i = 0; i < notices; ++i) frames.push_back(test::SnacFrame(0x03, 0x0B, notice.bytes));
    frames.push_back(test::SnacFrame(0x01, 0x07, test::StandardRateInfo()));
    return Reply(frames);
}

size_t PeakResidentKb() {
    const std::string status = test::ReadFileBytes("/proc/self/status");
    const size_t at = status.find("VmHWM:");
    return at == std::string::npos ? 0 : std::stoul(status.substr(at + 6));
}

TEST_F(FaultInjection, FramesDuringSignOnAreHandledAfterIt) {
    SessionHarness& h = Start([](ScriptedServer&, ScriptedServer& service) {
        service.OnSnac(0x01, 0x06, NoticesThenRateInfo(100), 1);
    });
    ASSERT_TRUE(h.SignOn(0));
    ContactPtr ada = h.Contacts().FindContact(&h.Account(), u"67890");
    ASSERT_TRUE(ada);
    EXPECT_TRUE(SessionHarness::WaitUntil([&] { return ada->Status() == 0; }));
    ExpectCleanEnd();
}

// A server that floods the sign-on with frames it was not asked for cannot make the client
// hold them all: past a bound the sign-on is abandoned as a frame error and begins again.
TEST_F(FaultInjection, FloodDuringSignOnIsBounded) {
    SessionHarness& h = Start([](ScriptedServer&, ScriptedServer& service) {
        service.OnSnac(0x01, 0x06, NoticesThenRateInfo(20000), 1);
    });
    const size_t peakBefore = PeakResidentKb();
    Hold();
    h.Account().RequestStatus(0);
    ASSERT_TRUE(WaitForCountdown());
    EXPECT_EQ(CountdownError(), ErrorText(-99995));
    EXPECT_LT(PeakResidentKb() - peakBefore, 64u * 1024) << "kilobytes more at the peak";
    Release();
    EXPECT_TRUE(Online());
    ExpectCleanEnd();
}

// --- the avatar connection's sign-on -----------------------------------------------------------

// The avatar server cuts its connection inside one frame of its sign-on or of a picture reply:
// only the avatar connection goes (the client closes it), the session stays on line on its
// first connection, and no picture is stored from the cut frame.
struct AvatarCut {
    const char* name;
    std::function<bool(const ReceivedFrame&)> trigger;
    OutFrame frame;
    Cut cut;
};

std::vector<AvatarCut> AvatarCuts() {
    ByteWriter families;
    families.U16(0x0001).U16(0x0010);
    ByteWriter picture;
    picture.U8(5)
        .Raw("67890")
        .Raw(Bytes(20, 0x11))
        .U8(1)
        .Raw(Bytes(20, 0x11))
        .U16(64)
        .Raw(Bytes(64, 0x22));
    return {
        {"FamilyListMidHeader", [](const ReceivedFrame& f) { return HasTlv(f, 0x0006); },
         test::SnacFrame(0x01, 0x03, families.bytes), Cut::MidHeader},
        {"RateInfoMidBody", ScriptedServer::IsSnac(0x01, 0x06),
         test::SnacFrame(0x01, 0x07, test::AvatarRateInfo()), Cut::MidBody},
        {"PictureMidBody", ScriptedServer::IsSnac(0x10, 0x06),
         test::SnacFrame(0x10, 0x07, picture.bytes), Cut::MidBody},
    };
}

class AvatarDrop : public FaultInjection, public ::testing::WithParamInterface<size_t> {};

TEST_P(AvatarDrop, OnlyTheAvatarConnectionGoes) {
    const AvatarCut cut = AvatarCuts()[GetParam()];
    gate_ = std::make_unique<ScriptedServer>(true);
    gate_->OnFrame(
        cut.trigger, [cut](const ReceivedFrame&) { return CutReply(cut.frame, cut.cut); }, 1);
    gateAvatar_ = std::make_unique<test::AvatarServer>(gate_.get());
    test::AvatarServer& avatar = *gateAvatar_;
    const Bytes picture(64, 0x22);
    avatar.SetPicture("67890", picture);
    const std::string address = gate_->HostPort();
    SessionHarness& h = Start([address](ScriptedServer&, ScriptedServer& service) {
        service.OnFrame(ScriptedServer::IsSnac(0x01, 0x04), [address](const ReceivedFrame& f) {
            const Bytes cookie = {1, 2, 3, 4};
            return Reply({test::SnacFrame(0x01, 0x05, test::RedirectBody(address, cookie, false),
                                          f.requestId())});
        });
    });
    ASSERT_TRUE(h.SignOn(0));
    const Bytes info = test::PictureInfo(picture);
    ByteWriter notice;
    notice.U8(5).Raw("67890").U16(0).U16(1);
    ByteWriter item;
    item.U16(0x0001).U8(0x01).U8(0x10).Raw(Bytes(info.begin() + 4, info.end()));
    notice.Tlv(0x001D, item.bytes);
    h.ServerSends(0x03, 0x0B, notice.bytes);

    // The cut frame's request arrived, so the connection was up; the client then drops it (or
    // has already asked for a new one).
    ASSERT_TRUE(gate_->WaitForFrame(cut.trigger, 20s).has_value());
    EXPECT_TRUE(SessionHarness::WaitUntil(
        [&] { return !h.Account().AvatarActive() || gate_->ConnectionCount() > 1; }, 20s));
    EXPECT_EQ(h.Account().Status(), 0);
    EXPECT_EQ(h.ServiceServer().ConnectionCount(), 1);
    ContactPtr ada = h.Contacts().FindContact(&h.Account(), u"67890");
    ASSERT_TRUE(ada);
    if (std::string(cut.name) == "PictureMidBody") EXPECT_FALSE(ada->HasPicture());
    ExpectCleanEnd();
}

INSTANTIATE_TEST_SUITE_P(AvatarSignOn, AvatarDrop, ::testing::Range<size_t>(0, 3),
                         [](const auto& info) {
                             return std::string(AvatarCuts()[info.param].name);
                         });

}  // namespace
}  // namespace zul
