// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/kernel_release.h"

#include <gtest/gtest.h>

#include <string>

#include "fwtable/fw_records.h"

namespace {

// A kernel release of each layout: the build's own passes, the other one is
// refused with 78 and both releases named.
TEST(ReleaseCheck, KernelOfTheOtherLayoutIsRefused) {
  struct row {
    int osreldate;
    int layout;
    const char* runs;  // as the message names the running release
  };
  const row rows[] = {
      {1302000, 14, "13.2"}, {1400000, 14, "14.0"}, {1403000, 14, "14.3"}, {1499999, 14, "14.99"},
      {1500000, 15, "15.0"}, {1500068, 15, "15.0"}, {1501000, 15, "15.1"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.osreldate);
    EXPECT_EQ(release_layout(r.osreldate), r.layout);
    if (r.layout == FW_ABI) {
      refuse_other_release(r.osreldate);  // returns
    } else {
      EXPECT_EXIT(refuse_other_release(r.osreldate), testing::ExitedWithCode(78),
                  "^[^:]*: hostreapd was built for FreeBSD " + std::to_string(FW_ABI) +
                      "'s firewall; this system runs FreeBSD " + std::string(r.runs) + "\n$");
    }
  }
}

TEST(ReleaseCheck, NoKernelPasses) { refuse_other_release(0); }

}  // namespace
