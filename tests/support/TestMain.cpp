#include <gtest/gtest.h>

#include <chrono>

#include "framework/Thread.h"
#include "tests/support/Child.h"

namespace {
// A thread that freed itself is joined before the process ends, as the
// programs do it.
int Ended(int code) {
  TThread::EndThreads(std::chrono::seconds(5));
  return code;
}
}  // namespace

int main(int argc, char** argv) {
  int code = 0;
  if (qvtest::DispatchChild(argc, argv, code)) return Ended(code);
  qvtest::SetSelfPath(argv[0]);
  testing::InitGoogleTest(&argc, argv);
  return Ended(RUN_ALL_TESTS());
}
