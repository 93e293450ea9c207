// The whole patch run on the simulated board, through quorvaltine-cli
// --simulate: the success run and every failure of the board dialogue.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <sstream>
#include <vector>

#include "emulator/LcdBoard.h"
#include "protocol/Protocol.h"
#include "tests/support/Child.h"

namespace {

using qvtest::ChildResult;

const std::string kExample = "12;1\n40;255\n41;0E750";

// Runs the CLI on the simulated board in a fresh directory holding `patch`.
ChildResult RunCli(const std::vector<std::string>& faults, const std::string& patch = kExample,
                   const std::vector<std::string>& extra = {}) {
  std::string dir = qvtest::MakeTempDir();
  qvtest::WriteFile(dir + "/Quorvaltine.ini", patch);
  std::vector<std::string> args = {"--dir", dir, "--simulate"};
  for (const auto& f : faults) {
    args.push_back("--fault");
    args.push_back(f);
  }
  args.insert(args.end(), extra.begin(), extra.end());
  return qvtest::RunProgram(QV_CLI_PATH, args);
}

std::vector<long long> BoardLine(const ChildResult& r) {
  int i = r.Find("board ", true);
  std::vector<long long> v;
  if (i < 0) return v;
  std::istringstream in(r.lines[static_cast<std::size_t>(i)].substr(6));
  long long x;
  while (in >> x) v.push_back(x);
  return v;
}

std::vector<long long> DefaultBoard() {
  std::vector<long long> v;
  for (int i = 0; i < 120; ++i) v.push_back((i * 37) % 1000 - 200);
  return v;
}

const char* const kSuccess = "box Information: Patch erfolgreich beendet!";

TEST(PatchRunTest, SuccessProgramsTheBoardWithThePatchedValues) {
  ChildResult r = RunCli({});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_GE(r.Find(kSuccess), 0);
  std::vector<long long> expected = DefaultBoard();
  expected[12] = 1;
  expected[40] = 255;
  expected[41] = 0;
  EXPECT_EQ(BoardLine(r), expected);
  EXPECT_EQ(r.Count("tone"), 1);
  EXPECT_EQ(r.Plain().back(), "exit 0");
  // The progress of the read: separators / 30 reach 70 before the trailer.
  EXPECT_GE(r.Find("progress 70"), 0);
  EXPECT_GE(r.Find("status Konfiguration gelesen"), 0);
  EXPECT_GE(r.Find("status Programmierung beendet"), 0);
}

struct FailureRow {
  std::vector<std::string> faults;
  std::string message;  // as the transcript writes it
};

TEST(PatchRunTest, EveryFailureOfTheDialogueEndsWithItsMessageAndNoSuccess) {
  const std::string dt = "Datenübertragungsfehler!";
  const std::vector<FailureRow> rows = {
      {{"no-dsr"},
       "Keine Rückmeldung vom \"Reset\"-Befehl \"ein\" erhalten!\\n\\n        Datenübertragung abgebrochen!"},
      {{"dsr-stuck"},
       "Keine Rückmeldung vom \"Reset\"-Befehl \"aus\" erhalten!\\n\\n        Datenübertragung abgebrochen!"},
      {{"ping-wrong"},
       "     Gerät antwortet nicht!\\n\\nMögliche Gründe, z.B.:\\nTest-Jumper auf Platine "
       "vergessen.\\nNetzkabel "
       "nicht entfernt.\\nNoch keine Firmware geladen."},
      {{"ping-late"},
       "     Gerät antwortet nicht!\\n\\nMögliche Gründe, z.B.:\\nTest-Jumper auf Platine "
       "vergessen.\\nNetzkabel "
       "nicht entfernt.\\nNoch keine Firmware geladen."},
      {{"dump-silent"}, dt + "\\n\\nZeitüberschreitung."},
      {{"dump-overflow"}, dt + "\\n\\nSpeicherende erreicht!"},
      {{"extra-field"}, dt + "\\n\\nFalsches Bestätigungsbyte!"},
      // Fewer separators than the layout, and a field too long for its
      // buffer: the parse stops inside the dump and the field buffer.
      {{"missing-field"}, dt + "\\n\\nFalsches Bestätigungsbyte!"},
      {{"long-field=50"}, dt + "\\n\\nFalsches Bestätigungsbyte!"},
      {{"no-control-char"},
       dt + "\\n\\nFalsches Kontrollzeichen empfangen.\\nFirmware in LCD-Platine vermutlich nicht "
            "kompatibel."},
      {{"trailer-silent=0"},
       dt + "\\n\\nZeitüberschreitung.\\nFirmware in LCD-Platine vermutlich nicht kompatibel!"},
      {{"trailer-silent=1"}, dt + "\\n\\nZeitüberschreitung."},
      {{"language=2"}, dt + "\\n\\nUngültiges Sprach-Kontrollzeichen empfangen."},
      {{"language=255"}, dt + "\\n\\nUngültiges Sprach-Kontrollzeichen empfangen."},
      {{"trailer-silent=2"}, dt + "\\n\\nZeitüberschreitung.\\nGerätetyp-Kennzeichen nicht empfangen!"},
      {{"trailer-silent=5"}, dt + "\\n\\nZeitüberschreitung."},
      {{"devtext-long"}, dt + "\\n\\nSpeicherende erreicht!"},
      {{"program-wrong"},
       dt + "\\n\\nFalsches Kontrollzeichen empfangen.\\nFirmware in LCD-Platine vermutlich nicht "
            "kompatibel."},
      {{"program-silent"},
       dt + "\\n\\nZeitüberschreitung.\\nFirmware in LCD-Platine vermutlich nicht kompatibel!"},
      {{"echo-wrong=3"}, "Datenübertragungsfehler!  Fehlercode 1\\n\\nFalsches Antwortbyte."},
      {{"echo-late=3"}, "Datenübertragungsfehler!  Fehlercode 2\\n\\nZeitüberschreitung."},
      {{"separator-wrong"}, "Datenübertragungsfehler!  Fehlercode 3\\n\\nFalsches Antwortbyte."},
      {{"separator-late"}, "Datenübertragungsfehler!  Fehlercode 4\\n\\nZeitüberschreitung."},
      {{"eod-wrong"}, "Datenübertragungsfehler!  Fehlercode 5\\n\\nFalsches Antwortbyte."},
      {{"eod-late"}, "Datenübertragungsfehler!  Fehlercode 6\\n\\nZeitüberschreitung."},
      {{"confirm-wrong"}, "Programmierfehler!  Fehlercode 7\\n\\nFalsches Bestätigungsbyte."},
      {{"confirm-late"}, "Programmierfehler!  Fehlercode 8\\n\\nZeitüberschreitung."},
      {{"confirm-poll=599"}, "Programmierfehler!  Fehlercode 8\\n\\nZeitüberschreitung."},
      {{"reset-end-fail"},
       "Keine Rückmeldung vom \"Reset\"-Befehl \"ein\" erhalten!\\n\\n        Datenübertragung abgebrochen!"},
  };
  for (const auto& row : rows) {
    ChildResult r = RunCli(row.faults);
    std::string label = row.faults[0];
    EXPECT_EQ(r.exitCode, 1) << label << "\n" << r.output;
    EXPECT_EQ(r.Find(kSuccess), -1) << label;
    int box = r.Find("box Fehler: " + row.message);
    EXPECT_GE(box, 0) << label << "\n" << r.output;
    EXPECT_EQ(r.Count("box Fehler: " + row.message), 1) << label;
    if (box > 0) {
      EXPECT_EQ(r.Plain()[static_cast<std::size_t>(box - 1)], "beep") << label;
    }
    EXPECT_EQ(r.Plain().back(), "exit 1") << label;
  }
}

TEST(PatchRunTest, EdgesThatTheDialogueAccepts) {
  const std::vector<std::vector<std::string>> accepted = {
      {"dump-size=63994"}, {"devtext-len=16"}, {"devtext-len=0"}, {"language=0"},       {"devtype=95"},
      {"devtype=175"},     {"dump-gap=499"},   {"early-bytes"},   {"confirm-poll=598"}, {"long-field=49"},
  };
  // The poll limits themselves, on an adapter that passes every byte on at
  // once; a latency timer moves an answer by up to a period.
  for (const auto& faults : accepted) {
    ChildResult r = RunCli(faults, kExample, {"--latency", "0"});
    EXPECT_EQ(r.exitCode, 0) << faults[0] << "\n" << r.output;
    EXPECT_GE(r.Find(kSuccess), 0) << faults[0];
  }
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"dump-size=63995", "Datenübertragungsfehler!\\n\\nSpeicherende erreicht!"},
      {"devtext-len=17", "Datenübertragungsfehler!\\n\\nSpeicherende erreicht!"},
      {"dump-gap=502", "Datenübertragungsfehler!\\n\\nZeitüberschreitung."},
  };
  for (const auto& [fault, message] : refused) {
    ChildResult r = RunCli({fault}, kExample, {"--latency", "0"});
    EXPECT_EQ(r.exitCode, 1) << fault;
    EXPECT_GE(r.Find("box Fehler: " + message), 0) << fault << "\n" << r.output;
  }
}

