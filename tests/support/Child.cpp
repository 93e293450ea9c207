#include "tests/support/Child.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#define popen _popen
#define pclose _pclose
#else
#include <sys/wait.h>
#endif

namespace qvtest {

namespace {
std::map<std::string, ChildFn>& Registry() {
  static std::map<std::string, ChildFn> r;
  return r;
}
std::string g_self;

std::string Quote(const std::string& s) {
#ifdef _WIN32
  return "\"" + s + "\"";
#else
  std::string q = "'";
  for (char c : s) {
    if (c == '\'')
      q += "'\\''";
    else
      q += c;
  }
  return q + "'";
#endif
}
}  // namespace

ChildRegistrar::ChildRegistrar(const char* name, ChildFn fn) { Registry()[name] = std::move(fn); }

void SetSelfPath(const std::string& path) { g_self = path; }

bool DispatchChild(int argc, char** argv, int& code) {
  if (argc < 3 || std::string(argv[1]) != "--child") return false;
  auto it = Registry().find(argv[2]);
  if (it == Registry().end()) {
    std::fprintf(stderr, "no child named %s\n", argv[2]);
    code = 99;
    return true;
  }
  ChildArgs args(argv + 3, argv + argc);
  code = it->second(args);
  std::fflush(stdout);
  return true;
}

namespace {
ChildResult RunCommand(std::string cmd);
}

ChildResult RunChild(const std::string& name, const ChildArgs& args) {
  std::string cmd = Quote(g_self) + " --child " + Quote(name);
  for (const auto& a : args) cmd += " " + Quote(a);
  return RunCommand(cmd);
}

ChildResult RunProgram(const std::string& path, const ChildArgs& args) {
  std::string p = path;
#ifdef _WIN32
  // A path of the Linux build tree, as Wine sees it.
  if (!p.empty() && p[0] == '/') {
    for (char& c : p)
      if (c == '/') c = '\\';
    p = "Z:" + p;
  }
#endif
  std::string cmd = Quote(p);
  for (const auto& a : args) cmd += " " + Quote(a);
  return RunCommand(cmd);
}

namespace {
// One start of the command through the C library's pipe; false when the
// pipe could not be made.
bool StartOnce(const std::string& cmd, ChildResult& r) {
  std::fflush(stdout);
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return false;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
  int status = pclose(p);
#ifdef _WIN32
  r.exitCode = status;
#else
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
#endif
  return true;
}

#ifdef _WIN32
// Under Wine on a loaded machine the start itself fails now and then: the
// pipe's cmd.exe is not created, or cmd.exe cannot create the program and
// ends with its "not recognised" status 9009 (its message goes to standard
// error). Either way the program never ran, so starting it again is safe;
// none of the suite's programs ends with 9009 itself.
bool NeverRan(const ChildResult& r) { return r.exitCode == 9009 && r.output.empty(); }
#endif

ChildResult RunCommand(std::string cmd) {
#ifdef _WIN32
  // cmd.exe strips one pair of outer quotes.
  cmd = "\"" + cmd + "\"";
  constexpr int kStarts = 5;
#else
  constexpr int kStarts = 1;
#endif
  ChildResult r;
  bool started = false;
  for (int attempt = 1; attempt <= kStarts && !started; ++attempt) {
    r = ChildResult{};
    started = StartOnce(cmd, r);
#ifdef _WIN32
    if (started && NeverRan(r)) started = false;
    if (!started && attempt < kStarts) {
      std::fprintf(stderr, "start %d of %s failed; starting it again\n", attempt, cmd.c_str());
      Sleep(static_cast<DWORD>(250 * attempt));
    }
#endif
  }
  if (!started) throw std::runtime_error("cannot start " + cmd + (r.output.empty() ? "" : ": " + r.output));
  std::size_t start = 0;
  while (start < r.output.size()) {
    std::size_t end = r.output.find('\n', start);
    if (end == std::string::npos) end = r.output.size();
    std::string line = r.output.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    r.lines.push_back(line);
    start = end + 1;
  }
  return r;
}
}  // namespace

namespace {
std::string StripStamp(const std::string& l) {
  if (!l.empty() && l[0] == '@') {
    std::size_t sp = l.find(' ');
    if (sp != std::string::npos) return l.substr(sp + 1);
  }
  return l;
}
}  // namespace

int ChildResult::Find(const std::string& line, bool prefix, int from) const {
  for (int i = from; i < static_cast<int>(lines.size()); ++i) {
    std::string l = StripStamp(lines[static_cast<std::size_t>(i)]);
    if (prefix ? l.rfind(line, 0) == 0 : l == line) return i;
  }
  return -1;
}

int ChildResult::Count(const std::string& line) const {
  int n = 0;
  for (const auto& l : lines)
    if (StripStamp(l) == line) ++n;
  return n;
}

std::vector<std::string> ChildResult::Plain() const {
  std::vector<std::string> out;
  for (const auto& l : lines) out.push_back(StripStamp(l));
  return out;
}

long long ChildResult::TimeOf(int i) const {
  if (i < 0 || i >= static_cast<int>(lines.size())) return -1;
  const std::string& l = lines[static_cast<std::size_t>(i)];
  if (l.empty() || l[0] != '@') return -1;
  return std::atoll(l.c_str() + 1);
}

std::string MakeTempDir() {
  static std::mt19937_64 rng{std::random_device{}()};
  namespace fs = std::filesystem;
  for (;;) {
    fs::path p = fs::temp_directory_path() / ("qvtest-" + std::to_string(rng() % 1000000000ULL));
    std::error_code ec;
    if (fs::create_directory(p, ec)) return p.string();
  }
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) { return std::filesystem::exists(path); }

}  // namespace qvtest
