// SPDX-License-Identifier: BSD-2-Clause
// Entry of every test program: GoogleTest with death tests run in the
// "threadsafe" style (a fresh exec of the test binary), which keeps the
// child's state clean of whatever the parent set up.
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  return RUN_ALL_TESTS();
}
