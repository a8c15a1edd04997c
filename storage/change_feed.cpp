#include "storage/change_feed.h"

#include <algorithm>
#include <utility>

namespace zul {

void ChangeFeed::Publish(const Change& change) {
    std::lock_guard lock(mutex_);
    if (std::find(waiting_.begin(), waiting_.end(), change) != waiting_.end()) return;
    waiting_.push_back(change);
    if (waiting_.size() == 1 && wake_) wake_();
}

void ChangeFeed::SetWake(std::function<void()> wake) {
    std::lock_guard lock(mutex_);
    wake_ = std::move(wake);
    if (wake_ && !waiting_.empty()) wake_();
}

int ChangeFeed::Subscribe(Handler handler) {
    const int token = nextToken_++;
    subscribers_.push_back(Subscriber{token, std::move(handler)});
    return token;
}

void ChangeFeed::Unsubscribe(int token) {
    for (Subscriber& s : subscribers_) {
        if (s.token == token) s.handler = nullptr;
    }
    std::erase_if(subscribers_, [](const Subscriber& s) { return !s.handler; });
}

std::vector<Change> ChangeFeed::Take() {
    std::lock_guard lock(mutex_);
    return std::exchange(waiting_, {});
}

bool ChangeFeed::Dispatch() {
    const std::vector<Change> batch = Take();
    if (batch.empty()) return false;
    // By token: a handler may subscribe or unsubscribe while the batch goes round.
    std::vector<int> tokens;
    tokens.reserve(subscribers_.size());
    for (const Subscriber& s : subscribers_) tokens.push_back(s.token);
    for (int token : tokens) {
        auto it = std::find_if(subscribers_.begin(), subscribers_.end(),
                               [token](const Subscriber& s) { return s.token == token; });
        if (it == subscribers_.end()) continue;
        Handler handler = it->handler;  // a copy: the handler may unsubscribe itself
        if (handler) handler(batch);
    }
    return true;
}

ChangeFeed& Changes() {
    static ChangeFeed feed;
    return feed;
}

}  // namespace zul
