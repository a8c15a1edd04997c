// The working state of one download of the server-side list, which may come in several
// replies; a running session keeps an unfinished one until its last reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/tick.h"

namespace zul {

class CContact;

// Bounds of one download: a server that keeps saying "more follows" must not grow the client
// without end. Well above the 65,535 items a list can hold.
constexpr size_t kMaxDownloadItems = 100000;
constexpr size_t kMaxDownloadBytes = 32u * 1024 * 1024;
constexpr uint32_t kMaxDownloadMs = 180000;

// The working lists of one download of the list, which may come in several replies.
struct ListDownload {
    // The stored contacts the buddy items stood for (held, so that no other contact can take
    // a listed one's address meanwhile), and the names of the buddy items that reached none:
    // Reconcile asks the contacts first and the names only for a contact no item reached.
    std::vector<std::shared_ptr<CContact>> listed;
    std::vector<std::u16string> buddies, visible, invisible, ignored;
    std::vector<uint16_t> groupIds;
    // The LocalIDs of every contact row of the profile, read once for the download: the
    // contacts it makes take none of them, and so start with an empty history that nobody
    // needs to count (CContacts::AddNewContact).
    std::optional<std::unordered_set<int32_t>> storedIDs;
    // A reply was dropped as malformed: the lists are incomplete, so nothing may be taken
    // away from the store on their account.
    bool incomplete = false;
    size_t items = 0;
    size_t bytes = 0;
    uint32_t started = GetTick();
    // Went past its bounds: the rest of it is read and dropped, and nothing is reconciled.
    bool abandoned = false;

    bool PastBounds() const {
        return items > kMaxDownloadItems || bytes > kMaxDownloadBytes ||
               GetTick() - started > kMaxDownloadMs;
    }
};

}  // namespace zul
