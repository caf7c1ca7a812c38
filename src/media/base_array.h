// BaseArray: an unbounded first-in-first-out list of shared items guarded by one recursive
// lock. DataQueue (data_queue.h) builds the bounded, blocking media queues on it.
//
// Items are `std::shared_ptr<T>`: the list holds a strong reference while an item is stored.
// nil is nullptr. Thread-safety: every member may be called from any thread; each one holds
// the list's lock for its whole body.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

namespace corvane {

template <typename T>
class BaseArray {
 public:
  using Item = std::shared_ptr<T>;

  BaseArray() = default;
  virtual ~BaseArray() = default;
  BaseArray(const BaseArray&) = delete;
  BaseArray& operator=(const BaseArray&) = delete;

  // A new, empty list (nothing in the system calls it).
  static std::shared_ptr<BaseArray> queue() { return std::make_shared<BaseArray>(); }

  // Appends the item; always true.
  virtual bool put(const Item& item) {
    std::lock_guard<std::recursive_mutex> lock(monitor_);
    m_array.push_back(item);
    return true;
  }

  // Removes and returns the oldest item; nullptr when the list is empty.
  virtual Item take() {
    std::lock_guard<std::recursive_mutex> lock(monitor_);
    if (m_array.empty()) return nullptr;
    Item item = std::move(m_array.front());
    m_array.pop_front();
    return item;
  }

  // The item at `index` without removing it; nullptr when the index is not below `count`.
  Item elementAt(std::uint64_t index) const {
    std::lock_guard<std::recursive_mutex> lock(monitor_);
    return index < m_array.size() ? m_array[index] : nullptr;
  }

  // Removes every item.
  virtual void clear() {
    std::lock_guard<std::recursive_mutex> lock(monitor_);
    m_array.clear();
  }

  std::uint64_t count() const {
    std::lock_guard<std::recursive_mutex> lock(monitor_);
    return m_array.size();
  }

 private:
  mutable std::recursive_mutex monitor_;
  std::deque<Item> m_array;  // oldest first
};

}  // namespace corvane
