#include "storage/contacts.h"
#include "storage/database.h"
#include "storage/db_log.h"

namespace zul {
namespace {

// The row id for an account's server group id: the row it already has, else the server id
// itself, else the first of id + n * 0x10000 that no other account's group holds.
int32_t FreeRowID(CDatabase& db, int32_t accountID, uint16_t groupID) {
    {
        CppSQLite3Command own =
            db.Prepare(u"SELECT ID FROM Groups WHERE AccID=? AND (ID & 65535)=? LIMIT 1");
        own.BindInt(1, accountID);
        own.BindInt(2, groupID);
        CppSQLite3ResultSet rows = db.ExecuteQuery(own);
        if (!rows.IsEnd()) return rows.IntColumn(0, groupID);
    }
    for (int32_t id = groupID;; id += 0x10000) {
        CppSQLite3Command taken = db.Prepare(u"SELECT COUNT(*) FROM Groups WHERE ID=?");
        taken.BindInt(1, id);
        CppSQLite3ResultSet rows = db.ExecuteQuery(taken);
        if (rows.IsEnd() || rows.IntColumn(0, 0) == 0) return id;
    }
}

}  // namespace

CGroup::CGroup(int32_t accountID, uint16_t groupID, const std::u16string& name, CDatabase* db)
    : db_(db), accountID_(accountID), groupID_(groupID), virtual_(false), name_(name) {}

CGroup::CGroup(const std::u16string& name, CDatabase* db)
    : db_(db), accountID_(0), groupID_(0), virtual_(true), name_(name) {}

CDatabase& CGroup::Db() const {
    return db_ != nullptr ? *db_ : Database();
}

std::u16string CGroup::Name() const {
    std::lock_guard lock(nameMutex_);
    return name_;
}

void CGroup::SetExpanded(bool expanded) {
    expanded_.store(expanded);
    layoutVersion_.fetch_add(1);
}

bool CGroup::Rename(uint16_t groupID, const std::u16string& name) {
    {
        std::lock_guard lock(nameMutex_);
        if (GroupID() == groupID && name_ == name) return false;
        if (GroupID() != groupID) rowID_.store(0);  // a new server id needs its own row id
        groupID_.store(groupID);
        name_ = name;
    }
    Save();
    return true;
}

bool CGroup::Save() {
    return virtual_ ? __dbSaveVirtualGroup() : __dbSave();
}

bool CGroup::__dbSave() {
    return DbWork(u"CGroup::__dbSave()", [&] {
        CDatabase& db = Db();
        std::lock_guard dbLock(db.Mutex());
        if (RowID() == 0) SetRowID(FreeRowID(db, accountID_, GroupID()));
        CppSQLite3Command cmd =
            db.Prepare(u"REPLACE INTO Groups (AccID,ID,Expanded,Name) VALUES (?,?,?,?)");
        cmd.BindInt(1, accountID_);
        cmd.BindInt(2, RowID());
        cmd.BindInt(3, Expanded() ? 1 : 0);
        cmd.BindText(4, Name());
        db.Execute(cmd);
        return true;
    });
}

bool CGroup::__dbSaveVirtualGroup() {
    return DbWork(u"CGroup::__dbSaveVirtualGroup()", [&] {
        CDatabase& db = Db();
        std::lock_guard dbLock(db.Mutex());
        CppSQLite3Command cmd = db.Prepare(u"UPDATE Groups SET Expanded=? WHERE Name=?");
        cmd.BindInt(1, Expanded() ? 1 : 0);
        cmd.BindText(2, Name());
        db.Execute(cmd);
        return true;
    });
}

}  // namespace zul
