// What changed in the profile, told to the window without anyone calling a page.
//
// Any thread publishes a change (what kind, whose: account and contact ids) and goes on; the
// feed keeps each distinct change once until it is taken, and wakes the window once per
// batch through the function the window installed. The window thread takes the batch and
// hands it to its subscribers, which look up what they show by id and read the current state.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace zul {

struct Change {
    enum class Kind : uint8_t {
        kHistory,  // a contact's history: events added, changed or removed (see TakeViewNotes)
        kRepaint,  // something the current page shows may have changed (ids unused)
    };
    Kind kind = Kind::kHistory;
    int32_t account = 0;
    int32_t contact = 0;  // the contact's local id

    bool operator==(const Change&) const = default;
};

class ChangeFeed {
  public:
    using Handler = std::function<void(const std::vector<Change>&)>;

    // Any thread. Never waits for the window.
    void Publish(const Change& change);
    // Run (on the publishing thread, under the feed's lock) when a change arrives at an empty
    // feed: it must only post a wake-up, never wait. Empty: nobody is woken.
    void SetWake(std::function<void()> wake);

    // The dispatching thread only (the window's): subscribers hear every batch.
    int Subscribe(Handler handler);
    void Unsubscribe(int token);
    // Takes what is waiting and hands it to the subscribers; false when nothing waited. A
    // subscriber may unsubscribe itself or others while it runs.
    bool Dispatch();
    // Takes what is waiting without handing it on.
    std::vector<Change> Take();

  private:
    std::mutex mutex_;
    std::vector<Change> waiting_;
    std::function<void()> wake_;
    struct Subscriber {
        int token;
        Handler handler;
    };
    std::vector<Subscriber> subscribers_;
    int nextToken_ = 1;
};

// The process's feed.
ChangeFeed& Changes();

}  // namespace zul
