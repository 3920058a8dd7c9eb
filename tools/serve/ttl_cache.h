// A map of texts to values that each stay fresh for a fixed time after they were put, with
// a bound on their total weight (an entry weighs 1 unless told otherwise): the stream links
// and the folder listings of qvdbx serve. Thread-safe
// by a lock of its own (never the module's). Values are shared, so a reader keeps one
// alive after it is replaced or dropped. Time is handed in, so tests need no clock.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

template <class Value> class TtlCache {
public:
    using Clock = std::chrono::steady_clock;

    struct Hit {
        std::shared_ptr<const Value> value;  // null when absent or stale
        Clock::duration left{};              // time until it goes stale
    };

    // `ttl` zero keeps nothing; `capacity` is the most weight held at once.
    TtlCache(Clock::duration ttl, size_t capacity) : ttl_(ttl), capacity_(capacity) {}

    Hit find(const std::string &key, Clock::time_point now) const {
        std::lock_guard<std::mutex> hold(lock_);
        auto it = entries_.find(key);
        if (it == entries_.end() || now >= it->second.made + ttl_) return {};
        return {it->second.value, it->second.made + ttl_ - now};
    }

    // Puts `value` as made at `now`, weighing `weight`. When there is no room for it, stale
    // entries go first, then the oldest; a value heavier than the whole cache is not kept.
    void put(const std::string &key, std::shared_ptr<const Value> value, Clock::time_point now,
             size_t weight = 1) {
        if (ttl_ <= Clock::duration::zero() || weight > capacity_) return;
        std::lock_guard<std::mutex> hold(lock_);
        drop(entries_.find(key));
        make_room(now, weight);
        entries_[key] = Entry{std::move(value), now, weight};
        held_ += weight;
    }

    size_t size() const {
        std::lock_guard<std::mutex> hold(lock_);
        return entries_.size();
    }

    Clock::duration ttl() const { return ttl_; }

private:
    struct Entry {
        std::shared_ptr<const Value> value;
        Clock::time_point made;
        size_t weight;
    };
    using Iterator = typename std::unordered_map<std::string, Entry>::iterator;

    Iterator drop(Iterator it) {
        if (it == entries_.end()) return it;
        held_ -= it->second.weight;
        return entries_.erase(it);
    }

    bool fits(size_t weight) const { return held_ + weight <= capacity_; }

    void make_room(Clock::time_point now, size_t weight) {
        if (fits(weight)) return;
        for (auto it = entries_.begin(); it != entries_.end();)
            it = now >= it->second.made + ttl_ ? drop(it) : std::next(it);
        while (!fits(weight)) {
            auto oldest = entries_.begin();
            for (auto it = entries_.begin(); it != entries_.end(); ++it)
                if (it->second.made < oldest->second.made) oldest = it;
            drop(oldest);
        }
    }

    const Clock::duration ttl_;
    const size_t capacity_;
    mutable std::mutex lock_;
    std::unordered_map<std::string, Entry> entries_;
    size_t held_ = 0;  // the weight of `entries_`
};
