#include "tools/tz52/bridge/http/http_stream.h"

#include <cstring>
#include <utility>

bool HttpStream::Send(const std::string& text) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (finished_ || ending_ || dropped_) return false;
    if (pending_.size() - sent_ + text.size() > mostPendingBytes_) {
        dropped_ = true;
    } else {
        if (sent_ > 0) {
            pending_.erase(0, sent_);
            sent_ = 0;
        }
        pending_ += text;
    }
    const bool accepted = !dropped_;
    WakeIfWaiting(&lock);
    return accepted;
}

void HttpStream::End() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (finished_) return;
    ending_ = true;
    WakeIfWaiting(&lock);
}

bool HttpStream::Closed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return finished_ || ending_ || dropped_;
}

void HttpStream::OnClose(std::function<void()> callback) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!finished_) {
        onClose_ = std::move(callback);
        return;
    }
    lock.unlock();
    if (callback) callback();
}

HttpStream::Step HttpStream::Take(char* buffer, size_t room, size_t* taken, const std::function<void()>& suspend) {
    std::lock_guard<std::mutex> lock(mutex_);
    *taken = 0;
    if (dropped_) return Step::kDrop;
    const size_t queued = pending_.size() - sent_;
    if (queued > 0) {
        *taken = queued < room ? queued : room;
        std::memcpy(buffer, pending_.data() + sent_, *taken);
        sent_ += *taken;
        if (sent_ == pending_.size()) {
            pending_.clear();
            sent_ = 0;
        }
        return Step::kData;
    }
    if (ending_) return Step::kEnd;
    // Suspended under the lock: a Send that follows sees waiting_ and so
    // resumes a connection that is suspended already.
    waiting_ = true;
    suspend();
    return Step::kWait;
}

void HttpStream::SetWake(std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(mutex_);
    wake_ = std::move(wake);
}

void HttpStream::Finish() {
    std::function<void()> callback;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (finished_) return;
        finished_ = true;
        waiting_ = false;
        wake_ = nullptr;
        pending_.clear();
        callback = std::move(onClose_);
    }
    if (callback) callback();
}

void HttpStream::WakeIfWaiting(std::unique_lock<std::mutex>* lock) {
    if (!waiting_ || finished_) return;
    waiting_ = false;
    // Only this call resumes the connection now, and a suspended connection
    // is not closed meanwhile, so the wake may run without the lock.
    const std::function<void()> wake = wake_;
    lock->unlock();
    if (wake) wake();
}
