#include "tools/cli/TerminalView.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

// Reverses the transcript's escaping of backslashes and line breaks.
std::string Unescape(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      char n = s[++i];
      out += n == 'n' ? '\n' : n;
    } else {
      out += s[i];
    }
  }
  return out;
}

// Control bytes from the board's text must not reach the terminal as such.
std::string Printable(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool StartsWith(const std::string& s, const char* prefix, std::string* rest = nullptr) {
  std::string p = prefix;
  if (s.compare(0, p.size(), p) != 0) return false;
  if (rest != nullptr) *rest = s.substr(p.size());
  return true;
}

int TerminalColumns() {
#ifdef _WIN32
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
    return info.srWindow.Right - info.srWindow.Left + 1;
#else
  winsize ws{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
#endif
  return 80;
}

// Characters as the terminal counts them: UTF-8 continuation bytes take no
// column.
std::size_t Columns(const std::string& s) {
  std::size_t n = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

std::string CutToColumns(const std::string& s, std::size_t cols) {
  std::size_t n = 0, i = 0;
  for (; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if ((c & 0xC0) != 0x80) {
      if (n == cols) break;
      ++n;
    }
  }
  return s.substr(0, i);
}

// The terminal's control sequences: clear the line, bold, red, green,
// plain. The Windows console is written without them (Wine's console shows
// them as text), the line cleared by blanks.
#ifdef _WIN32
constexpr bool kSequences = false;
#else
constexpr bool kSequences = true;
#endif
const char* Seq(const char* s) { return kSequences ? s : ""; }
const char* const kBold = "\033[1m";
const char* const kRed = "\033[1;31m";
const char* const kGreen = "\033[1;32m";
const char* const kPlain = "\033[0m";

class TLineBuf final : public std::streambuf {
 public:
  explicit TLineBuf(TTerminalView& view) : view_(view) {}

 protected:
  int_type overflow(int_type ch) override {
    if (ch == traits_type::eof()) return traits_type::not_eof(ch);
    if (ch == '\n') {
      view_.Line(pending_);
      pending_.clear();
    } else {
      pending_ += static_cast<char>(ch);
    }
    return ch;
  }

 private:
  TTerminalView& view_;
  std::string pending_;
};

}  // namespace

bool StdoutIsTerminal() {
#ifdef _WIN32
  if (!_isatty(_fileno(stdout))) return false;
  HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(h, &mode)) SetConsoleMode(h, mode | 0x0004 /* ENABLE_VIRTUAL_TERMINAL_PROCESSING */);
  SetConsoleOutputCP(CP_UTF8);
  return true;
#else
  return ::isatty(STDOUT_FILENO) == 1;
#endif
}

struct TTerminalView::TState {
  std::ostream& out;
  TLineBuf buf;
  std::ostream stream;
  std::mutex mu;
  std::condition_variable cv;
  std::thread ticker;
  bool stop = false;
  bool finished = false;
  bool liveShown = false;
  int progress = 0;
  std::string status;
  std::string phase;
  std::string identity;
  int spin = 0;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  int exitCode = -1;
  std::string timeMs;

  TState(std::ostream& o, TTerminalView& view) : out(o), buf(view), stream(&buf) {}

  // Text as it is, on Windows to the console as UTF-16, so that it shows
  // whatever the console's code page.
  void Put(const std::string& text) {
#ifdef _WIN32
    HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(h, &mode)) {
      int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
      std::wstring w(static_cast<std::size_t>(n), L'\0');
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), w.data(), n);
      DWORD written = 0;
      WriteConsoleW(h, w.data(), static_cast<DWORD>(w.size()), &written, nullptr);
      return;
    }
