#pragma once

// Building blocks of the process-wide shared state: an attribute that is
// replaced whole and read by copy, and the two mappings that are changed in
// place. Each is safe to use from any thread; a reader sees the old or the
// new value of a write, never a mixture.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "orvanta/errors.hpp"

namespace orvanta {

template <class T>
struct is_shared_ptr : std::false_type {};
template <class T>
struct is_shared_ptr<std::shared_ptr<T>> : std::true_type {};

// An attribute of the shared state. It may be absent (never set, or reset);
// a shared_ptr attribute holding null counts as absent too.
// Names the object an attribute belongs to, for the error of a missing one.
struct Owner {
  const char* name;
};

template <class T>
class Attribute {
 public:
  explicit Attribute(const char* name) : name_(name) {}
  Attribute(const char* name, T initial) : name_(name), value_(std::move(initial)) {}
  Attribute(Owner owner, const char* name) : owner_(owner.name), name_(name) {}
  Attribute(const Attribute&) = delete;
  Attribute& operator=(const Attribute&) = delete;

  // The value, or nothing when absent.
  std::optional<T> load() const {
    std::lock_guard guard(mu_);
    if (!present_locked()) return std::nullopt;
    return value_;
  }

  // The value; raises AttributeError naming the attribute when absent.
  T get() const {
    std::lock_guard guard(mu_);
    if (!present_locked())
      throw AttributeError("'" + std::string(owner_) + "' has no attribute '" + std::string(name_) + "'");
    return *value_;
  }

  // The value, or `fallback` when absent.
  T value_or(T fallback) const {
    std::lock_guard guard(mu_);
    return present_locked() ? *value_ : std::move(fallback);
  }

  bool has_value() const {
    std::lock_guard guard(mu_);
    return present_locked();
  }

  void set(T value) {
    std::optional<T> old(std::move(value));
    {
      std::lock_guard guard(mu_);
      value_.swap(old);
    }
    // The previous value is released outside the lock: its destructor may
    // take other locks (a store closing its connection, for example).
  }

  void reset() {
    std::optional<T> old;
    {
      std::lock_guard guard(mu_);
      value_.swap(old);
    }
  }

  const char* name() const { return name_; }

 private:
  bool present_locked() const {
    if (!value_) return false;
    if constexpr (is_shared_ptr<T>::value) return *value_ != nullptr;
    return true;
  }

  const char* owner_ = "config";
  const char* name_;
  mutable std::mutex mu_;
  std::optional<T> value_;
};

// A mapping from text to values that keeps its keys in insertion order; each
// read, insert and removal is one atomic operation. The mappings of the
// shared state are small (a few hundred keys at most), so a vector serves.
template <class V>
class GuardedMap {
 public:
  std::optional<V> get(const std::string& key) const {
    std::lock_guard guard(mu_);
    for (const auto& [k, v] : items_)
      if (k == key) return v;
    return std::nullopt;
  }

  // Sets the value of `key`; a new key goes last.
  void set(const std::string& key, V value) {
    std::lock_guard guard(mu_);
    for (auto& [k, v] : items_)
      if (k == key) {
        v = std::move(value);
        return;
      }
    items_.emplace_back(key, std::move(value));
  }

  // Removes the entry and gives its value, or nothing when there is none.
  std::optional<V> take(const std::string& key) {
    std::lock_guard guard(mu_);
    for (auto it = items_.begin(); it != items_.end(); ++it)
      if (it->first == key) {
        std::optional<V> value(std::move(it->second));
        items_.erase(it);
        return value;
      }
    return std::nullopt;
  }

  bool contains(const std::string& key) const {
    std::lock_guard guard(mu_);
    for (const auto& item : items_)
      if (item.first == key) return true;
    return false;
  }

  std::vector<std::pair<std::string, V>> items() const {
    std::lock_guard guard(mu_);
    return items_;
  }

  std::size_t size() const {
    std::lock_guard guard(mu_);
    return items_.size();
  }

  void clear() {
    std::lock_guard guard(mu_);
    items_.clear();
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::pair<std::string, V>> items_;
};

// Group name -> flag (`firstCheckGroup`).
using FlagMap = GuardedMap<bool>;

// Task identifier -> the waiter's future (`task_futures`).
template <class Future>
class FutureMap : public GuardedMap<std::shared_ptr<Future>> {
 public:
  void insert(const std::string& id, std::shared_ptr<Future> future) { this->set(id, std::move(future)); }

  // Removes the entry and gives its future, or null when there is none.
  std::shared_ptr<Future> take(const std::string& id) {
    return GuardedMap<std::shared_ptr<Future>>::take(id).value_or(nullptr);
  }
};

}  // namespace orvanta