TEST(PatchRunTest, EmptyAndNegativeFields) {
  // Value 5 arrives as an empty field (read as 0); the start values hold
  // negatives, which go back with their minus sign.
  ChildResult ok = RunCli({"empty-field=5"});
  std::vector<long long> board = BoardLine(ok);
  ASSERT_EQ(board.size(), 120u) << ok.output;
  EXPECT_EQ(board[5], 0);
  EXPECT_EQ(board[0], -200);
  EXPECT_EQ(board[6], 22);
}

// The bar values of the programming wait: the "progress" lines after its
// status line, up to `until` (a line of the transcript).
std::vector<int> WaitProgress(const ChildResult& r, const std::string& until) {
  std::vector<int> v;
  int start = r.Find("status Konfiguration Programmieren");
  if (start < 0) return v;
  const std::vector<std::string> lines = r.Plain();
  for (std::size_t i = static_cast<std::size_t>(start) + 1; i < lines.size() && lines[i] != until; ++i) {
    int n = 0;
    if (std::sscanf(lines[i].c_str(), "progress %d", &n) == 1) v.push_back(n);
  }
  return v;
}

TEST(PatchRunTest, TheProgrammingWaitShowsTheTruncatedProductToItsLastPoll) {
  // The board confirms in poll 300, after the bar showed poll 299; in poll
  // 599 it is too late, after the bar showed poll 598.
  struct Row {
    std::string fault, until;
    int last;
  };
  // Poll counts: on an adapter that passes every byte on at once.
  for (const Row& row : {Row{"confirm-poll=300", "progress 100", 49}, Row{"confirm-poll=599", "beep", 99}}) {
    ChildResult r = RunCli({row.fault}, kExample, {"--latency", "0"});
    std::vector<int> bar = WaitProgress(r, row.until);
    ASSERT_FALSE(bar.empty()) << row.fault << "\n" << r.output;
    EXPECT_GE(r.Find(row.until, false, r.Find("status Konfiguration Programmieren")), 0) << row.fault;
    EXPECT_EQ(bar.back(), row.last) << row.fault << "\n" << r.output;
    EXPECT_EQ(*std::max_element(bar.begin(), bar.end()), row.last) << row.fault;
    EXPECT_TRUE(std::is_sorted(bar.begin(), bar.end())) << row.fault;
  }
}

