#include "tools/tz52/bridge/core/journal.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace {

// Cut at most three bytes earlier than the bound, to the start of a UTF-8
// character, so a valid text stays valid; bytes that are no UTF-8 at all
// are cut at the bound all the same.
void BoundText(std::string* text) {
    if (text->size() <= Journal::kMostTextBytes) return;
    size_t cut = Journal::kMostTextBytes;
    const auto continues = [&](size_t at) { return (static_cast<unsigned char>((*text)[at]) & 0xC0) == 0x80; };
    for (int back = 0; back < 3 && cut > 0 && continues(cut); ++back) --cut;
    if (continues(cut)) cut = Journal::kMostTextBytes;
    text->resize(cut);
}

int64_t WallMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

Journal::Journal(size_t capacity) : capacity_(std::max<size_t>(capacity, 1)), ring_(capacity_) {}

uint64_t Journal::Append(JournalEvent event) {
    BoundText(&event.face);
    BoundText(&event.who);
    BoundText(&event.message);
    event.writtenCount = event.written.size();
    if (event.written.size() > kMostWrittenPoints) event.written.resize(kMostWrittenPoints);
    event.wallMs = WallMilliseconds();
    auto kept = std::make_shared<JournalEvent>(std::move(event));

    // The event dropped from the ring is freed after the lock is let go (or
    // by the last reader still holding it).
    std::shared_ptr<const JournalEvent> dropped;
    uint64_t sequence;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sequence = newest_ + 1;
        kept->sequence = sequence;
        auto& slot = ring_[static_cast<size_t>((sequence - 1) % capacity_)];
        dropped = std::move(slot);
        slot = std::move(kept);
        newest_ = sequence;
    }
    appended_.notify_all();
    std::lock_guard<std::mutex> lock(listenersMutex_);
    for (const auto& listener : listeners_) listener.second();
    return sequence;
}

Journal::Read Journal::ReadAfter(uint64_t after, size_t most) const {
    Read read;
    std::lock_guard<std::mutex> lock(mutex_);
    read.newest = newest_;
    const uint64_t oldest = newest_ > capacity_ ? newest_ - capacity_ + 1 : 1;
    if (after > newest_ || after + 1 < oldest) {
        read.behind = true;
        return read;
    }
    // No more than `most`, so it fits a size_t on 32-bit machines too.
    const size_t count = static_cast<size_t>(std::min<uint64_t>(most, newest_ - after));
    read.events.reserve(count);
    for (uint64_t sequence = after + 1; sequence <= after + count; ++sequence) {
        read.events.push_back(ring_[static_cast<size_t>((sequence - 1) % capacity_)]);
    }
    return read;
}

bool Journal::WaitAfter(uint64_t after, int64_t timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return appended_.wait_for(lock, std::chrono::milliseconds(std::max<int64_t>(timeoutMs, 0)),
                              [&] { return newest_ != after; });
}

uint64_t Journal::Listen(std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(listenersMutex_);
    listeners_.emplace(++lastListener_, std::move(wake));
    return lastListener_;
}

void Journal::StopListening(uint64_t listener) {
    std::lock_guard<std::mutex> lock(listenersMutex_);
    listeners_.erase(listener);
}

void Journal::Nudge() {
    std::lock_guard<std::mutex> lock(listenersMutex_);
    for (const auto& listener : listeners_) listener.second();
}
