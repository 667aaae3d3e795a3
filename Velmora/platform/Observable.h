// Property observation by key.
//
// A class whose properties can be observed derives from Observable and calls
// didChange() after each change.  Observers of a key learn of every change of
// it: a new value (Setting), or, for list properties, an Insertion or Removal
// at the given indexes.  A key may depend on others (declareDependency()): a
// change of the other key is also announced as a Setting of the dependent key.
//
// Observers run synchronously on the thread that made the change, in the
// order in which they were added: first the observers of the changed key,
// then those of the keys that depend on it, nearest first (dependencies are
// followed transitively; a key is announced once per change even if the
// dependencies form a cycle).  didChange() sorts the indexes and drops
// duplicates.  Additions and removals made by an observer take effect from
// the next change; tokens are unique across all observables.
//
// Thread-safety: addObserver(), removeObserver() and didChange() may be
// called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace velmora::platform {

enum class ChangeKind { Setting, Insertion, Removal };

struct Change {
  std::string key;
  ChangeKind kind = ChangeKind::Setting;
  std::vector<size_t> indexes;  // for Insertion and Removal, ascending
};

class Observable {
 public:
  using Token = uint64_t;
  using Observer = std::function<void(const Change&)>;

  Observable();
  virtual ~Observable();
  Observable(const Observable&) = delete;
  Observable& operator=(const Observable&) = delete;

  Token addObserver(const std::string& key, Observer observer);
  void removeObserver(Token token);

 protected:
  // Announces `change` to the observers of its key and of every key that
  // depends on it.
  void didChange(const Change& change);
  void didChange(const std::string& key) { didChange(Change{key, ChangeKind::Setting, {}}); }
  // Declares that `dependent` changes whenever `onKey` does.
  void declareDependency(const std::string& dependent, const std::string& onKey);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmora::platform
