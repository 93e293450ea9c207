// String lists: the toolkit's abstract TStrings and the plain TStringList.
#pragma once

#include <string>
#include <vector>

#include "framework/Classes.h"

class TStrings : public TPersistent {
 public:
  virtual int Add(const std::string& s) = 0;
  virtual void Clear() = 0;
  virtual int Count() const = 0;
  virtual std::string Get(int index) const = 0;
  std::string operator[](int index) const { return Get(index); }
  int IndexOf(const std::string& s) const;
};

class TStringList : public TStrings {
 public:
  int Add(const std::string& s) override;
  void Clear() override { items_.clear(); }
  int Count() const override { return static_cast<int>(items_.size()); }
  std::string Get(int index) const override { return items_.at(static_cast<std::size_t>(index)); }

  // A sorted list places new entries by byte order instead of appending.
  bool Sorted() const { return sorted_; }
  void SetSorted(bool on);

 private:
  std::vector<std::string> items_;
  bool sorted_ = false;
};
