// The found-port tone: its WAVE image, checked by an independent parser, and
// its hand-over to the platform's playback.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

#include "app/AlertTone.h"
#include "platform/Scoped.h"
#include "platform/sim/SimPlatform.h"
#include "tests/support/Child.h"
#ifndef _WIN32
#include "platform/linux/LinuxPlatform.h"
#endif

namespace {

std::vector<std::uint8_t> Image() {
  std::size_t length = 0;
  const std::uint8_t* p = BuildAlertToneImage(&length);
  return std::vector<std::uint8_t>(p, p + length);
}

TEST(AlertToneTest, ImageIsTheMonoSquareWaveOf2002Bytes) {
  std::vector<std::uint8_t> img = Image();
  ASSERT_EQ(img.size(), kToneImageLength);
  EXPECT_EQ(std::memcmp(img.data(), "RIFF", 4), 0);
  EXPECT_EQ(img[4] | img[5] << 8, 1994);
  EXPECT_EQ(std::memcmp(img.data() + 8, "WAVEfmt ", 8), 0);
  EXPECT_EQ(img[16], 18);  // the 18-byte format chunk
  EXPECT_EQ(img[36] | img[37] << 8, 0);
  EXPECT_EQ(img[42] | img[43] << 8, 1956);
  // DF DF 1F 1F 1F DF, over and over, to the last byte.
  const std::uint8_t period[6] = {0xDF, 0xDF, 0x1F, 0x1F, 0x1F, 0xDF};
  for (std::size_t i = 46; i < img.size(); ++i) ASSERT_EQ(img[i], period[(i - 46) % 6]) << i;
}

TEST(AlertToneTest, EveryCallRebuildsTheSameBytesInTheSameBuffer) {
  platform::SimPlatform sim;
  platform::ScopedPlatform useSim(sim);
  PlayAlertTone();
  const std::uint8_t* first = sim.LastWave();
  ASSERT_NE(first, nullptr);
  std::vector<std::uint8_t> bytes(first, first + sim.LastWaveLength());
  // Whatever the buffer holds meanwhile, the next call restores the image.
  std::memset(const_cast<std::uint8_t*>(first), 0x55, kToneImageLength);
  PlayAlertTone();
  EXPECT_EQ(sim.LastWave(), first);
  EXPECT_EQ(sim.LastWaveLength(), kToneImageLength);
  EXPECT_EQ(std::vector<std::uint8_t>(first, first + kToneImageLength), bytes);
  EXPECT_EQ(sim.Tones(), 2);
}

#ifndef _WIN32
// Writes a WAVE image to a file and prints, through Python's wave module,
// its format and what `extra` computes from the frames f: the first line.
std::string WaveSummary(const std::vector<std::uint8_t>& img, const std::string& name,
                        const std::string& extra) {
  const std::string path = qvtest::MakeTempDir() + "/" + name;
  qvtest::WriteFile(path, std::string(img.begin(), img.end()));
  const std::string cmd =
      "python3 -c \"import wave,sys; w=wave.open(sys.argv[1]); f=w.readframes(w.getnframes()); "
      "print(w.getcomptype(), w.getnchannels(), w.getframerate(), w.getsampwidth()*8, w.getnframes(), " +
      extra + ")\" " + path;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return "cannot start python3";
  char line[256] = {};
  std::string got = std::fgets(line, sizeof line, p) != nullptr ? line : "";
  if (pclose(p) != 0) got += " (python3 failed)";
  return got;
}

// Python's wave module reads the image as any WAVE file.
TEST(AlertToneTest, IndependentWaveParserReadsTheImage) {
  if (std::system("python3 -c 'import wave' >/dev/null 2>&1") != 0) GTEST_SKIP() << "python3 not available";
  EXPECT_EQ(WaveSummary(Image(), "tone.wav", "f[0], f[1], f[2], f[-1]"),
            "NONE 1 22050 8 1956 223 223 31 223\n");
}

// Without a sound device the Linux playback does nothing but its transcript
// line; the call never waits for the device.
QV_CHILD(linux_tone) {
  std::ostringstream out;
  platform::Transcript::SetStream(&out);
  platform::LinuxPlatform linuxPlatform;
  {
    platform::ScopedPlatform useLinux(linuxPlatform);
    PlayAlertTone();
    PlayAlertTone();
  }
  platform::Transcript::SetStream(nullptr);
  std::fputs(out.str().c_str(), stdout);
  return 0;
}

TEST(AlertToneTest, LinuxPlaybackReturnsAtOnceAndTellsTheTranscript) {
  qvtest::ChildResult r = qvtest::RunChild("linux_tone");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.Count("tone"), 2) << r.output;
}

// The system beep plays its own image on the sound device (a program
// started from the desktop has no terminal bell); without a device it is
// silent, and the call never waits.
TEST(SystemBeepTest, TheBeepIsAShortPlainWaveThatAnyParserReads) {
  if (std::system("python3 -c 'import wave' >/dev/null 2>&1") != 0) GTEST_SKIP() << "python3 not available";
  // Format, length, and the number of level changes: 2 per period of 880 Hz.
  // 22050 / 880 / 2 = 12 frames per half period: 3307 frames, 275 changes.
  EXPECT_EQ(WaveSummary(platform::LinuxPlatform::BeepImage(), "beep.wav",
                        "sum(1 for i in range(1, len(f)) if f[i] != f[i-1]), min(f), max(f)"),
            "NONE 1 22050 8 3307 275 96 160\n");
}

QV_CHILD(linux_beep) {
  std::ostringstream out;
  platform::Transcript::SetStream(&out);
  platform::LinuxPlatform linuxPlatform;
  {
    platform::ScopedPlatform useLinux(linuxPlatform);
    linuxPlatform.MessageBeep();
    linuxPlatform.MessageBeep();
  }
  platform::Transcript::SetStream(nullptr);
  std::fputs(out.str().c_str(), stdout);
  return 0;
}

TEST(SystemBeepTest, WithoutASoundDeviceTheBeepReturnsAtOnceAndTellsTheTranscript) {
  qvtest::ChildResult r = qvtest::RunChild("linux_beep");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.Count("beep"), 2) << r.output;
}
#endif

}  // namespace