#endif
    out << text << std::flush;
  }

  void ClearLine() {
    if (kSequences)
      Put("\r\033[2K");
    else
      Put("\r" + std::string(static_cast<std::size_t>(std::max(TerminalColumns() - 1, 0)), ' ') + "\r");
  }

  void ClearLive() {
    if (liveShown) ClearLine();
    liveShown = false;
  }

  // The live line: alive sign, bar, percentage, the status (or what the
  // run is doing while the program has no status text), seconds so far.
  void DrawLive() {
    if (finished) return;
    static const char kSpin[] = {'|', '/', '-', '\\'};
    const int width = 20;
    int filled = progress * width / 100;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar += std::string(static_cast<std::size_t>(width - filled), '.');
    auto secs =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
    char head[64];
    std::snprintf(head, sizeof head, "%c [%s] %3d%%  ", kSpin[spin % 4], bar.c_str(), progress);
    std::string tail = "  " + std::to_string(secs) + " s";
    std::string text = status.empty() ? phase : status;
    std::size_t cols = static_cast<std::size_t>(TerminalColumns());
    std::size_t room =
        cols > Columns(head) + Columns(tail) + 1 ? cols - Columns(head) - Columns(tail) - 1 : 0;
    text = CutToColumns(text, room);
    ClearLine();
    Put(head + std::string(Seq(kBold)) + text + Seq(kPlain) + tail);
    liveShown = true;
  }

  // A block above the live line.
  void Print(const std::string& block) {
    ClearLive();
    Put(block);
    DrawLive();
  }

  void Box(const std::string& title, const std::string& text) {
    bool error = title == "Fehler";
    std::string colour = Seq(error ? kRed : kGreen);
    std::string block = "\n" + colour + (error ? "!!! " : "--- ") + title + " " + (error ? "!!!" : "---") +
                        Seq(kPlain) + "\n";
    std::istringstream lines(text);
    std::string l;
    while (std::getline(lines, l)) block += colour + "|" + Seq(kPlain) + " " + Printable(l) + "\n";
    block += "\n";
    Print(block);
  }

  void Values(const std::string& list) {
    std::istringstream in(list);
    std::vector<std::string> values;
    std::string v;
    while (in >> v) values.push_back(v);
    std::size_t cols = static_cast<std::size_t>(TerminalColumns());
    std::size_t perRow = cols >= 18 ? cols / 18 : 1;
    std::string block = "Werte der Konfiguration:\n";
    for (std::size_t i = 0; i < values.size(); ++i) {
      char cell[40];
      std::snprintf(cell, sizeof cell, "%4d: %11s", static_cast<int>(i), values[i].c_str());
      block += cell;
      block += (i + 1) % perRow == 0 || i + 1 == values.size() ? "\n" : "  ";
    }
    Print(block);
  }

  void Identity(const std::string& rest) {
    // "type T language L text X"
    std::istringstream in(rest);
    std::string k1, type, k2, language, k3;
    in >> k1 >> type >> k2 >> language >> k3;
    std::string text;
    std::getline(in, text);
    if (!text.empty() && text[0] == ' ') text.erase(0, 1);
    char hex[16] = "";
    try {
      std::snprintf(hex, sizeof hex, "0x%02X", std::stoi(type));
    } catch (...) {
    }
    Print("LCD-Platine: Gerätetyp " + std::string(hex) + " (" + type + "), Gerätetext \"" +
          Printable(Unescape(text)) + "\", Sprache " + language + "\n");
  }

  void Finish() {
    ClearLive();
    std::string secs;
    try {
      long long ms = std::stoll(timeMs);
      secs = std::to_string(ms / 1000) + "," + std::to_string(ms % 1000 / 100) + " s";
    } catch (...) {
      // No duration line: the end without one.
    }
    Put(std::string(Seq(exitCode == 0 ? kGreen : kRed)) +
        (exitCode == 0 ? "Fertig: erfolgreich" : "Fertig: nicht erfolgreich") + Seq(kPlain) + " (Status " +
        std::to_string(exitCode) + (secs.empty() ? "" : ", " + secs) + ")\n");
    finished = true;
  }

  void Handle(const std::string& line) {
    std::string rest;
    if (StartsWith(line, "status ", &rest)) {
      status = Unescape(rest);
    } else if (line == "status") {
      status.clear();
    } else if (StartsWith(line, "progress ", &rest)) {
      try {
        progress = std::stoi(rest);
      } catch (...) {
      }
      if (progress < 0) progress = 0;
      if (progress > 100) progress = 100;
    } else if (StartsWith(line, "box ", &rest)) {
      std::size_t colon = rest.find(": ");
      Box(rest.substr(0, colon), colon == std::string::npos ? "" : Unescape(rest.substr(colon + 2)));
    } else if (StartsWith(line, "stage search begin")) {
      phase = "Port der LCD-Platine suchen";
    } else if (StartsWith(line, "stage patch begin")) {
      phase = "Patch-Datei prüfen";
    } else if (line == "tone") {
      phase = "Port gefunden";
    } else if (StartsWith(line, "identity ", &rest)) {
      Identity(rest);
    } else if (StartsWith(line, "values ", &rest)) {
      Values(rest);
    } else if (StartsWith(line, "saved ", &rest)) {
      Print("Gespeichert in " + Printable(Unescape(rest)) + "\n");
    } else if (StartsWith(line, "backup ", &rest)) {
      Print("Sicherung gespeichert in " + Printable(Unescape(rest)) + "\n");
    } else if (StartsWith(line, "exception ", &rest)) {
      Box("Ausnahme", Unescape(rest));
    } else if (StartsWith(line, "time ", &rest)) {
      timeMs = rest;
    } else if (StartsWith(line, "exit ", &rest)) {
      try {
        exitCode = std::stoi(rest);
      } catch (...) {
      }
      Finish();
      return;
    }
    DrawLive();
  }
};

TTerminalView::TTerminalView(std::ostream& out, bool animate) : state_(std::make_unique<TState>(out, *this)) {
  if (!animate) return;
  state_->ticker = std::thread([s = state_.get()] {
    std::unique_lock<std::mutex> lock(s->mu);
    while (!s->stop) {
      s->cv.wait_for(lock, std::chrono::milliseconds(250));
      if (s->stop || s->finished) continue;
      ++s->spin;
      s->DrawLive();
    }
  });
}

TTerminalView::~TTerminalView() {
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->stop = true;
    if (!state_->finished) {
      state_->ClearLive();
      state_->out << std::flush;
    }
  }
  state_->cv.notify_all();
  if (state_->ticker.joinable()) state_->ticker.join();
}

std::ostream& TTerminalView::Stream() { return state_->stream; }

void TTerminalView::Line(const std::string& line) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->Handle(line);
}
