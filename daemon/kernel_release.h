// SPDX-License-Identifier: BSD-2-Clause
// The start-up check that the running kernel's firewall speaks the record
// layout this build was made for. FreeBSD 14 and 15 lay out the table
// records differently; a build for one, run on the other, would have every
// request refused with a bare "Invalid argument", so the start is refused
// instead, saying which release each is.
//
// Owns: nothing.
// Failure: a kernel of the other layout ends the process with status 78
// (EX_CONFIG) and "hostreapd was built for FreeBSD %d's firewall; this
// system runs FreeBSD %d.%d".
#pragma once

// The record layout a kernel release calls for: 14 below 1500000 (FreeBSD
// 15.0), else 15; the same rule the build applies to __FreeBSD_version.
int release_layout(int osreldate);

// Ends the process as above when osreldate (getosreldate(3)'s form, as
// fwctl_kernel_release gives it) calls for another layout than the build's;
// 0 (no kernel: the emulator) passes.
void refuse_other_release(int osreldate);
