// The command-line tool's own tasks on the simulated board: reading a board
// and saving it as a patch file, the backup before programming, reading
// back after programming, the named port, the transfer log, and the refused
// combinations; and the patch file writer under the reader of the run.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "patch/PatchText.h"
#include "patch/PatchWriter.h"
#include "platform/Platform.h"
#include "tests/support/Child.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using qvtest::ChildResult;

const std::string kExample = "12;1\n40;255\n41;0E750";
const char* const kSuccess = "box Information: Patch erfolgreich beendet!";
// Shown only once programming has begun.
const char* const kProgramming = "status Geänderte Konfiguration zum Gerät senden";

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<long long> Numbers(const std::string& text) {
  std::istringstream in(text);
  std::vector<long long> v;
  long long x;
  while (in >> x) v.push_back(x);
  return v;
}

// The numbers of the first transcript line that starts with `tag`.
std::vector<long long> LineValues(const ChildResult& r, const std::string& tag) {
  int i = r.Find(tag + " ", true);
  if (i < 0) return {};
  return Numbers(r.Plain()[static_cast<std::size_t>(i)].substr(tag.size() + 1));
}

std::vector<long long> DefaultBoard() {
  std::vector<long long> v;
  for (int i = 0; i < 120; ++i) v.push_back((i * 37) % 1000 - 200);
  return v;
}

// Board values with the extremes of the range, zeros and every length.
std::vector<long long> OddBoard() {
  std::vector<long long> v;
  for (int i = 0; i < 120; ++i) v.push_back(static_cast<long long>(i) * i * 9973 % 200001 - 100000);
  v[0] = INT32_MIN;
  v[1] = INT32_MAX;
  v[2] = 0;
  v[3] = -1;
  return v;
}

std::string BoardFile(const std::string& dir, const std::vector<long long>& values) {
  std::string text;
  for (long long v : values) text += std::to_string(v) + "\n";
  std::string path = dir + "/board.txt";
  qvtest::WriteFile(path, text);
  return path;
}

// Runs the tool on the simulated board in a fresh directory; `board` empty:
// the built-in start values; `patch` empty: no patch file.
ChildResult RunCli(const std::vector<std::string>& extra, const std::vector<long long>& board = {},
                   const std::string& patch = kExample) {
  std::string dir = qvtest::MakeTempDir();
  if (!patch.empty()) qvtest::WriteFile(dir + "/Quorvaltine.ini", patch);
  std::vector<std::string> args = {"--dir", dir, "--simulate"};
  if (!board.empty()) {
    args.push_back("--board");
    args.push_back(BoardFile(dir, board));
  }
  args.insert(args.end(), extra.begin(), extra.end());
  return qvtest::RunProgram(QV_CLI_PATH, args);
}

// ---------------------------------------------------------------------------
// The writer, checked by the reader of the patch run.

