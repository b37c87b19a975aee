#include "tools/tz52/bridge/core/write_request.h"

#include <algorithm>
#include <chrono>

size_t WriteRequest::Written() const {
    size_t written = 0;
    while (written < outcomes.size() && (readOnly ? outcomes[written].sent : outcomes[written].written)) ++written;
    return written;
}

const PointWriteOutcome* WriteRequest::Last() const {
    if (outcomes.empty()) return nullptr;
    const size_t written = Written();
    return &outcomes[written < outcomes.size() ? written : outcomes.size() - 1];
}

void WriteRequest::Complete() {
    // Moved out first, so a completion that completes again is not called
    // twice.
    Completion completion = std::move(completion_);
    completion_ = nullptr;
    if (completion) completion(*this);
}

bool WriteQueue::Push(std::shared_ptr<WriteRequest> request) {
    if (!request) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (waiting_.size() >= kMostWaiting) return false;
    waiting_.push_back(std::move(request));
    changed_.notify_all();
    return true;
}

std::shared_ptr<WriteRequest> WriteQueue::Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (waiting_.empty()) return nullptr;
    std::shared_ptr<WriteRequest> request = std::move(waiting_.front());
    waiting_.pop_front();
    return request;
}

size_t WriteQueue::Waiting() {
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_.size();
}

bool WriteQueue::Wait(int64_t milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool ready = changed_.wait_for(lock, std::chrono::milliseconds(std::max<int64_t>(milliseconds, 0)),
                                         [this] { return woken_ || !waiting_.empty(); });
    woken_ = false;
    return ready;
}

void WriteQueue::Wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
    changed_.notify_all();
}
