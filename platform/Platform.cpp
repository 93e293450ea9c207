#include "platform/Platform.h"

#include <atomic>
#include <stdexcept>

namespace platform {

namespace {
std::atomic<IPlatform*> g_platform{nullptr};
std::mutex g_transcriptMu;
std::ostream* g_transcript = nullptr;
bool g_timestamps = false;

std::tm StandardLocalTime(std::time_t t) {
  static std::mutex mu;
  std::lock_guard<std::mutex> lock(mu);
  std::tm tm{};
  if (const std::tm* shared = std::localtime(&t)) tm = *shared;
  return tm;
}
}  // namespace

IPlatform& Current() {
  IPlatform* p = g_platform.load();
  if (p == nullptr) throw std::logic_error("no platform installed");
  return *p;
}

IPlatform* Installed() { return g_platform.load(); }

IPlatform* Install(IPlatform* p) { return g_platform.exchange(p); }

std::tm IPlatform::LocalTime(std::time_t t) { return StandardLocalTime(t); }

std::tm LocalTime(std::time_t t) {
  IPlatform* p = g_platform.load();
  return p != nullptr ? p->LocalTime(t) : StandardLocalTime(t);
}

void Transcript::SetStream(std::ostream* out) {
  std::lock_guard<std::mutex> lock(g_transcriptMu);
  g_transcript = out;
}

bool Transcript::Enabled() {
  std::lock_guard<std::mutex> lock(g_transcriptMu);
  return g_transcript != nullptr;
}

void Transcript::SetTimestamps(bool on) {
  std::lock_guard<std::mutex> lock(g_transcriptMu);
  g_timestamps = on;
}

void Transcript::Line(const std::string& line) {
  std::int64_t ms = -1;
  {
    std::lock_guard<std::mutex> lock(g_transcriptMu);
    if (g_transcript == nullptr) return;
    if (g_timestamps && g_platform.load() != nullptr) ms = -2;
  }
  if (ms == -2) ms = g_platform.load()->Clock().NowMs();
  std::lock_guard<std::mutex> lock(g_transcriptMu);
  if (g_transcript == nullptr) return;
  if (ms >= 0) *g_transcript << '@' << ms << ' ';
  *g_transcript << line << '\n';
  g_transcript->flush();
}

std::string Transcript::Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

}  // namespace platform
