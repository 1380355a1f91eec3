// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/cycle_guard.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "daemon/process_state.h"
#include "fwtable/fw_records.h"

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
        // kernel answered is a failure, stopping or not, its own
        // ECANCELED too.
        guard_case{"given up for the stop", FWCTL_GIVEN_UP, ECANCELED, true, false, outcome::stop},
        guard_case{"given up without a stop", FWCTL_GIVEN_UP, ECANCELED, false, false, outcome::returned},
        guard_case{"kernel ECANCELED during a stop", -1, ECANCELED, true, false, outcome::returned},
        guard_case{"kernel ECANCELED during a stop, waiting", -1, ECANCELED, true, true, outcome::returned},
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

// The channel underneath as a kernel: answers every request with the info
// record it holds (a listing with no entries).
struct table_kernel {
  ipfw_xtable_info info{};
};
int table_kernel_get(void* ctx, void* buf, uint32_t* len) {
  const auto* k = static_cast<table_kernel*>(ctx);
  if (*len < FW_INFO_REQUEST_SIZE) {
    errno = EINVAL;
    return -1;
  }
  memcpy(static_cast<uint8_t*>(buf) + sizeof(ipfw_obj_header), &k->info, sizeof k->info);
  *len = FW_INFO_REQUEST_SIZE;
  return 0;
}

// One request of the opcode through the guarded platform: true when it
// abandoned the cycle because the table changed.
bool table_changed(const platform& g, uint16_t opcode) {
  uint8_t buf[FW_INFO_REQUEST_SIZE] = {};
  ip_fw3_opheader op{};
  op.opcode = opcode;
  memcpy(buf, &op, sizeof op);
  uint32_t len = sizeof buf;
  try {
    EXPECT_EQ(g.fwctl_get(g.fwctl_ctx, buf, &len), 0);
  } catch (const cycle_abandoned& a) {
    EXPECT_EQ(a.reason, abandon_reason::table_changed);
    return true;
  }
  return false;
}

// An info request after the cycle's listing (a deletion's) must find the
// table that was listed: another type, value-type mask or kernel index is
// another table of the same name, and abandons the cycle before the key is
// parsed. An info request before any listing of the cycle (its first one,
// the start's check) is compared with nothing.
TEST(CycleGuardTableChanged, InfoAfterTheListingMustDescribeTheListedTable) {
  struct row {
    const char* what;
    void (*change)(ipfw_xtable_info*);
    bool changed;
  };
  const row rows[] = {
      {"the same table", [](ipfw_xtable_info*) {}, false},
      {"more entries", [](ipfw_xtable_info* i) { i->count += 5; }, false},
      {"another type", [](ipfw_xtable_info* i) { i->type = IPFW_TABLE_INTERFACE; }, true},
      {"another value type", [](ipfw_xtable_info* i) { i->vmask = IPFW_VTYPE_NH4; }, true},
      {"another kernel index", [](ipfw_xtable_info* i) { i->kidx = 9; }, true},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    table_kernel k;
    k.info.type = IPFW_TABLE_ADDR;
    k.info.vmask = IPFW_VTYPE_LEGACY;
    k.info.kidx = 3;
    platform p = current_platform();
    p.fwctl_get = table_kernel_get;
    p.fwctl_ctx = &k;
    cycle_guard guard;
    platform g = guarded_platform(p, &guard);

    EXPECT_FALSE(table_changed(g, IP_FW_TABLE_XINFO)) << "the cycle's own info request";
    EXPECT_FALSE(table_changed(g, IP_FW_TABLE_XLIST));
    r.change(&k.info);
    EXPECT_EQ(table_changed(g, IP_FW_TABLE_XINFO), r.changed);
    // The next cycle's listing is of the table as it is now.
    cycle_guard_start_cycle(&guard);
    EXPECT_FALSE(table_changed(g, IP_FW_TABLE_XINFO));
    EXPECT_FALSE(table_changed(g, IP_FW_TABLE_XLIST));
    EXPECT_FALSE(table_changed(g, IP_FW_TABLE_XINFO));
  }
}

// A kernel that reports no index (0) is compared by type and value types.
TEST(CycleGuardTableChanged, NoKernelIndexComparesTheRest) {
  table_kernel k;
  k.info.type = IPFW_TABLE_ADDR;
  platform p = current_platform();
  p.fwctl_get = table_kernel_get;
  p.fwctl_ctx = &k;
  cycle_guard guard;
  platform g = guarded_platform(p, &guard);
  EXPECT_FALSE(table_changed(g, IP_FW_TABLE_XLIST));
  k.info.kidx = 4;
  EXPECT_FALSE(table_changed(g, IP_FW_TABLE_XINFO));
  k.info.type = IPFW_TABLE_NUMBER;
  EXPECT_TRUE(table_changed(g, IP_FW_TABLE_XINFO));
}

}  // namespace
