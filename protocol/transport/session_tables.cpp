#include "protocol/transport/session_tables.h"

#include <algorithm>
#include <iterator>

#include "platform/log.h"
#include "platform/text.h"
#include "platform/tick.h"

namespace zul {

void RateClassTable::Clear() {
    std::lock_guard lock(mutex_);
    classes_.clear();
}

void RateClassTable::Assign(std::vector<RateClass> classes) {
    std::lock_guard lock(mutex_);
    classes_ = std::move(classes);
}

size_t RateClassTable::Count() const {
    std::lock_guard lock(mutex_);
    return classes_.size();
}

std::optional<size_t> RateClassTable::Find(uint16_t family, uint16_t subtype) const {
    const uint32_t key = static_cast<uint32_t>(family) << 16 | subtype;
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < classes_.size(); ++i) {
        const auto& m = classes_[i].members;
        if (std::find(m.begin(), m.end(), key) != m.end()) return i;
    }
    return std::nullopt;
}

std::optional<RateClass> RateClassTable::At(size_t position) const {
    std::lock_guard lock(mutex_);
    if (position >= classes_.size()) return std::nullopt;
    return classes_[position];
}

std::optional<size_t> RateClassTable::FindId(uint16_t id) const {
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < classes_.size(); ++i) {
        if (id != 0 && classes_[i].id == id) return i;
    }
    return std::nullopt;
}

std::vector<uint16_t> RateClassTable::Ids() const {
    std::lock_guard lock(mutex_);
    std::vector<uint16_t> ids;
    for (const RateClass& c : classes_) {
        if (c.id != 0) ids.push_back(c.id);
    }
    return ids;
}

void RateClassTable::ApplyServerLevels(size_t position, const RateClass& levels, uint32_t now) {
    std::lock_guard lock(mutex_);
    if (position >= classes_.size()) return;
    RateClass& c = classes_[position];
    c.windowSize = levels.windowSize;
    c.clearLevel = levels.clearLevel;
    c.alertLevel = levels.alertLevel;
    c.limitLevel = levels.limitLevel;
    c.currentLevel = levels.currentLevel;
    c.maxLevel = levels.maxLevel;
    c.lastSend = now;
}

void RateClassTable::Store(size_t position, uint32_t level, uint32_t lastSend) {
    std::lock_guard lock(mutex_);
    if (position >= classes_.size()) return;
    classes_[position].currentLevel = level;
    classes_[position].lastSend = lastSend;
}

uint16_t PendingRequests::Add(uint32_t kind, const std::u16string& text,
                              std::vector<uint8_t> data) {
    std::lock_guard lock(mutex_);
    // Requests a server never answers would otherwise pile up until no free id is left and
    // the search below never ends; the one that has waited longest is given up instead.
    if (requests_.size() >= kMaxCount) requests_.erase(requests_.begin());
    // A random start, then the next ids until a free one: fewer requests than ids are kept,
    // so the search ends whatever the generator gives.
    uint16_t id = Random16();
    for (;; ++id) {
        if (id == 0) continue;
        bool used = std::any_of(requests_.begin(), requests_.end(),
                                [id](const PendingRequest& r) { return r.id == id; });
        if (!used) break;
    }
    requests_.push_back(PendingRequest{id, kind, text, std::move(data), GetTick()});
    return id;
}

std::optional<PendingRequest> PendingRequests::Find(uint16_t id) const {
    std::lock_guard lock(mutex_);
    for (const auto& r : requests_) {
        if (r.id == id) return r;
    }
    return std::nullopt;
}

bool PendingRequests::HasKind(uint32_t kind) const {
    std::lock_guard lock(mutex_);
    return std::any_of(requests_.begin(), requests_.end(),
                       [kind](const PendingRequest& r) { return r.kind == kind; });
}

bool PendingRequests::Remove(uint16_t id) {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(requests_.begin(), requests_.end(),
                           [id](const PendingRequest& r) { return r.id == id; });
    if (it == requests_.end()) return false;
    requests_.erase(it);
    return true;
}

std::vector<PendingRequest> PendingRequests::TakeExpired(const std::vector<uint32_t>& kinds,
                                                         uint32_t now, uint32_t ms) {
    std::lock_guard lock(mutex_);
    std::vector<PendingRequest> expired;
    auto it =
        std::stable_partition(requests_.begin(), requests_.end(), [&](const PendingRequest& r) {
            return now - r.added < ms ||
                   std::find(kinds.begin(), kinds.end(), r.kind) == kinds.end();
        });
    std::move(it, requests_.end(), std::back_inserter(expired));
    requests_.erase(it, requests_.end());
    return expired;
}

void PendingRequests::Clear() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

size_t PendingRequests::Count() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

bool AvatarQueue::Place(const std::u16string& name, const uint8_t* info, size_t length) {
    std::lock_guard lock(mutex_);
    for (const auto& e : entries_) {
        if (EqualNoCase(e.name, name)) return false;
    }
    AvatarQueueEntry entry;
    entry.name = name;
    if (info && length > 0) entry.info.assign(info, info + length);
    entries_.push_back(std::move(entry));
    WriteLog(kGeneralLog, u"PlaceInQueue: Added avatar request to queue (" + name + u")");
    return true;
}

std::vector<AvatarQueueEntry> AvatarQueue::TakeAll() {
    std::lock_guard lock(mutex_);
    std::vector<AvatarQueueEntry> out;
    out.swap(entries_);
    return out;
}

bool AvatarQueue::Empty() const {
    std::lock_guard lock(mutex_);
    return entries_.empty();
}

size_t AvatarQueue::Count() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

void AvatarQueue::Clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

bool PacedLogins::Add(const std::u16string& login) {
    if (logins_.size() >= kMaxCount) return false;
    if (!keys_.insert(LoginKey(login)).second) return false;
    logins_.push_back(login);
    return true;
}

std::vector<std::u16string> PacedLogins::TakeDue(uint32_t now, uint32_t gapMs, size_t most) {
    std::vector<std::u16string> due;
    if (logins_.empty()) return due;
    size_t count = most;
    if (takenBefore_ && gapMs > 0) count = std::min<size_t>(most, (now - lastTaken_) / gapMs);
    if (count == 0) return due;
    while (due.size() < count && !logins_.empty()) {
        keys_.erase(LoginKey(logins_.front()));
        due.push_back(std::move(logins_.front()));
        logins_.pop_front();
    }
    lastTaken_ = now;
    takenBefore_ = true;
    return due;
}

void PacedLogins::Clear() {
    logins_.clear();
    keys_.clear();
}

}  // namespace zul
