#include <gtest/gtest.h>

#include "tests/support/Child.h"

int main(int argc, char** argv) {
  int code = 0;
  if (qvtest::DispatchChild(argc, argv, code)) return code;
  qvtest::SetSelfPath(argv[0]);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
