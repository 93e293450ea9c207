// What the Linux backend brings to the system-free seam: the Linux flavour's
// error texts are this C library's, and threads sleeping on a real clock ask
// for a tight timer slack once a Linux platform exists.
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <cstring>
#include <thread>

#include "platform/Clock.h"
#include "platform/ErrorFlavour.h"
#include "platform/linux/LinuxPlatform.h"

namespace {

TEST(LinuxFlavourTest, TheLinuxTextsAreThoseOfThisCLibrary) {
  for (std::uint32_t code = 0; code < 200; ++code)
    EXPECT_EQ(platform::FlavourErrorText(platform::ErrorFlavour::Linux, code),
              std::strerror(static_cast<int>(code)))
        << code;
  for (std::uint32_t code : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu})
    EXPECT_EQ(platform::FlavourErrorText(platform::ErrorFlavour::Linux, code),
              std::strerror(static_cast<int>(code)))
        << code;
}

// The slack a new thread has after one sleep on a real clock.
long SlackAfterASleep() {
  long slack = -1;
  std::thread t([&] {
    platform::RealClock clock;
    clock.SleepMs(1);
    slack = prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
  });
  t.join();
  return slack;
}

TEST(LinuxClockTest, ARealClocksSleepersGetATightSlackOnlyFromTheLinuxPlatform) {
  platform::ThreadTuning before = platform::SetRealClockThreadTuning(nullptr);
  long untuned = SlackAfterASleep();
  if (untuned == 1) GTEST_SKIP() << "this process already runs with a 1 ns timer slack";
  {
    platform::LinuxPlatform linuxPlatform;
    EXPECT_EQ(SlackAfterASleep(), 1);
  }
  platform::SetRealClockThreadTuning(before);
}

}  // namespace
