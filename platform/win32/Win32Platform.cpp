#include "platform/win32/Win32Platform.h"

#include <windows.h>
// after windows.h
#include <mmsystem.h>

#include <cstdlib>
#include <ctime>
#include <vector>

namespace platform {

void Win32Clock::SleepMs(int ms) {
  if (ms > 0) ::Sleep(static_cast<DWORD>(ms));
}

Win32Platform::Win32Platform() { periodRaised_ = timeBeginPeriod(1) == TIMERR_NOERROR; }

Win32Platform::~Win32Platform() { RestoreTimerResolution(); }

void Win32Platform::RestoreTimerResolution() {
  if (!periodRaised_) return;
  timeEndPeriod(1);
  periodRaised_ = false;
}

std::tm Win32Platform::LocalTime(std::time_t t) {
  std::tm tm{};
  localtime_s(&tm, &t);
  return tm;
}

void Win32Platform::MessageBeep() {
  Transcript::Line("beep");
  ::MessageBeep(0);
}

void Win32Platform::PlayWaveAsync(const std::uint8_t* image, std::size_t) {
  Transcript::Line("tone");
  // The length is in the image's own RIFF header.
  ::PlaySoundA(reinterpret_cast<LPCSTR>(image), nullptr, SND_ASYNC | SND_MEMORY);
}

std::optional<FileVersion> FileVersionOf(const std::string& path) {
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
  if (size == 0) return std::nullopt;
  std::vector<unsigned char> block(size);
  FileVersion v;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT len = 0;
  // A root block too short for the fixed information, or without its
  // signature, counts as a failed query rather than being read past its end.
  if (GetFileVersionInfoA(path.c_str(), 0, size, block.data()) &&
      VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&info), &len) && info != nullptr &&
      len >= sizeof(VS_FIXEDFILEINFO) && info->dwSignature == 0xFEEF04BD) {
    v.Major = HIWORD(info->dwFileVersionMS);
    v.Minor = LOWORD(info->dwFileVersionMS);
  }
  return v;
}

std::optional<FileVersion> Win32Platform::ProgramVersion() {
  char path[MAX_PATH + 1] = {};
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::nullopt;
  return FileVersionOf(path);
}

int Win32Platform::GetProcessPriorityClass() {
  return static_cast<int>(GetPriorityClass(GetCurrentProcess()));
}

void Win32Platform::SetProcessPriorityClass(int priorityClass) {
  // Failures are not examined.
  (void)SetPriorityClass(GetCurrentProcess(), static_cast<DWORD>(priorityClass));
}

std::uint64_t Win32Platform::CurrentThreadId() { return GetCurrentThreadId(); }

void Win32Platform::SetThreadPriority(std::uint64_t threadId, int level) {
  static const int kPriorities[] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,
                                    THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
                                    THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                                    THREAD_PRIORITY_TIME_CRITICAL};
  if (level < kThreadIdle || level > kThreadTimeCritical) return;
  HANDLE h = OpenThread(THREAD_SET_INFORMATION, FALSE, static_cast<DWORD>(threadId));
  if (h == nullptr) return;
  // A refusal leaves the thread as it was.
  (void)::SetThreadPriority(h, kPriorities[level]);
  CloseHandle(h);
}

void Win32Platform::RemoveFile(const std::string& path) { (void)DeleteFileA(path.c_str()); }

void Win32Platform::ExitProcess(int code) {
  // The exit routines run without the platform's destructor.
  RestoreTimerResolution();
  std::exit(code);
}

}  // namespace platform
