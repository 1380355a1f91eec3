// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/cycle_guard.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "daemon/process_state.h"

namespace {

// The channel underneath: answers with the result and error it is given.
struct canned {
  int rc;
  int error;
  int calls = 0;
};
int canned_get(void* ctx, void*, uint32_t* len) {
  auto* c = static_cast<canned*>(ctx);
  c->calls++;
  *len = 7;
  errno = c->error;
  return c->rc;
}

enum class outcome { returned, stop, table_gone };

struct guard_case {
  const char* what;
  int rc;
  int error;
  bool stopping;
  bool waiting;
  outcome expected;
};

class CycleGuard : public ::testing::TestWithParam<guard_case> {
 protected:
  void TearDown() override { stop_flag = 0; }
};

TEST_P(CycleGuard, PassesOnOrAbandonsTheCycle) {
  const guard_case& c = GetParam();
  canned channel{c.rc, c.error};
  platform p = current_platform();
  p.fwctl_get = canned_get;
  p.fwctl_ctx = &channel;
  cycle_guard guard;
  guard.wait_for_table = c.waiting;
  platform g = guarded_platform(p, &guard);
  stop_flag = c.stopping ? 1 : 0;

  unsigned char buf[16] = {};
  uint32_t len = sizeof buf;
  outcome got = outcome::returned;
  int rc = 0;
  int error = 0;
  try {
    rc = g.fwctl_get(g.fwctl_ctx, buf, &len);
    error = errno;
  } catch (const cycle_abandoned& a) {
    got = a.reason == abandon_reason::stop ? outcome::stop : outcome::table_gone;
  }
  EXPECT_EQ(channel.calls, 1);
  EXPECT_EQ(len, 7u) << "the channel's reply length reaches the caller";
  ASSERT_EQ(got, c.expected);
  if (got == outcome::returned) {
    EXPECT_EQ(rc, c.rc);
    if (rc != 0) {
      EXPECT_EQ(error, c.error) << "the failure's errno reaches the table layer as it came";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CycleGuard,
    ::testing::Values(
        guard_case{"success", 0, 0, false, false, outcome::returned},
        guard_case{"success during a stop", 0, 0, true, true, outcome::returned},
        guard_case{"failure", -1, ETIMEDOUT, false, false, outcome::returned},
        // Only the channel's giving up for the stop is a stop; what the
        // kernel answered is a failure, stopping or not.
        guard_case{"given up for the stop", -1, ECANCELED, true, false, outcome::stop},
        guard_case{"given up without a stop", -1, ECANCELED, false, false, outcome::returned},
        guard_case{"timed out during a stop", -1, ETIMEDOUT, true, false, outcome::returned},
        guard_case{"locked table during a stop", -1, EACCES, true, false, outcome::returned},
        guard_case{"table gone, not waiting", -1, ESRCH, false, false, outcome::returned},
        guard_case{"table gone, waiting", -1, ESRCH, false, true, outcome::table_gone},
        guard_case{"table gone during a stop, waiting", -1, ESRCH, true, true, outcome::table_gone},
        guard_case{"table gone during a stop, not waiting", -1, ESRCH, true, false, outcome::returned},
        guard_case{"other failure, waiting", -1, EINVAL, false, true, outcome::returned}),
    [](const ::testing::TestParamInfo<guard_case>& i) {
      std::string n = i.param.what;
      for (char& ch : n)
        if (ch == ' ' || ch == ',') ch = '_';
      return n;
    });

}  // namespace
