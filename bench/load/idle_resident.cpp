// idle: three accounts online and no traffic; the CPU time the client process uses in 60 s
// ($ZUL_BENCH_IDLE_SECONDS shortens the wait; the target scales with it).
// resident: five accounts with 2,000 contacts each online, every contact with a stored picture
// and a presence notice; the client process's resident memory.
//
// The servers run in a child process in both, so the figures are the client's own.
#include <cstdlib>
#include <thread>

#include "load/drivers.h"
#include "storage/database.h"
#include "support/figures.h"
#include "support/load_world.h"
#include "support/server_process.h"

namespace zul::bench {
namespace {

bool SignOnAll(Client& client) {
    for (const auto& account : client.Accounts()) account->RequestStatus(0);
    for (const auto& account : client.Accounts()) {
        if (!Client::WaitUntil(
                [&] { return account->Status() == 0 && account->DeferredCount() == 0; },
                std::chrono::seconds(120), std::chrono::milliseconds(5))) {
            return false;
        }
    }
    return true;
}

}  // namespace

int RunIdle() {
    WorldSpec shape;
    shape.accounts = 3;
    shape.contactsPerAccount = 1000;
    shape.groupsPerAccount = 20;
    shape.pictureBytes = 1024;
    ServiceScript script;
    script.presenceNotices = 300;
    ServerProcess servers(shape, script);

    test::IsolatedFolders folders;
    WriteProfile(folders.DataDir() + "zul.profile", shape, servers.LoginPorts());
    Client client(folders.DataDir());
    for (int a = 0; a < shape.accounts; ++a) client.AddAccount(a, servers.LoginPorts()[a]);
    if (!SignOnAll(client)) throw std::runtime_error("sign-on failed");
    // The presence notices are handled and the first idle passes are done.
    std::this_thread::sleep_for(std::chrono::seconds(3));

    const int seconds = IdleSeconds();
    const double before = ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double used = ProcessCpuSeconds() - before;
    const double limit = 0.06 * seconds / 60.0;
    char target[64];
    std::snprintf(target, sizeof target, "<= %.2g s in %d s", limit, seconds);
    PrintFigure({"idle", used, "s CPU", target, used <= limit, {}});
    return 0;
}

int RunResident() {
    WorldSpec shape;
    shape.accounts = 5;
    shape.contactsPerAccount = 2000;
    shape.groupsPerAccount = 20;
    shape.pictureBytes = 2048;
    ServiceScript script;
    script.presenceNotices = shape.contactsPerAccount;
    ServerProcess servers(shape, script);

    test::IsolatedFolders folders;
    WriteProfile(folders.DataDir() + "zul.profile", shape, servers.LoginPorts());
    Client client(folders.DataDir());
    for (int a = 0; a < shape.accounts; ++a) client.AddAccount(a, servers.LoginPorts()[a]);
    if (!SignOnAll(client)) throw std::runtime_error("sign-on failed");

    // Every presence notice has its row.
    const int64_t expected = static_cast<int64_t>(shape.accounts) * script.presenceNotices;
    int64_t events = 0;
    const bool stored = Client::WaitUntil(
        [&] {
            WithCommittedProfile([&] {
                CppSQLite3Command count = Database().Prepare(u"SELECT COUNT(*) FROM History");
                events = Database().ExecuteScalar(count);
            });
            return events >= expected;
        },
        std::chrono::seconds(120), std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::seconds(2));

    const double mb = static_cast<double>(ResidentBytes()) / (1024.0 * 1024.0);
    PrintFigure({"resident", mb, "MB", "<= 150 MB", stored && mb <= 150, {}});
    PrintFigure({"resident_peak",
                 static_cast<double>(PeakResidentBytes()) / (1024.0 * 1024.0),
                 "MB",
                 "",
                 true,
                 {}});
    return stored ? 0 : 1;
}

}  // namespace zul::bench