TEST(ProgrammingWaitTest, TheBarIsTheExactProductTruncated) {
  // With a 64-bit significand, k (10 bits) times the step (53 bits) is
  // exact in long double, a reference independent of the function's own.
  static_assert(std::numeric_limits<long double>::digits >= 64, "needs an x87 long double");
  constexpr double kStep = 0.16722408026755853;
  for (int k = 1; k <= 599; ++k) {
    const long double exact = static_cast<long double>(k) * static_cast<long double>(kStep);
    EXPECT_EQ(protocol::ProgrammingWaitPosition(k), static_cast<int>(exact)) << k;
  }
  EXPECT_EQ(protocol::ProgrammingWaitPosition(299), 49);
  EXPECT_EQ(protocol::ProgrammingWaitPosition(598), 99);
  EXPECT_EQ(protocol::ProgrammingWaitPosition(300), 50);
}

TEST(ParseFieldTest, DecimalFieldsOfTheBoard) {
  struct Row {
    const char* text;
    std::int32_t value;
  };
  for (Row r : {Row{"", 0}, Row{"17", 17}, Row{"-17", -17}, Row{"  +5", 5}, Row{"12ab", 12}, Row{"-", 0},
                Row{"2147483647", 2147483647}, Row{"99999999999", 2147483647}, Row{"-2147483648", INT32_MIN},
                Row{"-99999999999", INT32_MIN}, Row{"x1", 0}}) {
    EXPECT_EQ(protocol::ParseField(r.text), r.value) << r.text;
  }
}

TEST(LcdBoardTest, FaultNamesParse) {
  EXPECT_EQ(emulator::ParseFault("echo-wrong=3").n, 3);
  EXPECT_EQ(emulator::ParseFault("no-dsr").name, "no-dsr");
  EXPECT_THROW(emulator::ParseFault("no-such"), std::invalid_argument);
  EXPECT_THROW(emulator::ParseFault("echo-wrong=3x"), std::invalid_argument);
}

}  // namespace
