// Drivers of the whole client in its real message loop (the window's own timers, a live session
// against the scripted servers in a child process), directed from a thread of their own that
// hands each step to the window thread:
//
//  - window_stall: the window thread's stalls as the client's own monitor measures them (the
//    time the thread went without coming back to its loop), while 5,000 messages storm into the
//    open chat of a contact with 100,000 events, the window switches pages 50 times and opens
//    20 chats of 5,000 events each, and the server then holds a frame half-sent for 3 s;
//  - chat_soak: $ZUL_SOAK_MINUTES minutes (default 10) of 100 incoming messages a second into an
//    open chat; the resident memory from the end of the first minute on, sampled every 30 s.
#include <QApplication>
#include <QMetaObject>
#include <QTimer>
#include <atomic>
#include <cstdlib>
#include <future>
#include <span>
#include <stdexcept>
#include <thread>

#include "accounts/accounts.h"
#include "platform/text.h"
#include "storage/contacts.h"
#include "support/bench_profile.h"
#include "support/figures.h"
#include "support/load_world.h"
#include "support/server_process.h"
#include "support/test_env.h"
#include "support/wire_builders.h"
#include "ui/drivers.h"
#include "ui/framework/main_window.h"
#include "ui/shell/app.h"
#include "ui/shell/stall_monitor.h"
#include "ui/views/chat_page.h"
#include "ui/views/contact_list_page.h"