TEST(PatchWriterTest, EveryConfigurationReadsBackExactlyWithAMatchingChecksum) {
  std::vector<std::vector<long long>> sets = {DefaultBoard(), OddBoard(), std::vector<long long>(120, 0),
                                              std::vector<long long>(120, INT32_MIN),
                                              std::vector<long long>(120, INT32_MAX)};
  for (std::size_t s = 0; s < sets.size(); ++s) {
    std::int32_t values[ImageLength];
    for (int i = 0; i < ImageLength; ++i)
      values[i] = static_cast<std::int32_t>(sets[s][static_cast<std::size_t>(i)]);
    const std::string text = patchfile::PatchTextFor(values);

    patchfile::TMemorySource sum(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    patchfile::TPatchText sumText(sum);
    EXPECT_EQ(patchfile::CheckPatchText(sumText).Result, patchfile::TChecksumResult::crMatch) << "set " << s;

    std::int32_t back[ImageLength];
    for (auto& v : back) v = 12345;
    patchfile::TMemorySource entries(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    patchfile::TPatchText entryText(entries);
    patchfile::TEntriesOutcome out = patchfile::ApplyPatchText(entryText, back);
    EXPECT_EQ(out.Result, patchfile::TEntriesResult::erApplied) << "set " << s;
    EXPECT_EQ(out.Stored, 120);
    EXPECT_EQ(out.LineEntries, 119);
    for (int i = 0; i < ImageLength; ++i) EXPECT_EQ(back[i], values[i]) << "set " << s << " index " << i;
  }
}

TEST(PatchWriterTest, TheChecksumIsTheSumOfTheTextBeforeTheEndMark) {
  std::int32_t values[ImageLength] = {};
  values[0] = -7;
  const std::string text = patchfile::PatchTextFor(values);
  ASSERT_EQ(text.compare(0, 10, "0;-7\n1;0\n2"), 0) << text.substr(0, 20);
  std::size_t e = text.find('E');
  ASSERT_NE(e, std::string::npos);
  EXPECT_EQ(text.substr(e - 6, 6), "\n119;0");
  long long sum = 0;
  for (std::size_t i = 0; i < e; ++i) sum += static_cast<signed char>(text[i]);
  EXPECT_EQ(text.substr(e + 1), std::to_string(sum) + "\n");
}

TEST(PatchWriterTest, AFileIsReplacedOnlyWhenAskedAndNeverLeftHalfWritten) {
  const std::string dir = qvtest::MakeTempDir();
  const std::string path = dir + "/saved.ini";
  using patchfile::TWriteResult;
  EXPECT_EQ(patchfile::WriteTextFile(path, "first", false), TWriteResult::wrWritten);
  EXPECT_EQ(patchfile::WriteTextFile(path, "second", false), TWriteResult::wrExists);
  EXPECT_EQ(ReadAll(path), "first");
  EXPECT_EQ(patchfile::WriteTextFile(path, "third", true), TWriteResult::wrWritten);
  EXPECT_EQ(ReadAll(path), "third");
  EXPECT_EQ(patchfile::WriteTextFile(dir + "/no/such/dir/x.ini", "x", true), TWriteResult::wrNoDirectory);
  EXPECT_EQ(patchfile::CheckTarget(dir + "/fresh.ini", false), TWriteResult::wrWritten);
  EXPECT_FALSE(fs::exists(dir + "/fresh.ini"));
  // A directory in the file's place is not a file to replace.
  fs::create_directory(dir + "/adir");
  EXPECT_EQ(patchfile::WriteTextFile(dir + "/adir", "x", true), TWriteResult::wrFailed);
  for (const auto& e : fs::directory_iterator(dir))
    EXPECT_EQ(e.path().string().find(".part"), std::string::npos) << e.path();
}

// ---------------------------------------------------------------------------
// Reading and saving.

TEST(CliReadTest, ReadPrintsTheBoardAndSavesAFileThatGivesAnotherBoardTheseValues) {
  const std::string saved = qvtest::MakeTempDir() + "/board-a.ini";
  ChildResult r = RunCli({"--read", "--save", saved}, OddBoard(), "");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(LineValues(r, "values"), OddBoard());
  EXPECT_TRUE(r.Has("identity type 33 language 1 text LCD-Platine 240")) << r.output;
  EXPECT_TRUE(r.Has("saved " + platform::Transcript::Escape(saved))) << r.output;
  // Nothing was sent: the board holds what it held.
  EXPECT_FALSE(r.Has(kProgramming));
  EXPECT_EQ(LineValues(r, "board"), OddBoard());
  EXPECT_FALSE(r.Has(kSuccess));
  EXPECT_GE(r.Find("box Information: Konfiguration erfolgreich gelesen!", true), 0);
  // The closing reset leaves the board running: DTR on and off after the read.
  int read = r.Find("status Konfiguration gelesen");
  ASSERT_GE(read, 0);
  int on = r.Find("panel ResetPanel 00FF00", false, read);
  EXPECT_GT(on, read);
  EXPECT_GT(r.Find("panel ResetPanel 008000", false, on), on);

  // Patching a board that holds other values with that file.
  ChildResult p = RunCli({}, DefaultBoard(), ReadAll(saved));
  ASSERT_EQ(p.exitCode, 0) << p.output;
  EXPECT_TRUE(p.Has(kSuccess));
  EXPECT_EQ(LineValues(p, "board"), OddBoard());
}

TEST(CliReadTest, ReadNeedsNoPatchFileAndAFailedReadFails) {
  ChildResult ok = RunCli({"--read"}, {}, "");
  EXPECT_EQ(ok.exitCode, 0) << ok.output;
  EXPECT_EQ(LineValues(ok, "values"), DefaultBoard());
  ChildResult bad = RunCli({"--read", "--fault", "language=2"}, {}, "");
  EXPECT_EQ(bad.exitCode, 1) << bad.output;
  EXPECT_EQ(bad.Find("values ", true), -1);
}

// ---------------------------------------------------------------------------
// The backup.

TEST(CliBackupTest, ABackupTakenBeforeAPatchRestoresTheBoard) {
  const std::string backup = qvtest::MakeTempDir() + "/before.ini";
  ChildResult r = RunCli({"--backup", backup}, OddBoard());
  ASSERT_EQ(r.exitCode, 0) << r.output;
  // Written after the read, before anything was sent.
  int written = r.Find("backup " + platform::Transcript::Escape(backup));
  ASSERT_GE(written, 0) << r.output;
  EXPECT_GT(written, r.Find("status Konfiguration gelesen"));
  EXPECT_LT(written, r.Find(kProgramming));
  std::vector<long long> patched = OddBoard();
  patched[12] = 1;
  patched[40] = 255;
  patched[41] = 0;
  EXPECT_EQ(LineValues(r, "board"), patched);

  ChildResult restore = RunCli({}, patched, ReadAll(backup));
  ASSERT_EQ(restore.exitCode, 0) << restore.output;
  EXPECT_EQ(LineValues(restore, "board"), OddBoard());
}

TEST(CliBackupTest, ABackupThatCannotBeWrittenStopsTheRunBeforeAnythingIsProgrammed) {
  struct Row {
    std::string label;
    std::string file;               // below the row's directory
    std::string existing;           // the file's content before the run; empty: none
    std::vector<std::string> wrap;  // a command the tool is run under (Linux)
    std::string message;            // the start of the box text
  };
  std::vector<Row> rows = {
      {"missing directory", "no/such/dir/b.ini", "", {}, "Das Verzeichnis für die Datei "},
      {"existing file", "b.ini", "keep me", {}, "Die Datei "},
  };
#ifndef _WIN32
  // A full disk: no byte may be written to a file (SIGXFSZ ignored, so the
  // write fails rather than the process).
  rows.push_back({"disk full",
                  "b.ini",
                  "",
                  {"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 0; exec \"$@\"", "sh"},
                  "Die Datei "});
  // A read-only directory, also for root: without the capability that
  // overrides permissions.
  std::vector<std::string> unprivileged;
  if (::geteuid() == 0) unprivileged = {"setpriv", "--bounding-set", "-dac_override"};
  rows.push_back({"read-only directory", "ro/b.ini", "", unprivileged, "Die Datei "});
#endif
  for (const Row& row : rows) {
    const std::string dir = qvtest::MakeTempDir();
    fs::create_directory(dir + "/ro");
    const std::string target = dir + "/" + row.file;
    if (!row.existing.empty()) qvtest::WriteFile(target, row.existing);
    fs::permissions(dir + "/ro", fs::perms::owner_read | fs::perms::owner_exec);

    std::string runDir = qvtest::MakeTempDir();
    qvtest::WriteFile(runDir + "/Quorvaltine.ini", kExample);
    std::vector<std::string> args = row.wrap;
    if (!row.wrap.empty()) args.push_back(QV_CLI_PATH);
    for (const char* a : {"--dir", runDir.c_str(), "--simulate", "--backup", target.c_str()})
      args.push_back(a);
    ChildResult r = row.wrap.empty() ? qvtest::RunProgram(QV_CLI_PATH, args)
                                     : qvtest::RunProgram(row.wrap[0], {args.begin() + 1, args.end()});
    EXPECT_EQ(r.exitCode, 1) << row.label << "\n" << r.output;
    int box = r.Find("box Fehler: " + row.message, true);
    ASSERT_GE(box, 0) << row.label << "\n" << r.output;
    EXPECT_NE(r.Plain()[static_cast<std::size_t>(box)].find("Die LCD-Platine wurde nicht programmiert."),
              std::string::npos)
        << row.label;
    EXPECT_FALSE(r.Has(kProgramming)) << row.label;
    EXPECT_FALSE(r.Has(kSuccess)) << row.label;
    EXPECT_EQ(LineValues(r, "board"), DefaultBoard()) << row.label;
    if (row.existing.empty())
      EXPECT_FALSE(fs::exists(target)) << row.label;
    else
      EXPECT_EQ(ReadAll(target), row.existing) << row.label;
    EXPECT_FALSE(fs::exists(target + ".part")) << row.label;
    fs::permissions(dir + "/ro", fs::perms::owner_all);
  }
}

TEST(CliBackupTest, ForceReplacesAnExistingBackup) {
  const std::string dir = qvtest::MakeTempDir();
  const std::string target = dir + "/b.ini";
  qvtest::WriteFile(target, "old");
  ChildResult r = RunCli({"--backup", target, "--force"}, OddBoard());
  ASSERT_EQ(r.exitCode, 0) << r.output;
  std::int32_t values[ImageLength];
  for (int i = 0; i < ImageLength; ++i)
    values[i] = static_cast<std::int32_t>(OddBoard()[static_cast<std::size_t>(i)]);
  EXPECT_EQ(ReadAll(target), patchfile::PatchTextFor(values));
}

// ---------------------------------------------------------------------------
// Reading back after programming.

TEST(CliVerifyTest, AGoodBoardPassesAndABoardThatStoresAValueWronglyFailsNamingIt) {
  ChildResult good = RunCli({"--verify"});
  EXPECT_EQ(good.exitCode, 0) << good.output;
  EXPECT_TRUE(good.Has("status Konfiguration geprüft"));
  EXPECT_GT(good.Find(kSuccess), good.Find("status Konfiguration geprüft"));

  struct Row {
    int index;
    std::string line;
  };
  // Value 40 is patched to 255; value 7 keeps its start value 59.
  for (const Row& row :
       {Row{40, "Wert 40: gesendet 255, gelesen 254"}, Row{7, "Wert 7: gesendet 59, gelesen 58"}}) {
    ChildResult r = RunCli({"--verify", "--fault", "store-wrong=" + std::to_string(row.index)});
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_FALSE(r.Has(kSuccess));
    int box = r.Find("box Fehler: Prüfung fehlgeschlagen!", true);
    ASSERT_GE(box, 0) << r.output;
    const std::string text = r.Plain()[static_cast<std::size_t>(box)];
    EXPECT_NE(text.find(row.line), std::string::npos) << text;
    // Only the differing index.
    EXPECT_EQ(text.find("Wert ", text.find(row.line) + 1), std::string::npos) << text;
  }
  // Without --verify the same board's fault goes unnoticed.
  ChildResult unchecked = RunCli({"--fault", "store-wrong=40"});
  EXPECT_EQ(unchecked.exitCode, 0);
}

// ---------------------------------------------------------------------------
// The named port and the log.

TEST(CliPortTest, TheNamedPortIsUsedInsteadOfTheSearch) {
  struct Row {
    std::string port;
    int exitCode;
    std::string box;  // expected box, or empty for success
  };
  const std::vector<Row> rows = {
      {"COM5", 0, ""},
      {"\\\\.\\COM5", 0, ""},
      {"com5", 0, ""},
      // COM1 has no board behind it: the search would have taken COM5.
      {"COM1", 1, "box Fehler: Keine Rückmeldung vom \"Reset\"-Befehl \"ein\" erhalten!"},
      {"COM9", 1, "box Fehler: Port COM9 nicht gefunden!\\n\\nVorhandene Ports: COM1, COM5"},
  };
  for (const Row& row : rows) {
    ChildResult r = RunCli({"--port", row.port});
    EXPECT_EQ(r.exitCode, row.exitCode) << row.port << "\n" << r.output;
    if (row.box.empty()) {
      EXPECT_TRUE(r.Has(kSuccess)) << row.port;
      EXPECT_EQ(r.Count("tone"), 1) << row.port;
    } else {
      EXPECT_GE(r.Find(row.box, true), 0) << row.port << "\n" << r.output;
      EXPECT_FALSE(r.Has(kSuccess)) << row.port;
    }
  }
}

TEST(CliLogTest, TheLogHoldsTheWholeRunsTransfers) {
  const std::string log = qvtest::MakeTempDir() + "/line.log";
  ChildResult r = RunCli({"--log", log});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  std::istringstream in(ReadAll(log));
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  ASSERT_GT(lines.size(), 1000u);
  auto has = [&](const std::string& what) {
    for (const auto& l : lines)
      if (l.find(what) != std::string::npos) return true;
    return false;
  };
  EXPECT_NE(lines.front().find(" Open \\\\.\\COM5"), std::string::npos) << lines.front();
  EXPECT_NE(lines.back().find(" Close \\\\.\\COM5"), std::string::npos) << lines.back();
  EXPECT_TRUE(has("Write request $BA"));
  EXPECT_TRUE(has("Write request $AB"));
  EXPECT_TRUE(has("Write request $FA"));
  EXPECT_TRUE(has("Read complete $AF"));

  ChildResult bad = qvtest::RunProgram(QV_CLI_PATH, {"--simulate", "--log", "/no/such/dir/line.log"});
  EXPECT_EQ(bad.exitCode, 2);
}

// ---------------------------------------------------------------------------
// Help, version and refusals.

TEST(CliArgumentsTest, HelpNamesEveryOptionAndTheExitStatuses) {
  ChildResult r = qvtest::RunProgram(QV_CLI_PATH, {"--help"});
  EXPECT_EQ(r.exitCode, 0);
  for (const char* opt :
       {"--dir", "--read", "--save", "--backup", "--force", "--verify", "--port", "--log", "--transcript",
        "--gui", "--simulate", "--board", "--fault", "--realtime", "--version", "--help"}) {
    int n = 0;
    for (const auto& l : r.lines)
      if (l.rfind(std::string("  ") + opt + " ", 0) == 0) ++n;
    EXPECT_EQ(n, 1) << opt << "\n" << r.output;
  }
  // One line each: the option list has no continuation lines.
  int first = r.Find("  --", true);
  ASSERT_GE(first, 0);
  for (std::size_t i = static_cast<std::size_t>(first); i < r.lines.size() && !r.lines[i].empty(); ++i)
    EXPECT_EQ(r.lines[i].rfind("  --", 0), 0u) << r.lines[i];
  EXPECT_NE(r.output.find("Exit status: 0"), std::string::npos);
  EXPECT_NE(r.output.find("1 when the run failed"), std::string::npos);
  EXPECT_NE(r.output.find("2 for bad arguments"), std::string::npos);

  ChildResult v = qvtest::RunProgram(QV_CLI_PATH, {"--version"});
  EXPECT_EQ(v.exitCode, 0);
  EXPECT_EQ(v.output, "quorvaltine-cli " + std::to_string(QUORVALTINE_VERSION_MAJOR) + "." +
                          std::to_string(QUORVALTINE_VERSION_MINOR) + "." +
                          std::to_string(QUORVALTINE_VERSION_PATCH) + "\n");
}

TEST(CliArgumentsTest, BadCombinationsAreRefusedWithOneLineAndStatusTwo) {
  const std::vector<std::vector<std::string>> refused = {
      {"--save", "x.ini"}, {"--read", "--verify"}, {"--read", "--backup", "x.ini"},
      {"--force"},         {"--read", "--force"},  {"--port"},
      {"--port", ""},      {"--no-such-option"},
  };
  for (const auto& args : refused) {
    std::string label;
    for (const auto& a : args) label += a + " ";
#ifdef _WIN32
    ChildResult r = qvtest::RunProgram(QV_CLI_PATH, args);
    EXPECT_EQ(r.exitCode, 2) << label;
    EXPECT_EQ(r.output, "") << label;
#else
    // Standard error is the output here.
    std::vector<std::string> sh = {"-c", "\"$0\" \"$@\" 2>&1 >/dev/null", QV_CLI_PATH};
    sh.insert(sh.end(), args.begin(), args.end());
    ChildResult r = qvtest::RunProgram("/bin/sh", sh);
    EXPECT_EQ(r.exitCode, 2) << label;
    ASSERT_EQ(r.lines.size(), 1u) << label << "\n" << r.output;
    EXPECT_EQ(r.lines[0].rfind("quorvaltine-cli: ", 0), 0u) << r.lines[0];
#endif
  }
}

}  // namespace
