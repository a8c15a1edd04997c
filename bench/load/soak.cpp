// soak: five accounts with 2,000 contacts each signed on, and the servers pushing 100 incoming
// messages a second in total (spread over the accounts, 40 senders each) for
// $ZUL_SOAK_MINUTES minutes (default 10). The client process's resident memory, thread count
// and open descriptors are sampled once the sign-on has settled and then every
// $ZUL_SOAK_SAMPLE_SECONDS seconds (default 30); a figure that ends more than 10 % above its
// first sample fails the run.
//
// The servers run in a child process, so every figure is the client's own.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

#include "load/drivers.h"
#include "storage/database.h"
#include "support/figures.h"
#include "support/load_world.h"
#include "support/server_process.h"
#include "support/test_env.h"
#include "support/wire_builders.h"

namespace zul::bench {
namespace {

constexpr int kMessagesPerSecond = 100;
constexpr int kSendersPerAccount = 40;
constexpr double kAllowedGrowthPercent = 10.0;

double EnvNumber(const char* name, double fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    const double value = std::atof(text);
    return value > 0 ? value : fallback;
}

struct Sample {
    double seconds = 0;
    double residentMb = 0;
    double threads = 0;
    double descriptors = 0;
    int64_t stored = 0;  // incoming messages committed to the profile
};

int64_t StoredMessages() {
    int64_t rows = 0;
    WithCommittedProfile([&] {
        CppSQLite3Command count =
            Database().Prepare(u"SELECT COUNT(*) FROM History WHERE EventType=2 AND Direction=0");
        rows = Database().ExecuteScalar(count);
    });
    return rows;
}

Sample TakeSample(Clock::time_point start) {
    Sample s;
    s.seconds = SecondsBetween(start, Clock::now());
    s.residentMb = static_cast<double>(ResidentBytes()) / (1024.0 * 1024.0);
    s.threads = static_cast<double>(test::ThreadCount());
    // Counted with no transaction open, so that a journal file of the moment does not count.
    WithCommittedProfile([&] { s.descriptors = static_cast<double>(test::OpenDescriptors()); });
    s.stored = StoredMessages();
    char line[160];
    std::snprintf(line, sizeof line,
                  "soak t=%4.0f s  resident %.1f MB  threads %.0f  descriptors %.0f  "
                  "messages stored %lld",
                  s.seconds, s.residentMb, s.threads, s.descriptors,
                  static_cast<long long>(s.stored));
    PrintNote(line);
    return s;
}

// Start, end and maximum of one measure, and its change from start to end; true when the end
// stays within the allowed growth.
bool ReportGrowth(const std::string& name, const std::string& unit,
                  const std::vector<Sample>& samples, double Sample::*measure) {
    const double first = samples.front().*measure;
    const double last = samples.back().*measure;
    double most = first;
    for (const Sample& s : samples) most = std::max(most, s.*measure);
    const double change = first > 0 ? (last - first) / first * 100.0 : 0.0;
    const bool met = change <= kAllowedGrowthPercent;
    PrintFigure({"soak_" + name + "_start", first, unit, "", true, {}});
    PrintFigure({"soak_" + name + "_end", last, unit, "", true, {}});
    PrintFigure({"soak_" + name + "_max", most, unit, "", true, {}});
    PrintFigure({"soak_" + name + "_change", change, "%", "<= 10 %", met, {}});
    return met;
}

// The child's side: message k goes to account k mod 5 at start + k / rate, from the account's
// senders in turn. A child that falls behind catches up at once.
ServerProcess::ChildWork MessageStream(const WorldSpec& shape, int total) {
    return [shape, total](std::vector<std::unique_ptr<AccountServers>>& servers,
                          const std::atomic<bool>& stopping) {
        const int accounts = static_cast<int>(servers.size());
        std::vector<std::vector<OutFrame>> frames;
        for (int a = 0; a < accounts; ++a) {
            frames.push_back(LiveMessages(shape, a, total / accounts + 1, kSendersPerAccount));
        }
        const auto start = Clock::now();
        for (int k = 0; k < total && !stopping.load(); ++k) {
            const auto due = start + std::chrono::microseconds(static_cast<int64_t>(k) * 1000000 /
                                                               kMessagesPerSecond);
            std::this_thread::sleep_until(due);
            const int a = k % accounts;
            ScriptedServer& service = servers[a]->Service();
            if (service.ConnectionCount() > 0) service.Send(frames[a][k / accounts]);
        }
    };
}

}  // namespace

int RunSoak() {
    const double minutes = EnvNumber("ZUL_SOAK_MINUTES", 10);
    const double sampleSeconds = EnvNumber("ZUL_SOAK_SAMPLE_SECONDS", 30);
    const int total = static_cast<int>(minutes * 60 * kMessagesPerSecond);

    WorldSpec shape;
    shape.accounts = 5;
    shape.contactsPerAccount = 2000;
    shape.groupsPerAccount = 20;
    shape.pictureBytes = 2048;
    ServiceScript script;
    script.presenceNotices = shape.contactsPerAccount;
    ServerProcess servers(shape, script, MessageStream(shape, total));

    test::IsolatedFolders folders;
    WriteProfile(folders.DataDir() + "zul.profile", shape, servers.LoginPorts());
    Client client(folders.DataDir());
    for (int a = 0; a < shape.accounts; ++a) client.AddAccount(a, servers.LoginPorts()[a]);
    for (const auto& account : client.Accounts()) account->RequestStatus(0);
    for (const auto& account : client.Accounts()) {
        if (!Client::WaitUntil(
                [&] { return account->Status() == 0 && account->DeferredCount() == 0; },
                std::chrono::seconds(120), std::chrono::milliseconds(5))) {
            throw std::runtime_error("sign-on failed");
        }
    }
    // Settled: every presence notice has its row, and the first idle passes are done.
    const int64_t presenceRows = static_cast<int64_t>(shape.accounts) * script.presenceNotices;
    const bool presence = Client::WaitUntil(
        [&] {
            int64_t rows = 0;
            WithCommittedProfile([&] {
                CppSQLite3Command count = Database().Prepare(u"SELECT COUNT(*) FROM History");
                rows = Database().ExecuteScalar(count);
            });
            return rows >= presenceRows;
        },
        std::chrono::seconds(120), std::chrono::milliseconds(10));
    if (!presence) throw std::runtime_error("the presence notices were not all stored");
    std::this_thread::sleep_for(std::chrono::seconds(5));

    char plan[160];
    std::snprintf(plan, sizeof plan,
                  "soak: %d accounts x %d contacts, %d messages a second for %.4g min (%d "
                  "messages), a sample every %.4g s",
                  shape.accounts, shape.contactsPerAccount, kMessagesPerSecond, minutes, total,
                  sampleSeconds);
    PrintNote(plan);
    const auto start = Clock::now();
    std::vector<Sample> samples = {TakeSample(start)};
    servers.StartWork();
    const auto end = start + std::chrono::milliseconds(static_cast<int64_t>(minutes * 60000));
    for (int i = 1;; ++i) {
        const auto next =
            start + std::chrono::milliseconds(static_cast<int64_t>(i * sampleSeconds * 1000));
        if (next >= end) break;
        std::this_thread::sleep_until(next);
        samples.push_back(TakeSample(start));
    }
    std::this_thread::sleep_until(end);
    // The last messages of the stream are committed within moments.
    Client::WaitUntil([&] { return StoredMessages() >= total; }, std::chrono::seconds(30),
                      std::chrono::milliseconds(50));
    samples.push_back(TakeSample(start));

    bool ok = true;
    ok &= ReportGrowth("resident", "MB", samples, &Sample::residentMb);
    ok &= ReportGrowth("threads", "threads", samples, &Sample::threads);
    ok &= ReportGrowth("descriptors", "descriptors", samples, &Sample::descriptors);
    const int64_t stored = samples.back().stored;
    const double seconds = SecondsBetween(start, end);
    PrintFigure({"soak_messages",
                 static_cast<double>(stored),
                 "messages",
                 ">= " + std::to_string(total),
                 stored >= total,
                 {}});
    PrintFigure(
        {"soak_message_rate", static_cast<double>(stored) / seconds, "msg/s", "", true, {}});
    ok &= stored >= total;
    return ok ? 0 : 1;
}

}  // namespace zul::bench
