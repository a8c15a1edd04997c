// The generated world of the load drivers: accounts, groups and contacts with fixed identifiers,
// and a profile file written in bulk (one transaction) holding them, their pictures and their
// history, as an earlier session of the client would have left it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace zul::bench {

struct WorldSpec {
    int accounts = 1;
    int contactsPerAccount = 0;
    int groupsPerAccount = 20;
    // Bytes of each contact's stored picture; 0: no pictures.
    size_t pictureBytes = 0;
    // Delivered and read messages per contact, alternating in and out.
    int historyPerContact = 0;
    // Outgoing messages per contact that wait to be sent.
    int pendingPerContact = 0;
    // Delivered and read messages of the first contact of the first account, instead of
    // historyPerContact (a long conversation).
    int firstContactMessages = -1;
    // The status the accounts were left in (LastStatus): -1 offline; another status makes the
    // client sign them on at start.
    int32_t lastStatus = -1;
    // The profile holds the history counts a client leaves at exit (HistoryTotals); without
    // them the first start counts every history.
    bool historyCountsSaved = true;
};

// Identifiers of the world. Account a counts from 0, contact i from 0 within its account.
int32_t AccountId(int a);
std::u16string AccountLogin(int a);
// Group ids are unique in the profile (the Groups table keys on the id alone).
uint16_t GroupId(int a, int g);
std::string GroupName(int g);
std::string ContactLogin(int a, int i);
std::string ContactNickname(int a, int i);
int32_t ContactLocalId(int a, int i);
uint16_t ContactSrvId(int i);
uint16_t ContactGroupId(const WorldSpec& shape, int a, int i);
// The stored picture of a contact and its MD5 digest.
std::vector<uint8_t> ContactPicture(const WorldSpec& shape, int a, int i);
std::array<uint8_t, 16> PictureDigest(const std::vector<uint8_t>& picture);

// Writes the world into the profile at `path` (created with the program's schema): the
// account rows (logging in at 127.0.0.1:loginPorts[a]), groups, contacts with pictures and
// history rows, in one transaction. The process database is left closed.
void WriteProfile(const std::string& path, const WorldSpec& shape,
                  const std::vector<uint16_t>& loginPorts);

// Rows of a table, read through a connection of its own (only committed rows count).
int64_t CountCommittedRows(const std::string& path, const std::string& sql);

}  // namespace zul::bench
