// The tables a session keeps: rate classes, pending requests, the avatar queue and the logins
// waiting for a query of their own. Each shared one has its own lock; every operation takes
// it for one lookup or update.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace zul {

struct RateClass {
    uint16_t id = 0;  // the server's class id; 0 for a padding position
    uint32_t windowSize = 0;
    uint32_t clearLevel = 0;
    uint32_t alertLevel = 0;
    uint32_t limitLevel = 0;
    uint32_t currentLevel = 0;
    uint32_t maxLevel = 0;
    uint32_t lastSend = 0;          // tick of the last send in this class
    std::vector<uint32_t> members;  // family << 16 | subtype
};

class RateClassTable {
  public:
    void Clear();
    void Assign(std::vector<RateClass> classes);
    size_t Count() const;
    // Position of the first class holding (family, subtype); nothing when none does.
    std::optional<size_t> Find(uint16_t family, uint16_t subtype) const;
    std::optional<RateClass> At(size_t position) const;
    // Position of the class the server announced with `id`.
    std::optional<size_t> FindId(uint16_t id) const;
    // The announced class ids in announcement order (what the acknowledgement lists).
    std::vector<uint16_t> Ids() const;
    // The parameters and current level of a class as the server announced them at `now`.
    void ApplyServerLevels(size_t position, const RateClass& levels, uint32_t now);
    void Store(size_t position, uint32_t level, uint32_t lastSend);
    std::mutex& Mutex() const { return mutex_; }

  private:
    mutable std::mutex mutex_;
    std::vector<RateClass> classes_;
};

struct PendingRequest {
    uint16_t id = 0;
    uint32_t kind = 0;
    std::u16string text;
    std::vector<uint8_t> data;  // what the request carried, where an answer may need it again
    uint32_t added = 0;         // tick when it was sent
};

class PendingRequests {
  public:
    // Requests kept at most (well above the details requests of a large list, well below the
    // 65,535 ids); adding one more gives up the oldest.
    static constexpr size_t kMaxCount = 16384;
    // Draws a fresh non-zero id not in use and appends a record with it.
    uint16_t Add(uint32_t kind, const std::u16string& text = std::u16string(),
                 std::vector<uint8_t> data = {});
    std::optional<PendingRequest> Find(uint16_t id) const;
    // Whether a request of that kind still waits for its answer.
    bool HasKind(uint32_t kind) const;
    bool Remove(uint16_t id);
    // Takes out the requests of the given kinds that have waited `ms` or longer at tick `now`.
    std::vector<PendingRequest> TakeExpired(const std::vector<uint32_t>& kinds, uint32_t now,
                                            uint32_t ms);
    void Clear();
    size_t Count() const;
    std::mutex& Mutex() const { return mutex_; }

  private:
    mutable std::mutex mutex_;
    std::vector<PendingRequest> requests_;
};

struct AvatarQueueEntry {
    std::u16string name;
    std::vector<uint8_t> info;  // 20 bytes of picture information; empty: never requested
};

class AvatarQueue {
  public:
    // Appends the name unless it is already queued; true when appended.
    bool Place(const std::u16string& name, const uint8_t* info, size_t length);
    // Takes every entry out of the queue.
    std::vector<AvatarQueueEntry> TakeAll();
    bool Empty() const;
    size_t Count() const;
    void Clear();
    std::mutex& Mutex() const { return mutex_; }

  private:
    mutable std::mutex mutex_;
    std::vector<AvatarQueueEntry> entries_;
};

// Logins that wait for a query each (a contact's away message), asked at a steady pace: a
// sign-on with a long list sends a few a second, never a storm. The session thread alone
// uses it: no lock.
class PacedLogins {
  public:
    // Logins kept at most; more are dropped until the queue drains.
    static constexpr size_t kMaxCount = 1000;
    // Appends a login that does not wait yet (case and spaces aside); false when it waits
    // already or the queue is full.
    bool Add(const std::u16string& login);
    // Takes out the logins due at tick `now`: one for every `gapMs` since the last were taken
    // (the first at once), at most `most`.
    std::vector<std::u16string> TakeDue(uint32_t now, uint32_t gapMs, size_t most);
    size_t Count() const { return logins_.size(); }
    void Clear();

  private:
    std::deque<std::u16string> logins_;
    std::unordered_set<std::u16string> keys_;  // the LoginKey of each
    uint32_t lastTaken_ = 0;
    bool takenBefore_ = false;
};

}  // namespace zul
