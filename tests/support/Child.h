// Child processes for scenario tests: a test binary re-runs itself with
// "--child NAME ARGS..." to run one registered child function, whose exit
// code and standard output the parent test inspects. Works natively and
// under Wine.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qvtest {

using ChildArgs = std::vector<std::string>;
using ChildFn = std::function<int(const ChildArgs& args)>;

struct ChildRegistrar {
  ChildRegistrar(const char* name, ChildFn fn);
};

#define QV_CHILD(name)                                                      \
  static int QvChild_##name(const ::qvtest::ChildArgs& args);               \
  static ::qvtest::ChildRegistrar qvChildReg_##name(#name, QvChild_##name); \
  static int QvChild_##name([[maybe_unused]] const ::qvtest::ChildArgs& args)

struct ChildResult {
  int exitCode = -1;
  std::string output;
  std::vector<std::string> lines;

  // Index of the first line equal to `line` (or starting with it when
  // prefix is true), or -1.
  int Find(const std::string& line, bool prefix = false, int from = 0) const;
  bool Has(const std::string& line) const { return Find(line) >= 0; }
  int Count(const std::string& line) const;
  // The lines without a leading "@MS " time stamp.
  std::vector<std::string> Plain() const;
  // Time stamp of line i, or -1 when it has none.
  long long TimeOf(int i) const;
};

// Runs the child function `name` of this test binary.
ChildResult RunChild(const std::string& name, const ChildArgs& args = {});
// Runs another program of the build (a path as the build gives it).
ChildResult RunProgram(const std::string& path, const ChildArgs& args = {});

// Dispatches "--child NAME ARGS..."; returns true and sets code when argv
// asked for a child.
bool DispatchChild(int argc, char** argv, int& code);
void SetSelfPath(const std::string& path);

// A fresh empty directory for one test.
std::string MakeTempDir();
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

}  // namespace qvtest
