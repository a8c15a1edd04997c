// Loading an account's groups and contacts from the profile into the store. The log names
// the account's loaders that ask for these ("CAccount::dbLoadGroups(): " and
// "CAccount::dbLoadContacts_Grouped(): ").
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/error.h"
#include "storage/account_data.h"
#include "storage/contacts.h"
#include "storage/database.h"
#include "storage/db_log.h"

namespace zul {

bool CContacts::dbLoadGroupsOf(int32_t accountID) {
    CDatabase& db = Db();
    std::lock_guard dbLock(db.Mutex());
    return DbWork(u"CAccount::dbLoadGroups(): ", [&] {
        CppSQLite3Command cmd = db.Prepare(u"SELECT * FROM Groups WHERE AccID=?");
        cmd.BindInt(1, accountID);
        CppSQLite3ResultSet rows = db.ExecuteQuery(cmd);
        while (!rows.IsEnd()) {
            // The row id's low 16 bits are the server's group id (see CGroup::RowID).
            const int32_t rowID = rows.IntColumn(u"ID", 0);
            auto group = std::make_unique<CGroup>(accountID, static_cast<uint16_t>(rowID & 0xFFFF),
                                                  rows.TextColumn(u"Name", u""));
            group->SetRowID(rowID);
            group->SetExpanded(rows.IntColumn(u"Expanded", 0) != 0);
            AddGroup(std::move(group), false);
            rows.Next();
        }
        return true;
    });
}

bool CContacts::dbLoadContactsOf(CStoreAccount* account) {
    // The counts of each contact's history come with it: the unread messages in one walk of
    // their own index, the others from the contact's HistoryTotals row, which the profile drops
    // whenever that history changes. A contact without a row has its newest event's number
    // looked up when its first event comes, its other counts when first asked for.
    static constexpr const char16_t* kContacts =
        u"SELECT C.*, T.Newest AS TotalNewest, T.Messages AS TotalMessages, T.Events AS "
        u"TotalEvents FROM Contacts C LEFT JOIN HistoryTotals T ON T.AccID=C.AccID AND "
        u"T.ContactID=C.LocalID WHERE C.AccID=?";
    const int32_t accountID = account->ID();
    CDatabase& db = Db();
    std::lock_guard dbLock(db.Mutex());
    return DbWork(u"CAccount::dbLoadContacts_Grouped(): ", [&] {
        // A contact is listed in its group (the group's row id keeps the server's group id in
        // its low 16 bits) or, with group 0, in none; one whose group is gone is not loaded.
        std::unordered_map<uint16_t, std::u16string> groupNames;
        {
            CppSQLite3Command cmd = db.Prepare(u"SELECT ID, Name FROM Groups WHERE AccID=?");
            cmd.BindInt(1, accountID);
            for (CppSQLite3ResultSet rows = db.ExecuteQuery(cmd); !rows.IsEnd(); rows.Next()) {
                groupNames.try_emplace(static_cast<uint16_t>(rows.IntColumn(0, 0) & 0xFFFF),
                                       rows.TextColumn(1, u""));
            }
        }
        std::unordered_map<int32_t, int32_t> unreadCounts;
        {
            CppSQLite3Command cmd = db.Prepare(
                u"SELECT ContactID, COUNT(*) FROM History INDEXED BY HistoryUnread WHERE AccID=? "
                u"AND EventType=2 AND Unread=1 GROUP BY ContactID");
            cmd.BindInt(1, accountID);
            for (CppSQLite3ResultSet rows = db.ExecuteQuery(cmd); !rows.IsEnd(); rows.Next())
                unreadCounts[rows.IntColumn(0, 0)] = std::max(0, rows.IntColumn(1, 0));
        }
        {
            CppSQLite3Command cmd = db.Prepare(kContacts);
            cmd.BindInt(1, accountID);
            CppSQLite3ResultSet rows = db.ExecuteQuery(cmd);
            // The columns are found by name once, not for every contact.
            struct Columns {
                int onServer, awaitingAuth, phone, email, note, nickname, login, groupID, srvID,
                    localID, visible, invisible, ignored, avatar, newest, messages, events;
            } col{};
            if (!rows.IsEnd()) {
                col = {rows.ColumnIndex(u"OnServer"),    rows.ColumnIndex(u"AwaitingAuth"),
                       rows.ColumnIndex(u"Phone"),       rows.ColumnIndex(u"Email"),
                       rows.ColumnIndex(u"Note"),        rows.ColumnIndex(u"Nickname"),
                       rows.ColumnIndex(u"Login"),       rows.ColumnIndex(u"GroupID"),
                       rows.ColumnIndex(u"SrvID"),       rows.ColumnIndex(u"LocalID"),
                       rows.ColumnIndex(u"Visible"),     rows.ColumnIndex(u"Invisible"),
                       rows.ColumnIndex(u"Ignored"),     rows.ColumnIndex(u"Avatar"),
                       rows.ColumnIndex(u"TotalNewest"), rows.ColumnIndex(u"TotalMessages"),
                       rows.ColumnIndex(u"TotalEvents")};
            }
            // The pictures are given to the contacts after the pass: allocated after them
            // rather than between them, the contacts (which every list item and presence
            // notice visits) lie close together in memory.
            // They wait in chunks of their own (never moved again as more come).
            struct PendingPicture {
                ContactPtr contact;
                const uint8_t* bytes;
                size_t size;
            };
            constexpr size_t kChunkBytes = 1 << 22;
            std::vector<std::unique_ptr<uint8_t[]>> chunks;
            size_t chunkUsed = kChunkBytes;
            auto keep = [&](const uint8_t* bytes, size_t size) {
                if (size > kChunkBytes - chunkUsed) {
                    chunks.push_back(
                        std::make_unique_for_overwrite<uint8_t[]>(std::max(size, kChunkBytes)));
                    chunkUsed = 0;
                }
                uint8_t* copy = chunks.back().get() + chunkUsed;
                std::memcpy(copy, bytes, size);
                chunkUsed += size;
                return copy;
            };
            std::vector<PendingPicture> pictures;
            while (!rows.IsEnd()) {
                const auto groupID = static_cast<uint16_t>(rows.IntColumn(col.groupID, 0));
                std::u16string groupName;
                if (groupID != 0) {
                    const auto group = groupNames.find(groupID);
                    if (group == groupNames.end()) {
                        rows.Next();
                        continue;
                    }
                    groupName = group->second;
                }
                const bool onServer = rows.IntColumn(col.onServer, 0) != 0;
                const bool awaitingAuth = rows.IntColumn(col.awaitingAuth, 0) != 0;
                const std::u16string phone = rows.TextColumn(col.phone, u"");
                const std::u16string email = rows.TextColumn(col.email, u"");
                const std::u16string note = rows.TextColumn(col.note, u"");
                const std::u16string nickname = rows.TextColumn(col.nickname, u"");
                const std::u16string login = rows.TextColumn(col.login, u"");
                const auto srvID = static_cast<uint16_t>(rows.IntColumn(col.srvID, 0));
                const int32_t localID = rows.IntColumn(col.localID, 0);
                const auto unread = unreadCounts.find(localID);
                HistoryCounts counts{.unread = unread == unreadCounts.end() ? 0 : unread->second};
                if (!rows.IsNull(col.newest)) {
                    counts.newest = std::max(0, rows.IntColumn(col.newest, 0));
                    counts.messages = rows.IntColumn(col.messages, -1);
                    counts.events = rows.IntColumn(col.events, -1);
                }
                ContactPtr contact;
                try {
                    contact = AddContact(account,
                                         ContactFields{.localID = localID,
                                                       .srvID = srvID,
                                                       .groupID = groupID,
                                                       .groupName = groupName,
                                                       .login = login,
                                                       .nickname = nickname,
                                                       .note = note,
                                                       .email = email,
                                                       .phone = phone,
                                                       .awaitingAuth = awaitingAuth,
                                                       .onServer = onServer,
                                                       .counts = counts},
                                         false, false);
                    if (contact) {
                        contact->SetVisible(rows.IntColumn(col.visible, 0));
                        contact->SetInvisible(rows.IntColumn(col.invisible, 0));
                        contact->SetIgnored(rows.IntColumn(col.ignored, 0));
                        int blobBytes = 0;
                        const uint8_t* picture = rows.BlobColumn(col.avatar, blobBytes);
                        const size_t size = blobBytes > 0 ? static_cast<size_t>(blobBytes) : 0;
                        if (picture && size > 0) {
                            pictures.push_back({contact, keep(picture, size), size});
                        }
                    }
                } catch (const CError&) {
                    contact = nullptr;
                }
                if (!contact) return false;
                rows.Next();
            }
            for (const PendingPicture& p : pictures) {
                try {
                    p.contact->SetPicture(p.bytes, p.size, false);
                } catch (const CError&) {
                    return false;
                }
            }
        }
        return true;
    });
}

}  // namespace zul
