#include "tools/demo_profile.h"

#include "platform/paths.h"
#include "platform/text.h"
#include "storage/account_data.h"
#include "storage/database.h"
#include "storage/options.h"
#include "storage/status.h"

namespace zul::demo {

bool WriteDemoProfile(const std::string& folderIn, uint16_t port, std::string& error) {
    std::string folder = folderIn;
    if (folder.empty()) folder = "./";
    if (folder.back() != '/') folder += '/';
    if (!EnsureFolder(folder)) {
        error = "cannot create the folder " + folder;
        return false;
    }
    // The database log of this run goes beside the profile, not beside the tool.
    OverrideProgramFolder(folder);
    OverrideDataFolder(folder);
    if (!Database().OpenAt(folder + kProfileFileName)) {
        error = "cannot open " + folder + kProfileFileName + " (see db.log)";
        return false;
    }

    bool ok = Options().dbLoad();
    Options().RestoreLastStatusesOnStart = 1;
    Options().ReconnectOnError = 1;
    ok = ok && Options().SaveAll();

    // The stored account when there is one (its traffic counters, nickname and picture stay),
    // otherwise a new one.
    CAccountData account;
    account.SetID(kDemoAccountId);
    account.SetType(acctype::kIcq);
    account.SetLogin(kDemoLogin);
    account.SetPassword(u"demo");
    account.SetDescription(u"Demo account");
    try {
        std::lock_guard lock(Database().Mutex());
        CppSQLite3Command read = Database().Prepare(
            u"SELECT BytesIn,BytesOut,OwnerNick,Login,Password,Description FROM Accounts WHERE "
            u"ID=?");
        read.BindInt(1, kDemoAccountId);
        CppSQLite3ResultSet rows = Database().ExecuteQuery(read);
        if (!rows.IsEnd()) {
            account.SetBytesIn(static_cast<uint32_t>(rows.IntColumn(0)));
            account.SetBytesOut(static_cast<uint32_t>(rows.IntColumn(1)));
            account.SetOwnerNick(rows.TextColumn(2));
            if (!rows.TextColumn(3).empty()) account.SetLogin(rows.TextColumn(3));
            account.SetPassword(rows.TextColumn(4));
            account.SetDescription(rows.TextColumn(5));
        }
        rows.Finalize();
        read.Finalize();
    } catch (const CppSQLite3Exception&) {
        ok = false;
    }
    account.SetServer(u"127.0.0.1");
    account.SetPort(Widen(std::to_string(port)));
    account.SetEnabled(1);
    account.SetStatus(kStatusAvailable);  // saved as LastStatus: the client signs on at start
    ok = ok && account.dbSave();

    Database().Close();
    OverrideDataFolder("");
    OverrideProgramFolder("");
    if (!ok) error = "cannot write the demo account (see db.log in " + folder + ")";
    return ok;
}

}  // namespace zul::demo
