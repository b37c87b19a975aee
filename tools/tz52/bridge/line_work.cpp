#include "tools/tz52/bridge/line_work.h"

#include <algorithm>
#include <chrono>

bool LineWorkQueue::Push(LineWork work) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (waiting_.size() >= kMostWaiting) return false;
    waiting_.push_back(std::move(work));
    changed_.notify_all();
    return true;
}

bool LineWorkQueue::Take(LineWork* work) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (waiting_.empty()) return false;
    *work = std::move(waiting_.front());
    waiting_.pop_front();
    return true;
}

void LineWorkQueue::Wait(int64_t milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(std::max<int64_t>(milliseconds, 0)),
                      [this] { return woken_ || !waiting_.empty(); });
    woken_ = false;
}

void LineWorkQueue::Wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
    changed_.notify_all();
}
