// A map of texts to values that each stay fresh for a fixed time after they were put, with
// a bound on entries: the stream links and the folder listings of qvdbx serve. Thread-safe
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

    // `ttl` zero keeps nothing.
    TtlCache(Clock::duration ttl, size_t capacity) : ttl_(ttl), capacity_(capacity) {}

    Hit find(const std::string &key, Clock::time_point now) const {
        std::lock_guard<std::mutex> hold(lock_);
        auto it = entries_.find(key);
        if (it == entries_.end() || now >= it->second.made + ttl_) return {};
        return {it->second.value, it->second.made + ttl_ - now};
    }

    // Puts `value` as made at `now`. When full, stale entries go first, then the oldest.
    void put(const std::string &key, std::shared_ptr<const Value> value, Clock::time_point now) {
        if (ttl_ <= Clock::duration::zero() || capacity_ == 0) return;
        std::lock_guard<std::mutex> hold(lock_);
        if (entries_.size() >= capacity_ && !entries_.count(key)) make_room(now);
        entries_[key] = Entry{std::move(value), now};
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
    };

    void make_room(Clock::time_point now) {
        for (auto it = entries_.begin(); it != entries_.end();)
            it = now >= it->second.made + ttl_ ? entries_.erase(it) : std::next(it);
        if (entries_.size() < capacity_) return;
        auto oldest = entries_.begin();
        for (auto it = entries_.begin(); it != entries_.end(); ++it)
            if (it->second.made < oldest->second.made) oldest = it;
        entries_.erase(oldest);
    }

    const Clock::duration ttl_;
    const size_t capacity_;
    mutable std::mutex lock_;
    std::unordered_map<std::string, Entry> entries_;
};
