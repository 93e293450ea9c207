#include "framework/Strings.h"

#include <algorithm>

int TStrings::IndexOf(const std::string& s) const {
  for (int i = 0; i < Count(); ++i)
    if (Get(i) == s) return i;
  return -1;
}

int TStringList::Add(const std::string& s) {
  if (!sorted_) {
    items_.push_back(s);
    return Count() - 1;
  }
  auto it = std::upper_bound(items_.begin(), items_.end(), s);
  int at = static_cast<int>(it - items_.begin());
  items_.insert(it, s);
  return at;
}

void TStringList::SetSorted(bool on) {
  sorted_ = on;
  if (on) std::stable_sort(items_.begin(), items_.end());
}