namespace zul::bench {
namespace {

// Runs `step` on the window thread and waits for it.
template <typename Step>
void OnWindowThread(Step step) {
    std::promise<void> done;
    QMetaObject::invokeMethod(
        qApp,
        [&] {
            step();
            done.set_value();
        },
        Qt::QueuedConnection);
    done.get_future().wait();
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds timeout) {
    const auto end = Clock::now() + timeout;
    while (Clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

// The client of a live run: the servers' child, the profile, the application and the client as
// the program's entry makes them. `Run` starts the loop and runs `director` beside it; the loop
// ends when the director returns.
class LiveClient {
  public:
    LiveClient(const WorldSpec& shape, ServerProcess::ChildWork work)
        : shape_(shape), servers_(shape, ServiceScript{}, std::move(work)) {
        WriteProfile(folders_.DataDir() + "zul.profile", shape, servers_.LoginPorts());
        setenv("ZUL_DATA_DIR", folders_.DataDir().c_str(), 1);
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }

    ServerProcess& Servers() { return servers_; }
    std::string StallFile() const { return folders_.DataDir() + "stalls.txt"; }
    ClientApp& App() { return *app_; }
    CAccount& Account() { return *app_->Accounts()->Find(AccountId(0)); }
    ContactPtr Contact(int i) {
        return app_->Contacts()->FindContact(&Account(), Widen(ContactLogin(0, i)));
    }

    int Run(int argc, char** argv, const std::function<bool()>& director) {
        QApplication application(argc, argv);
        QApplication::setApplicationName(QStringLiteral("zul"));
        bool ok = false;
        {
            ClientApp app;
            app_ = &app;
            app.SetInstanceKey("zul-bench-live-" + std::to_string(getpid()));
            if (!app.StartUp()) throw std::runtime_error("start-up failed: " + app.FailureReason());
            std::thread directing([&] {
                try {
                    ok = director();
                } catch (const std::exception& e) {
                    std::fprintf(stderr, "live: %s\n", e.what());
                }
                QMetaObject::invokeMethod(
                    qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
            });
            app.RunLoop();
            directing.join();
            app.ShutDown();
            app_ = nullptr;
        }
        return ok ? 0 : 1;
    }

    // Signs the account on and opens the chat of contact 0.
    bool SignOnAndOpenChat() {
        Account().RequestStatus(0);
        if (!WaitFor([&] { return Account().Status() == 0; }, std::chrono::seconds(60)))
            return false;
        OnWindowThread([&] { App().ContactsView()->OpenChat(Contact(0)); });
        std::this_thread::sleep_for(std::chrono::seconds(1));  // the slide, the first paints
        return true;
    }

    // Incoming messages of contact 0 stored so far (read on the directing thread).
    int32_t StoredMessages() { return Contact(0)->History().MessageCount(); }

  private:
    WorldSpec shape_;
    test::IsolatedFolders folders_;
    ServerProcess servers_;
    ClientApp* app_ = nullptr;
};

constexpr int kStormMessages = 5000;
constexpr int kChatEvents = 100000;
constexpr int kOtherChatEvents = 5000;
constexpr int kChatsOpened = 20;

}  // namespace

int RunWindowStall(int argc, char** argv) {
    WorldSpec shape;
    shape.contactsPerAccount = kChatsOpened + 1;
    shape.groupsPerAccount = 2;
    shape.historyPerContact = kOtherChatEvents;
    shape.firstContactMessages = kChatEvents;
    // The child's work: the storm from contact 0 as fast as the socket takes it, then a frame
    // from contact 1 held half-sent for three seconds.
    const auto storm = [shape](std::vector<std::unique_ptr<AccountServers>>& servers,
                               const std::atomic<bool>& stopping) {
        ScriptedServer& service = servers[0]->Service();
        service.SendRaw(EncodeFrames(LiveMessages(shape, 0, kStormMessages, 1)));
        // The second of two messages is contact 1's.
        const auto held = EncodeFrames({LiveMessages(shape, 0, 2, 2)[1]}, 30000);
        service.SendRaw(std::span(held).first(12));
        for (int i = 0; i < 300 && !stopping.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        service.SendRaw(std::span(held).subspan(12));
    };
    LiveClient live(shape, storm);
    std::unique_ptr<StallMonitor> monitor;
    int64_t longest = -1;
    int64_t p99 = -1;
    int switches = 0;
    int opened = 0;
    const int code = live.Run(argc, argv, [&] {
        if (!live.SignOnAndOpenChat()) throw std::runtime_error("sign-on failed");
        const int32_t before = live.StoredMessages();
        OnWindowThread([&] { monitor = std::make_unique<StallMonitor>(live.StallFile()); });
        live.Servers().StartWork();
        MainWindow& window = *live.App().Window();
        // 50 page switches, a slide each, while the storm comes in.
        for (int i = 0; i < 50; ++i) {
            OnWindowThread([&] {
                const int to = window.CurrentIndex() == 1 ? window.PageCount() - 1 : 1;
                window.ShowPage(to > window.CurrentIndex() ? MainWindow::kSlideFromRight
                                                           : MainWindow::kSlideFromLeft,
                                to);
                ++switches;
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
        // 20 chats of 5,000 events each.
        for (int i = 1; i <= kChatsOpened; ++i) {
            OnWindowThread([&] {
                live.App().ContactsView()->OpenChat(live.Contact(i));
                ++opened;
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
        }
        // Every message stored, the held one too.
        const bool stored = WaitFor(
            [&] {
                return live.StoredMessages() >= before + kStormMessages &&
                       live.Contact(1)->History().MessageCount() > kOtherChatEvents;
            },
            std::chrono::seconds(120));
        OnWindowThread([&] {
            longest = monitor->LongestMs();
            p99 = monitor->P99Ms();
            monitor.reset();
        });
        if (!stored) std::fprintf(stderr, "window_stall: not every message was stored\n");
        return stored;
    });
    const bool ran = code == 0 && switches == 50 && opened == kChatsOpened;
    PrintFigure({"window_stall_worst",
                 static_cast<double>(longest),
                 "ms",
                 "<= 16 ms",
                 ran && longest >= 0 && longest <= 16,
                 {}});
    PrintFigure({"window_stall_p99",
                 static_cast<double>(p99),
                 "ms",
                 "<= 4 ms",
                 ran && p99 >= 0 && p99 <= 4,
                 {}});
    return ran ? 0 : 1;
}

int RunChatSoak(int argc, char** argv) {
    const char* minutesText = std::getenv("ZUL_SOAK_MINUTES");
    const double minutes =
        minutesText != nullptr && std::atof(minutesText) > 0 ? std::atof(minutesText) : 10.0;
    constexpr int kPerSecond = 100;
    const int total = static_cast<int>(minutes * 60 * kPerSecond);
    WorldSpec shape;
    shape.contactsPerAccount = 20;
    shape.groupsPerAccount = 2;
    shape.historyPerContact = 100;
    shape.firstContactMessages = 10000;
    const auto stream = [shape, total](std::vector<std::unique_ptr<AccountServers>>& servers,
                                       const std::atomic<bool>& stopping) {
        const std::vector<OutFrame> frames = LiveMessages(shape, 0, total, 1);
        const auto start = Clock::now();
        for (int k = 0; k < total && !stopping.load(); ++k) {
            std::this_thread::sleep_until(
                start + std::chrono::microseconds(static_cast<int64_t>(k) * 1000000 / kPerSecond));
            servers[0]->Service().Send(frames[static_cast<size_t>(k)]);
        }
    };
    LiveClient live(shape, stream);
    std::vector<double> samples;
    const int code = live.Run(argc, argv, [&] {
        if (!live.SignOnAndOpenChat()) throw std::runtime_error("sign-on failed");
        const int32_t before = live.StoredMessages();
        live.Servers().StartWork();
        const auto start = Clock::now();
        const auto end = start + std::chrono::milliseconds(static_cast<int64_t>(minutes * 60000));
        // From the end of the first minute (or of a tenth of a short run), every 30 s.
        const auto first =
            start + std::min(std::chrono::milliseconds(60000),
                             std::chrono::milliseconds(static_cast<int64_t>(minutes * 6000)));
        for (auto at = first; at <= end; at += std::chrono::seconds(30)) {
            std::this_thread::sleep_until(at);
            samples.push_back(static_cast<double>(ResidentBytes()) / (1024.0 * 1024.0));
        }
        std::this_thread::sleep_until(end);
        const bool stored = WaitFor([&] { return live.StoredMessages() >= before + total; },
                                    std::chrono::seconds(60));
        samples.push_back(static_cast<double>(ResidentBytes()) / (1024.0 * 1024.0));
        return stored;
    });
    if (samples.size() < 2) return 1;
    const double change = (samples.back() - samples.front()) / samples.front() * 100.0;
    PrintFigure({"chat_soak_resident_start", samples.front(), "MB", "", true, {}});
    PrintFigure({"chat_soak_resident_end", samples.back(), "MB", "", true, {}});
    PrintFigure(
        {"chat_soak_resident_change", change, "%", "<= 10 %", code == 0 && change <= 10, {}});
    return code;
}

}  // namespace zul::bench
