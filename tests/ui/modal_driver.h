// Drives a modal window that a page opens while the test waits in the page's call: the action
// runs from the window's own event loop once it is open.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <utility>

namespace zul::test {

// Runs `action` on the next open modal window of type W. The action must close it: one left
// open fails the test and is closed. A modal window of another type open for two seconds fails
// the test too and is closed, so that the test goes on.
template <typename W>
class WhenModalOpens {
  public:
    explicit WhenModalOpens(std::function<void(W&)> action) : action_(std::move(action)) {
        timer_.setInterval(kPollMs);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
        timer_.start();
    }
    ~WhenModalOpens() { timer_.stop(); }
    WhenModalOpens(const WhenModalOpens&) = delete;
    WhenModalOpens& operator=(const WhenModalOpens&) = delete;

    bool Ran() const { return ran_; }

  private:
    static constexpr int kPollMs = 5;
    static constexpr int kStrangerPolls = 400;

    void Poll() {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || !modal->isVisible()) return;
        auto* window = qobject_cast<W*>(modal);
        if (window == nullptr) {
            if (++strangerPolls_ < kStrangerPolls) return;
            ADD_FAILURE() << "another modal window opened: " << modal->metaObject()->className();
            if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->done(0);
            strangerPolls_ = 0;
            return;
        }
        timer_.stop();
        ran_ = true;
        QPointer<W> guard(window);
        action_(*window);
        if (guard != nullptr && guard->isVisible()) {
            ADD_FAILURE() << "the modal window stayed open";
            guard->done(0);
        }
    }

    std::function<void(W&)> action_;
    QTimer timer_;
    bool ran_ = false;
    int strangerPolls_ = 0;
};

}  // namespace zul::test
