// A thread-safe list of observers, each registered under a key, for the
// notification centre (keyed by notification name) and for property
// observation (keyed by property).
//
// Observers are kept in the order in which they were added.  matching()
// copies the observers of the given keys under the list's mutex; callers call
// them outside it, so an observer may add and remove observers freely (such
// changes take effect from the next matching()), and an observer removed
// meanwhile is kept alive by the copy until its call returns.
//
// Thread-safety: every member function may be called from any thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace velmora::platform {

template <typename Argument>
class ObserverList {
 public:
  using Token = uint64_t;
  using Observer = std::function<void(const Argument&)>;
  using Call = std::pair<size_t, std::shared_ptr<const Observer>>;  // index of the key, observer

  // Adds `observer` under `key` with the given token (unique per list).
  void add(Token token, const std::string& key, Observer observer) {
    auto shared = std::make_shared<const Observer>(std::move(observer));
    std::lock_guard<std::mutex> g(mutex_);
    entries_.push_back(Entry{token, key, std::move(shared)});
    size_.store(entries_.size(), std::memory_order_relaxed);
  }

  // Removes the observer of `token`; unknown tokens are ignored.
  void remove(Token token) {
    std::shared_ptr<const Observer> doomed;  // released after the mutex
    std::lock_guard<std::mutex> g(mutex_);
    auto it = std::find_if(entries_.begin(), entries_.end(), [token](const Entry& e) { return e.token == token; });
    if (it == entries_.end()) return;
    doomed = std::move(it->observer);
    entries_.erase(it);
    size_.store(entries_.size(), std::memory_order_relaxed);
  }
  // True when no observer is registered: a cheap test, without the mutex,
  // for callers that announce often and are rarely observed.  An observer
  // added meanwhile hears from the next announcement on, as with matching().
  bool empty() const { return size_.load(std::memory_order_relaxed) == 0; }

  // The observers of keys[0], then those of keys[1], ..., each with the
  // index of its key.
  std::vector<Call> matching(const std::vector<std::string>& keys) const {
    std::vector<Call> calls;
    std::lock_guard<std::mutex> g(mutex_);
    for (size_t k = 0; k < keys.size(); ++k) {
      for (const auto& entry : entries_) {
        if (entry.key == keys[k] && *entry.observer) calls.emplace_back(k, entry.observer);
      }
    }
    return calls;
  }

 private:
  struct Entry {
    Token token;
    std::string key;
    std::shared_ptr<const Observer> observer;
  };

  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
  std::atomic<size_t> size_{0};  // entries_.size(), readable without mutex_
};

}  // namespace velmora::platform
