// A list of receivers that may be changed while it is being notified.
//
// Receivers (sextons, deacons, view links) often unregister themselves, or
// each other, from inside the notification. Removing during a notification
// only blanks the entry, so the walk never skips or repeats anyone and never
// touches a removed receiver; the list is compacted when the outermost walk
// ends. Receivers added during a walk are not told in that walk.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace tarvo::detail {

template <class T>
class TSafeList {
 public:
  // Adds a receiver unless it is already in the list.
  void Add(T* item) {
    if (!item || Contains(item)) return;
    fItems.push_back(item);
  }
  // Removes a receiver; absent receivers are ignored.
  void Remove(T* item) {
    auto it = std::find(fItems.begin(), fItems.end(), item);
    if (it == fItems.end()) return;
    if (fWalking > 0) {
      *it = nullptr;
      fDirty = true;
    } else {
      fItems.erase(it);
    }
  }
  bool Contains(const T* item) const {
    return std::find(fItems.begin(), fItems.end(), item) != fItems.end();
  }
  bool Empty() const {
    for (T* p : fItems)
      if (p) return false;
    return true;
  }
  std::size_t Size() const { return fItems.size(); }

  // Calls f(item) for every receiver present when the walk starts and not
  // removed before its turn.
  template <class F>
  void ForEach(F&& f) {
    Walk guard(*this);
    const std::size_t n = fItems.size();
    for (std::size_t i = 0; i < n && i < fItems.size(); ++i) {
      if (T* p = fItems[i]) f(p);
    }
  }

 private:
  struct Walk {
    explicit Walk(TSafeList& l) : list(l) { ++list.fWalking; }
    ~Walk() {
      if (--list.fWalking == 0 && list.fDirty) {
        list.fItems.erase(std::remove(list.fItems.begin(), list.fItems.end(), nullptr),
                          list.fItems.end());
        list.fDirty = false;
      }
    }
    TSafeList& list;
  };

  std::vector<T*> fItems;
  int fWalking = 0;
  bool fDirty = false;
};

}  // namespace tarvo::detail
