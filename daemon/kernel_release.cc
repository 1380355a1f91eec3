// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/kernel_release.h"

#include <sysexits.h>

#include "fwtable/fatal.h"
#include "fwtable/fw_records.h"

int release_layout(int osreldate) { return osreldate < 1500000 ? 14 : 15; }

void refuse_other_release(int osreldate) {
  if (osreldate == 0 || release_layout(osreldate) == FW_ABI) return;
  fatal_errx(EX_CONFIG, "hostreapd was built for FreeBSD %d's firewall; this system runs FreeBSD %d.%d",
             FW_ABI, osreldate / 100000, osreldate / 1000 % 100);
}
