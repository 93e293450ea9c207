// The patch file reader: the text and number reading rules on their own, and
// both passes through the real operations, each in a child process in a
// temporary working directory with the real main window, so every message,
// beep, deletion and the end of the run are the program's own.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "app/Main.h"
#include "patch/PatchFile.h"
#include "patch/PatchText.h"
#include "protocol/ConfigImage.h"
#include "tests/support/Child.h"
#include "tests/support/Scenario.h"

namespace {

using namespace patchfile;
using qvtest::ChildResult;
using qvtest::RunChild;

// ---- Reading rules -------------------------------------------------------

std::string ReadAll(const std::string& bytes) {
  TMemorySource src(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  TPatchText text(src);
  std::string out;
  for (int c; (c = text.Get()) != kEndOfText;) out += static_cast<char>(c);
  return out;
}

TEST(PatchTextTest, DropsEveryCarriageReturnAndEndsAt0x1A) {
  struct Row {
    std::string in, out;
  };
  for (const Row& r : {Row{"a\r\rb\r\nc\n\r", "ab\nc\n"},
                       Row{"12;1\x1a"
                           "40;2E",
                           "12;1"},
                       Row{std::string("x\0y", 3), std::string("x\0y", 3)}, Row{"\x1a", ""},
                       Row{"\xE4\xFF\x80", "\xE4\xFF\x80"}}) {
    EXPECT_EQ(ReadAll(r.in), r.out) << r.in;
  }
}

TEST(PatchTextTest, NothingIsReadAfterTheEndEvenIfUngetWasUsed) {
  const std::string bytes =
      "7\x1a"
      "8";
  TMemorySource src(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  TPatchText text(src);
  EXPECT_EQ(text.Get(), '7');
  EXPECT_EQ(text.Get(), kEndOfText);
  text.Unget(kEndOfText);
  EXPECT_EQ(text.Get(), kEndOfText);
  EXPECT_EQ(text.Get(), kEndOfText);
}

TEST(ReadNumberTest, ReadsLikePercentD) {
  struct Row {
    std::string in;
    TNumberRead result;
    std::int32_t value;
    int next;  // the character left for the next read
  };
  const std::vector<Row> rows = {
      {" \n\t\v\f-12x", TNumberRead::nrOk, -12, 'x'},
      {"+7;", TNumberRead::nrOk, 7, ';'},
      {"007", TNumberRead::nrOk, 7, kEndOfText},
      {"\r\n\r\n5\r\n", TNumberRead::nrOk, 5, '\n'},
      {"2147483647 ", TNumberRead::nrOk, 2147483647, ' '},
      {"-2147483648E", TNumberRead::nrOk, -2147483647 - 1, 'E'},
      {"12e3", TNumberRead::nrOk, 12, 'e'},
      {"2147483648", TNumberRead::nrOutOfRange, 0, kEndOfText},
      {"-2147483649;", TNumberRead::nrOutOfRange, 0, ';'},
      {"99999999999999999999999999999999x", TNumberRead::nrOutOfRange, 0, 'x'},
      {"", TNumberRead::nrNone, 0, kEndOfText},
      {"   \n ", TNumberRead::nrNone, 0, kEndOfText},
      {"E750", TNumberRead::nrNone, 0, 'E'},
      {"x1", TNumberRead::nrNone, 0, 'x'},
      {"- 5", TNumberRead::nrNone, 0, ' '},
      {"+", TNumberRead::nrNone, 0, kEndOfText},
  };
  for (const Row& r : rows) {
    TMemorySource src(reinterpret_cast<const std::uint8_t*>(r.in.data()), r.in.size());
    TPatchText text(src);
    std::int32_t v = 0;
    EXPECT_EQ(ReadNumber(text, v), r.result) << r.in;
    if (r.result == TNumberRead::nrOk) {
      EXPECT_EQ(v, r.value) << r.in;
    }
    EXPECT_EQ(text.Get(), r.next) << r.in;
  }
}

// An endless run of one byte, cut at a length, without holding it in memory.
class TRepeatSource final : public TByteSource {
 public:
  TRepeatSource(std::uint8_t byte, std::size_t count) : byte_(byte), left_(count) {}
  int ReadByte() override { return left_ > 0 ? (--left_, byte_) : -1; }

 private:
  std::uint8_t byte_;
  std::size_t left_;
};

TEST(ChecksumTest, AHugeFileWrapsTheSumModulo2To32) {
  // 16909321 * 127 = 2147483767, which is 120 past the largest int32.
  TRepeatSource src(0x7F, 16909321);
  TPatchText text(src);
  TChecksumOutcome out = CheckPatchText(text);
  EXPECT_EQ(out.Result, TChecksumResult::crMalformed);  // no "E"
  EXPECT_EQ(out.Sum, -2147483647 - 1 + 119);
}

// ---- Both passes through the real operations -----------------------------

constexpr std::int32_t Untouched(int i) { return -1000 - i; }

// Prints the image values that a pass changed, also when the run ends
// through EndRun (process exit).
void DumpChangedValues() {
  for (int i = 0; i < ImageLength; ++i)
    if (ConfigImage.Values[i] != Untouched(i)) std::printf("value %d %d\n", i, ConfigImage.Values[i]);
  std::fflush(stdout);
}

// Whether this process holds the file open (where the system can tell).
const char* HeldOpen(const std::string& path) {
#ifdef __linux__
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path target = fs::absolute(path);
  for (const auto& fd : fs::directory_iterator("/proc/self/fd", ec)) {
    fs::path p = fs::read_symlink(fd.path(), ec);
    if (!ec && p == target) return "yes";
  }
  return "no";
#elif defined(_WIN32)
  // The runtime opens files without delete sharing, so renaming an open file
  // fails with a sharing violation.
  const std::string probe = path + ".probe";
  if (std::rename(path.c_str(), probe.c_str()) != 0) return qvtest::FileExists(path) ? "yes" : "no";
  std::rename(probe.c_str(), path.c_str());
  return "no";
#else
  (void)path;
  return "unknown";
#endif
}

// args: working directory, then "verify" (the checksum pass), "run" (both
// passes in the run's order), "apply" (the entry pass alone) or "changed"
// (both passes, with the file replaced by args[2] in between).
QV_CHILD(patch_pass) {
  std::filesystem::current_path(args.at(0));
  qvtest::ScenarioEnv env(false);
  for (int i = 0; i < ImageLength; ++i) ConfigImage.Values[i] = Untouched(i);
  std::atexit(DumpChangedValues);
  env.toolkit.SetBoxHook([](const std::string&, const std::string&) {
    platform::Transcript::Line(std::string("during box: exists ") +
                               (qvtest::FileExists(kFileName) ? "yes" : "no") + ", open " +
                               HeldOpen(kFileName));
  });
  TApplication app;
  app.CreateForm(MainForm);
  const std::string& mode = args.at(1);
  if (mode != "apply") VerifyPatchFile();
  if (mode == "changed") {
    std::FILE* f = std::fopen(kFileName, "wb");
    std::fwrite(args.at(2).data(), 1, args.at(2).size(), f);
    std::fclose(f);
  }
  if (mode != "verify") ApplyPatchFile();
  platform::Transcript::Line("returned");
  return 0;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// The checksum by its definition, for building fixtures.
std::int32_t Sum(const std::string& beforeE) {
  std::int64_t s = 0;
  for (char c : beforeE)
    if (c != '\r') s += static_cast<signed char>(c);
  return static_cast<std::int32_t>(s);
}
std::string WithSum(const std::string& beforeE) { return beforeE + "E" + std::to_string(Sum(beforeE)); }

enum class TOutcome { Passes, Fault, Mismatch, CannotOpen };
using TValues = std::map<int, std::int32_t>;

struct TPassResult {
  ChildResult child;
  bool existsAfter = false;
  std::string bytesAfter;
};

TPassResult RunPass(const std::string* bytes, const std::string& pass, const std::string& replacement = "") {
  std::string dir = qvtest::MakeTempDir();
  std::string file = (std::filesystem::path(dir) / kFileName).string();
  if (bytes != nullptr) qvtest::WriteFile(file, *bytes);
  TPassResult r;
  std::vector<std::string> args = {dir, pass};
  if (pass == "changed") args.push_back(replacement);
  r.child = RunChild("patch_pass", args);
  r.existsAfter = qvtest::FileExists(file);
  if (r.existsAfter) r.bytesAfter = ReadBytes(file);
  std::filesystem::remove_all(dir);
  return r;
}

TValues ChangedValues(const ChildResult& r) {
  TValues v;
  for (const auto& l : r.Plain()) {
    int i = 0, x = 0;
    if (std::sscanf(l.c_str(), "value %d %d", &i, &x) == 2) v[i] = x;
  }
  return v;
}

std::string Box(const char* text) { return "box Fehler: " + platform::Transcript::Escape(text); }

// Checks one pass's transcript against the outcome the row expects.
void ExpectOutcome(const TPassResult& p, TOutcome want, const std::string& what) {
  const ChildResult& r = p.child;
  EXPECT_EQ(r.exitCode, 0) << what;
  const char* text = want == TOutcome::Fault        ? kFaultText
                     : want == TOutcome::Mismatch   ? kChecksumText
                     : want == TOutcome::CannotOpen ? kCannotOpenText
                                                    : nullptr;
  if (text == nullptr) {
    EXPECT_TRUE(r.Has("returned")) << what << "\n" << r.output;
    EXPECT_EQ(r.Find("box", true), -1) << what << "\n" << r.output;
    EXPECT_EQ(r.Find("beep"), -1) << what;
    return;
  }
  EXPECT_FALSE(r.Has("returned")) << what << ": a failing pass never returns\n" << r.output;
  int box = r.Find(Box(text));
  ASSERT_GE(box, 1) << what << "\n" << r.output;
  EXPECT_EQ(r.Find("box", true), box) << what << ": exactly one box";
  EXPECT_EQ(r.Find("box", true, box + 1), -1) << what;
  EXPECT_EQ(r.Plain()[static_cast<std::size_t>(box - 1)], "beep") << what;
  // The file is closed before every message; a file whose checksum differs
  // is deleted only after the box was closed.
  int hook = r.Find("during box:", true);
  ASSERT_GE(hook, 0) << what;
  const std::string during = r.Plain()[static_cast<std::size_t>(hook)];
  EXPECT_EQ(during.find("open yes"), std::string::npos) << what << ": " << during;
  if (want != TOutcome::CannotOpen) {
    EXPECT_NE(during.find("exists yes"), std::string::npos) << what;
  }
}

struct TRow {
  const char* name;
  std::string bytes;
  TOutcome verify;
  TOutcome apply;  // the entry pass over the same text, verified
  TValues values;  // what the entry pass leaves in the image
};

std::string Lines(int count, bool lastEndsLine) {
  std::string s;
  for (int i = 0; i < count; ++i)
    s += std::to_string(i % ImageLength) + ";" + std::to_string(3 * i + 1) + "\n";
  if (!lastEndsLine && !s.empty()) s.pop_back();
  return s;
}

TValues LineValues(int count) {
  TValues v;
  for (int i = 0; i < count; ++i) v[i % ImageLength] = 3 * i + 1;
  return v;
}

std::vector<TRow> Rows() {
  std::vector<TRow> rows = {
      {"example",
       "12;1\n40;255\n41;0E750",
       TOutcome::Passes,
       TOutcome::Passes,
       {{12, 1}, {40, 255}, {41, 0}}},
      {"example CR LF",
       "12;1\r\n40;255\r\n41;0E750\r\n",
       TOutcome::Passes,
       TOutcome::Passes,
       {{12, 1}, {40, 255}, {41, 0}}},
      {"example checksum 751",
       "12;1\n40;255\n41;0E751",
       TOutcome::Mismatch,
       TOutcome::Passes,
       {{12, 1}, {40, 255}, {41, 0}}},
      // 49 + 50 + 59 + 49 - 28 = 179; read unsigned it would be 435.
      {"0xE4 counts -28",
       "12;1\xE4"
       "E179",
       TOutcome::Passes,
       TOutcome::Passes,
       {{12, 1}}},
      {"0xE4 not 228",
       "12;1\xE4"
       "E435",
       TOutcome::Mismatch,
       TOutcome::Passes,
       {{12, 1}}},
      // 207 - 1 + 10 + 209 = 425: 0xFF is -1 and reading goes on after it.
      {"0xFF counts -1", "12;1\xFF\n40;2E425", TOutcome::Passes, TOutcome::Passes, {{12, 1}, {40, 2}}},
      {"0xFF not the end", "12;1\xFF\n40;2E681", TOutcome::Mismatch, TOutcome::Passes, {{12, 1}, {40, 2}}},
      {"only the end mark", "E0", TOutcome::Passes, TOutcome::Fault, {}},
      {"E alone on the last line", WithSum("12;1\n"), TOutcome::Passes, TOutcome::Fault, {{12, 1}}},
      {"blanks and letters before the separator",
       WithSum("12 ; 1\n40abc;255 \n\n  41 ;-3"),
       TOutcome::Passes,
       TOutcome::Passes,
       {{12, 1}, {40, 255}, {41, -3}}},
      {"letter between separator and value",
       WithSum("12;1\n40;x255"),
       TOutcome::Passes,
       TOutcome::Fault,
       {{12, 1}}},
      {"text after a value, lower-case e",
       WithSum("12;1 ende; 9\n40;2"),
       TOutcome::Passes,
       TOutcome::Passes,
       {{12, 1}, {40, 2}}},
      {"E in trailing text ends the list",
       WithSum("12;1 ") + " Ende\n40;2E0",
       TOutcome::Passes,
       TOutcome::Passes,
       {{12, 1}}},
      {"E in trailing text, no checksum after it",
       "12;1 Ende\n40;2E161",
       TOutcome::Fault,
       TOutcome::Passes,
       {{12, 1}}},
      {"later entry wins", WithSum("12;1\n12;2"), TOutcome::Passes, TOutcome::Passes, {{12, 2}}},
      {"no E at all", "12;1\n40;2\n", TOutcome::Fault, TOutcome::Fault, {{12, 1}, {40, 2}}},
      {"empty file", "", TOutcome::Fault, TOutcome::Fault, {}},
      {"no checksum after E", "12;1E", TOutcome::Fault, TOutcome::Passes, {{12, 1}}},
      {"no separator before the end", WithSum("12 1"), TOutcome::Passes, TOutcome::Fault, {}},
      {"no value after the separator", WithSum("12;"), TOutcome::Passes, TOutcome::Fault, {}},
      {"end after a value without line end or E", "12;1\n40;2", TOutcome::Fault, TOutcome::Fault, {{12, 1}}},
      {"0x1A cuts the file",
       "12;1\n\x1a"
       "40;2E0",
       TOutcome::Fault,
       TOutcome::Fault,
       {{12, 1}}},
      {"0x1A after the checksum",
       WithSum("12;1") + "\x1a\xE4"
                         "E5",
       TOutcome::Passes,
       TOutcome::Passes,
       {{12, 1}}},
      // Indexes outside 0..119 and numbers outside int32: the fault box, no
      // write outside the image, and no deletion.
      {"index 120", WithSum("12;1\n120;5"), TOutcome::Passes, TOutcome::Fault, {{12, 1}}},
      {"index -1", WithSum("-1;5"), TOutcome::Passes, TOutcome::Fault, {}},
      {"index past int32", WithSum("4294967308;5"), TOutcome::Passes, TOutcome::Fault, {}},
      {"value past int32", WithSum("12;1\n40;2147483648"), TOutcome::Passes, TOutcome::Fault, {{12, 1}}},
      {"values at the int32 limits",
       WithSum("0;-2147483648\n119;+2147483647"),
       TOutcome::Passes,
       TOutcome::Passes,
       {{0, -2147483647 - 1}, {119, 2147483647}}},
      {"checksum past int32", "12;1E4294967503", TOutcome::Fault, TOutcome::Passes, {{12, 1}}},
      {"checksum below int32", "12;1E-2147483649", TOutcome::Fault, TOutcome::Passes, {{12, 1}}},
      // An "E" before the end mark of the last entry: the checksum stops at
      // it, so nothing after it may reach the image.
      {"smuggled value after an index", "0 E80;123E0", TOutcome::Passes, TOutcome::Fault, {}},
      {"smuggled entry after an index",
       WithSum("12;1\n40") + ";255\n41;0E0",
       TOutcome::Passes,
       TOutcome::Fault,
       {{12, 1}}},
      {"E between index and separator, no checksum", "12E;1E0", TOutcome::Fault, TOutcome::Fault, {}},
  };
  // 120 entries ended by line ends and one ended by "E"; then 121.
  TValues v121 = LineValues(120);
  v121[7] = 77;
  rows.push_back({"120 line entries and the last", WithSum(Lines(120, true) + "7;77"), TOutcome::Passes,
                  TOutcome::Passes, v121});
  rows.push_back({"121 line entries", WithSum(Lines(121, true) + "7;77"), TOutcome::Passes, TOutcome::Fault,
                  LineValues(121)});
  return rows;
}

TEST(PatchFileTest, EachFileGivesItsOutcomeInBothPasses) {
  for (const TRow& row : Rows()) {
    // The entry pass runs only after a checksum pass that returned.
    for (const char* pass : {"verify", "run"}) {
      const bool first = std::string(pass) == "verify";
      const bool reached = !first && row.verify == TOutcome::Passes;
      const TOutcome want = reached ? row.apply : row.verify;
      const std::string what = std::string(row.name) + " / " + pass;
      TPassResult p = RunPass(&row.bytes, pass);
      ExpectOutcome(p, want, what);
      // Only a checksum that was read and differs deletes the file; the
      // reader never changes it.
      EXPECT_EQ(p.existsAfter, want != TOutcome::Mismatch) << what;
      if (p.existsAfter) {
        EXPECT_EQ(p.bytesAfter, row.bytes) << what;
      }
      // The checksum pass does not look at the entries.
      EXPECT_EQ(ChangedValues(p.child), reached ? row.values : TValues{}) << what;
    }
  }
}

// The entry rules on their own, also for the files whose checksum pass
// fails: each text as though the checksum pass had verified it.
TEST(PatchTextTest, TheEntryPassOverEachVerifiedText) {
  for (const TRow& row : Rows()) {
    const std::vector<std::uint8_t> bytes(row.bytes.begin(), row.bytes.end());
    TMemorySource file(bytes.data(), bytes.size());
    std::int32_t values[ImageLength];
    for (int i = 0; i < ImageLength; ++i) values[i] = Untouched(i);
    TEntriesOutcome out = ApplyVerifiedSource(file, bytes, values);
    EXPECT_EQ(out.Result == TEntriesResult::erApplied, row.apply == TOutcome::Passes) << row.name;
    TValues changed;
    for (int i = 0; i < ImageLength; ++i)
      if (values[i] != Untouched(i)) changed[i] = values[i];
    EXPECT_EQ(changed, row.values) << row.name;
  }
}

// The entry pass applies the text that the checksum pass verified, or
// nothing: a file changed between the passes is a fault, as is an entry
// pass that no checksum pass preceded.
TEST(PatchFileTest, TheEntryPassAppliesOnlyTheVerifiedText) {
  const std::string example = "12;1\n40;255\n41;0E750";
  struct Row {
    const char* name;
    std::string replacement;
    TOutcome want;
    TValues values;
  };
  const std::vector<Row> rows = {
      {"unchanged", example, TOutcome::Passes, {{12, 1}, {40, 255}, {41, 0}}},
      {"a value changed, checksum made to fit", WithSum("12;1\n40;256\n41;0"), TOutcome::Fault, {{12, 1}}},
      {"an entry added, checksum made to fit",
       WithSum("12;1\n40;255\n41;0\n42;9"),
       TOutcome::Fault,
       {{12, 1}, {40, 255}}},
      {"shortened", "12;1\n40;2", TOutcome::Fault, {{12, 1}}},
      {"CR LF line ends", "12;1\r\n40;255\r\n41;0E750", TOutcome::Fault, {}},
      // The entry pass reads nothing after its end mark.
      {"changed only after the end mark",
       "12;1\n40;255\n41;0E999 x",
       TOutcome::Passes,
       {{12, 1}, {40, 255}, {41, 0}}},
  };
  for (const Row& row : rows) {
    TPassResult p = RunPass(&example, "changed", row.replacement);
    ExpectOutcome(p, row.want, row.name);
    EXPECT_EQ(ChangedValues(p.child), row.values) << row.name;
    EXPECT_TRUE(p.existsAfter) << row.name;
  }
  TPassResult alone = RunPass(&example, "apply");
  ExpectOutcome(alone, TOutcome::Fault, "entry pass alone");
  EXPECT_EQ(ChangedValues(alone.child), TValues{});
}

TEST(PatchFileTest, AMissingFileCannotBeOpenedInEitherPass) {
  for (const char* pass : {"verify", "apply"}) {
    TPassResult p = RunPass(nullptr, pass);
    ExpectOutcome(p, TOutcome::CannotOpen, pass);
    EXPECT_TRUE(ChangedValues(p.child).empty()) << pass;
  }
}

TEST(PatchFileTest, AFileDeletedForItsChecksumCannotBeOpenedAtTheNextStart) {
  std::string dir = qvtest::MakeTempDir();
  std::string file = (std::filesystem::path(dir) / kFileName).string();
  qvtest::WriteFile(file, "12;1\n40;255\n41;0E751");
  TPassResult first;
  first.child = RunChild("patch_pass", {dir, "verify"});
  ExpectOutcome(first, TOutcome::Mismatch, "first start");
  EXPECT_FALSE(qvtest::FileExists(file));
  TPassResult second;
  second.child = RunChild("patch_pass", {dir, "verify"});
  ExpectOutcome(second, TOutcome::CannotOpen, "second start");
  std::filesystem::remove_all(dir);
}

TEST(PatchFileTest, TheCommittedExampleSetsItsThreeValues) {
  const std::string example = ReadBytes(std::string(QV_SOURCE_DIR) + "/examples/Quorvaltine.ini");
  ASSERT_EQ(example, "12;1\n40;255\n41;0E750");
  TPassResult p = RunPass(&example, "run");
  ExpectOutcome(p, TOutcome::Passes, "example");
  EXPECT_EQ(ChangedValues(p.child), (TValues{{12, 1}, {40, 255}, {41, 0}}));
}

}  // namespace
