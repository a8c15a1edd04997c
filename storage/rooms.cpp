#include "storage/rooms.h"

#include <sqlite3.h>

#include <algorithm>

#include "platform/local_time.h"
#include "storage/change_feed.h"
#include "storage/database.h"
#include "storage/db_log.h"

namespace zul {
namespace {

char16_t LowerAscii(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

// The rowid of the last insert on the profile's connection (the caller holds its lock).
int64_t LastRowId() {
    return sqlite3_last_insert_rowid(Database().Connection().Handle());
}

void PublishRepaint() {
    Changes().Publish(Change{Change::Kind::kRepaint});
}

}  // namespace

std::u16string FoldRoomName(std::u16string_view name) {
    std::u16string key;
    key.reserve(name.size());
    for (char16_t c : name) {
        if (c != u' ') key.push_back(LowerAscii(c));
    }
    return key;
}

CRoom::CRoom(int32_t accountId, int64_t id, uint16_t exchange, std::u16string name, bool kept)
    : accountId_(accountId), id_(id), exchange_(exchange), name_(std::move(name)), kept_(kept) {}

void CRoom::Touch() {
    version_.fetch_add(1);
    PublishRepaint();
}

RoomState CRoom::State() const {
    std::lock_guard lock(mutex_);
    return state_;
}

std::u16string CRoom::Problem() const {
    std::lock_guard lock(mutex_);
    return problem_;
}

void CRoom::SetState(RoomState state, std::u16string problem) {
    {
        std::lock_guard lock(mutex_);
        state_ = state;
        problem_ = std::move(problem);
        if (state != RoomState::kIn) members_.clear();
    }
    Touch();
}

std::optional<RoomRef> CRoom::Ref() const {
    std::lock_guard lock(mutex_);
    return ref_;
}

void CRoom::SetRef(RoomRef ref) {
    std::lock_guard lock(mutex_);
    ref_ = std::move(ref);
}

bool CRoom::SetKept(bool kept) {
    kept_.store(kept);
    Touch();
    return DbWork(u"CRoom::SetKept(): ", [&] {
        std::lock_guard lock(Database().Mutex());
        CppSQLite3Command command = Database().Prepare(u"UPDATE Rooms SET Kept=? WHERE ID=?");
        command.BindInt(1, kept ? 1 : 0);
        command.BindInt64(2, id_);
        Database().Execute(command);
    });
}

std::vector<std::u16string> CRoom::Members() const {
    std::lock_guard lock(mutex_);
    std::vector<std::u16string> out;
    out.reserve(members_.size());
    for (const auto& [key, name] : members_) out.push_back(name);
    return out;
}

size_t CRoom::MemberCount() const {
    std::lock_guard lock(mutex_);
    return members_.size();
}

std::vector<std::u16string> CRoom::AddMembers(const std::vector<std::u16string>& names) {
    std::vector<std::u16string> added;
    {
        std::lock_guard lock(mutex_);
        for (const std::u16string& name : names) {
            if (members_.size() >= kMaxMembers) break;
            std::u16string key = FoldRoomName(name);
            if (key.empty()) continue;
            if (members_.emplace(std::move(key), name).second) added.push_back(name);
        }
    }
    if (!added.empty()) Touch();
    return added;
}

std::vector<std::u16string> CRoom::RemoveMembers(const std::vector<std::u16string>& names) {
    std::vector<std::u16string> removed;
    {
        std::lock_guard lock(mutex_);
        for (const std::u16string& name : names) {
            auto at = members_.find(FoldRoomName(name));
            if (at == members_.end()) continue;
            removed.push_back(at->second);
            members_.erase(at);
        }
    }
    if (!removed.empty()) Touch();
    return removed;
}

void CRoom::ClearMembers() {
    {
        std::lock_guard lock(mutex_);
        members_.clear();
    }
    Touch();
}

bool CRoom::AddEvent(RoomEvent event) {
    if (event.time == 0) event.time = LocalFileTimeNow();
    // The profile's lock comes before the room's.
    const bool stored = DbWork(u"CRoom::AddEvent(): ", [&] {
        std::lock_guard lock(Database().Mutex());
        CppSQLite3Command command = Database().Prepare(
            u"INSERT INTO RoomHistory (RoomID, EventTime, Kind, Who, Message) VALUES (?,?,?,?,?)");
        command.BindInt64(1, id_);
        command.BindInt64(2, static_cast<int64_t>(event.time));
        command.BindInt(3, event.kind);
        command.BindText(4, event.who);
        command.BindText(5, event.text);
        Database().Execute(command);
        event.number = LastRowId();
    });
    {
        std::lock_guard lock(mutex_);
        if (recentLoaded_) {
            recent_.push_back(std::move(event));
            if (recent_.size() > kRecentEvents) recent_.erase(recent_.begin());
        }
    }
    Touch();
    return stored;
}

void CRoom::LoadRecentLocked() {
    recentLoaded_ = true;
    DbWork(u"CRoom::Recent(): ", [&] {
        CppSQLite3Command command = Database().Prepare(
            u"SELECT ID, EventTime, Kind, Who, Message FROM RoomHistory WHERE RoomID=? ORDER BY "
            u"ID DESC LIMIT ?");
        command.BindInt64(1, id_);
        command.BindInt(2, static_cast<int32_t>(kRecentEvents));
        CppSQLite3ResultSet rows = Database().ExecuteQuery(command);
        std::vector<RoomEvent> read;
        for (; !rows.IsEnd(); rows.Next()) {
            RoomEvent e;
            e.number = sqlite3_column_int64(command.Statement(), 0);
            e.time = static_cast<uint64_t>(sqlite3_column_int64(command.Statement(), 1));
            const int32_t kind = rows.IntColumn(2);
            e.kind = kind >= 0 && kind <= RoomEvent::kNotice ? static_cast<RoomEvent::Kind>(kind)
                                                             : RoomEvent::kNotice;
            e.who = rows.TextColumn(3);
            e.text = rows.TextColumn(4);
            read.push_back(std::move(e));
        }
        rows.Finalize();
        command.Finalize();
        std::reverse(read.begin(), read.end());
        // What arrived before the load is newer than what was read.
        read.insert(read.end(), recent_.begin(), recent_.end());
        recent_ = std::move(read);
    });
}

std::vector<RoomEvent> CRoom::Recent() {
    std::lock_guard db(Database().Mutex());
    std::lock_guard lock(mutex_);
    if (!recentLoaded_) LoadRecentLocked();
    return recent_;
}

std::optional<std::vector<RoomEvent>> CRoom::TryRecent() {
    {
        std::lock_guard lock(mutex_);
        if (recentLoaded_) return recent_;
    }
    std::unique_lock db(Database().Mutex(), std::try_to_lock);
    if (!db.owns_lock()) return std::nullopt;
    std::lock_guard lock(mutex_);
    if (!recentLoaded_) LoadRecentLocked();
    return recent_;
}

void CRoomList::Touch() {
    version_.fetch_add(1);
    PublishRepaint();
}

bool CRoomList::Load() {
    {
        std::lock_guard lock(mutex_);
        if (loaded_) return true;
    }
    std::vector<RoomPtr> read;
    const bool ok = DbWork(u"CRoomList::Load(): ", [&] {
        std::lock_guard db(Database().Mutex());
        CppSQLite3Command command = Database().Prepare(
            u"SELECT ID, Exchange, Name, Kept FROM Rooms WHERE AccID=? ORDER BY ID");
        command.BindInt(1, accountId_);
        CppSQLite3ResultSet rows = Database().ExecuteQuery(command);
        for (; !rows.IsEnd(); rows.Next()) {
            const int64_t id = sqlite3_column_int64(command.Statement(), 0);
            const int32_t exchange = rows.IntColumn(1);
            if (exchange < 0 || exchange > 0xFFFF) continue;
            read.push_back(std::make_shared<CRoom>(accountId_, id, static_cast<uint16_t>(exchange),
                                                   rows.TextColumn(2), rows.IntColumn(3) != 0));
        }
        rows.Finalize();
        command.Finalize();
    });
    std::lock_guard lock(mutex_);
    if (loaded_) return true;
    if (!ok) return false;
    loaded_ = true;
    rooms_ = std::move(read);
    return true;
}

std::vector<RoomPtr> CRoomList::All() const {
    std::lock_guard lock(mutex_);
    return rooms_;
}

RoomPtr CRoomList::Find(int64_t id) const {
    std::lock_guard lock(mutex_);
    for (const RoomPtr& room : rooms_) {
        if (room->Id() == id) return room;
    }
    return nullptr;
}

RoomPtr CRoomList::Find(uint16_t exchange, std::u16string_view name) const {
    const std::u16string key = FoldRoomName(name);
    std::lock_guard lock(mutex_);
    for (const RoomPtr& room : rooms_) {
        if (room->Exchange() == exchange && FoldRoomName(room->Name()) == key) return room;
    }
    return nullptr;
}

RoomPtr CRoomList::Open(uint16_t exchange, const std::u16string& name) {
    if (FoldRoomName(name).empty() || name.size() > kMaxNameLength) return nullptr;
    Load();
    if (RoomPtr found = Find(exchange, name)) return found;
    int64_t id = 0;
    const bool stored = DbWork(u"CRoomList::Open(): ", [&] {
        std::lock_guard db(Database().Mutex());
        CppSQLite3Command command =
            Database().Prepare(u"INSERT INTO Rooms (AccID, Exchange, Name, Kept) VALUES (?,?,?,1)");
        command.BindInt(1, accountId_);
        command.BindInt(2, exchange);
        command.BindText(3, name);
        Database().Execute(command);
        id = LastRowId();
    });
    if (!stored || id == 0) return nullptr;
    RoomPtr room = std::make_shared<CRoom>(accountId_, id, exchange, name, true);
    {
        std::lock_guard lock(mutex_);
        rooms_.push_back(room);
    }
    Touch();
    return room;
}

bool CRoomList::Forget(int64_t id) {
    const bool ok = DbWork(u"CRoomList::Forget(): ", [&] {
        std::lock_guard db(Database().Mutex());
        CppSQLite3Command command = Database().Prepare(u"DELETE FROM Rooms WHERE ID=?");
        command.BindInt64(1, id);
        Database().Execute(command);
    });
    {
        std::lock_guard lock(mutex_);
        std::erase_if(rooms_, [id](const RoomPtr& room) { return room->Id() == id; });
    }
    Touch();
    return ok;
}

uint32_t CRoomList::AddInvitation(RoomInvitation invitation) {
    if (invitation.time == 0) invitation.time = LocalFileTimeNow();
    uint32_t id = 0;
    {
        std::lock_guard lock(mutex_);
        id = invitation.id = nextInvitation_++;
        if (invitations_.size() >= kMaxInvitations) invitations_.erase(invitations_.begin());
        invitations_.push_back(std::move(invitation));
    }
    Touch();
    return id;
}

std::vector<RoomInvitation> CRoomList::Invitations() const {
    std::lock_guard lock(mutex_);
    return invitations_;
}

std::optional<RoomInvitation> CRoomList::TakeInvitation(uint32_t id) {
    std::optional<RoomInvitation> taken;
    {
        std::lock_guard lock(mutex_);
        auto at = std::find_if(invitations_.begin(), invitations_.end(),
                               [id](const RoomInvitation& i) { return i.id == id; });
        if (at == invitations_.end()) return std::nullopt;
        taken = std::move(*at);
        invitations_.erase(at);
    }
    Touch();
    return taken;
}

}  // namespace zul
