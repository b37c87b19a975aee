// The bounded store of changes kept while the broker is away.
#include "tools/tz52/bridge/sparkplug/sparkplug_store.h"

#include <iterator>
#include <utility>

bool SparkplugStore::Keep(SparkplugStoredChange change) {
    if (capacity_ == 0) {
        ++dropped_;
        return true;
    }
    bool dropped = false;
    if (changes_.size() == capacity_) {
        changes_.pop_front();
        ++dropped_;
        dropped = true;
    }
    changes_.push_back(std::move(change));
    return dropped;
}

std::vector<SparkplugStoredChange> SparkplugStore::Drain() {
    std::vector<SparkplugStoredChange> drained(std::make_move_iterator(changes_.begin()),
                                               std::make_move_iterator(changes_.end()));
    changes_.clear();
    return drained;
}
