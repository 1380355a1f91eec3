// SPDX-License-Identifier: BSD-2-Clause
// The daemon's watch over the requests of a cycle. While the sweep loop
// runs, the platform's fwctl_get is guarded_fwctl_get, which hands every
// request to the channel underneath and looks at each failure before the
// table layer does:
//
//  - a request that the stop itself ended (the channel, which the guard's
//    platform lets ask about the stop, gives up on a reply soon after a
//    stop and returns FWCTL_GIVEN_UP, a result no kernel answer makes; the
//    stop flag is set) abandons the cycle, and the daemon stops as it
//    always does, status 0 and its shutdown steps; a failure the kernel
//    answered is not a stop, even while stopping (a locked table's EACCES
//    is reported as ever, and so is the kernel's own ECANCELED). A request
//    the guard carries through (carry_through, below) is never given up
//    for a stop: only its reply, or the channel's own limit, ends it;
//  - a request that found the table missing (ESRCH) abandons the cycle when
//    the daemon was asked to wait for a table that goes away;
//  - any other failure is returned as it came, and the table layer reports
//    it and ends the process as without the guard;
//  - an info request answered after the cycle's listing (the one each
//    batch of deletions makes to learn how to parse its keys) whose table
//    is not the one listed (another type, value-type mask or kernel index:
//    the table was destroyed and made again under the same name) abandons
//    the cycle before the keys are parsed or the batch's delete request
//    sent. A table made again with the same type and value types usually
//    gets its old kernel index back, and one made again between a batch's
//    info request and its delete request is not asked about at all: the
//    guard cannot see either.
//
// The cycle's listing abandons the cycle too when its last attempt is
// answered ENOMEM (the table grew faster than it could be listed): the
// sweep's listing handler calls abandon_outgrown_listing there; and when
// the system refuses the memory for its buffer at every attempt (a
// process limit, or a listing size no memory can hold):
// abandon_listing_without_memory.
//
// Abandoning is a throw of cycle_abandoned from inside the request: the
// table command in progress is unwound (its buffers are owned by RAII) up
// to the sweep loop, which catches it. Nothing of the table layer is told.
//
// Owns: nothing; the guard's settings live in the caller's cycle_guard,
// handed over as the platform's fwctl_ctx.
// Failure: returns what the channel returned; throws cycle_abandoned as
// above.
#pragma once

#include <cstdint>

#include "fwtable/platform.h"

enum class abandon_reason { stop, table_gone, table_changed, table_grew, no_memory };

struct cycle_abandoned {
  abandon_reason reason;
};

// What the cycle's listing said of its table, for the info requests after
// it: the fields that tell one table from another of the same name.
struct listed_table {
  bool known = false;  // a listing of this cycle has been answered
  uint8_t type = 0;
  uint32_t vmask = 0;
  uint32_t kidx = 0;  // 0 where the kernel reports none
};

struct cycle_guard {
  platform_fwctl_fn inner = nullptr;  // the channel underneath
  void* inner_ctx = nullptr;
  bool wait_for_table = false;  // ESRCH abandons the cycle instead of failing
  listed_table listed;  // cleared at the start of each cycle
  // While this says so, a request is carried through a stop: the channel
  // is told of no stop, and waits for the reply as long as it waits for
  // any (its own limit on a reply), not a second after the stop. The
  // daemon's says so while a batch of deletions whose lines were logged is
  // under way, so that every entry logged is deleted. Null: never.
  bool (*carry_through)() = nullptr;
};

// The listing's outgrown call (list_outgrown_fn) in a sweep cycle: throws
// cycle_abandoned with table_grew.
[[noreturn]] void abandon_outgrown_listing();

// The listing's no_memory call (list_no_memory_fn) in a sweep cycle:
// throws cycle_abandoned with no_memory.
[[noreturn]] void abandon_listing_without_memory();

// Forgets the last cycle's listing: called as each cycle begins.
void cycle_guard_start_cycle(cycle_guard* guard);

// The platform's fwctl_get while the guard is installed; ctx is the
// cycle_guard.
int guarded_fwctl_get(void* ctx, void* buf, uint32_t* len);

// A platform like p whose requests go through guard (which must outlive
// the platform's use) and whose stopping question is stopping (null: the
// stop flag's, stop_requested); guard's inner channel is set to p's. The
// daemon's question also answers a request for the line of state while a
// request waits for its reply (daemon/stop_signals.h).
platform guarded_platform(const platform& p, cycle_guard* guard, bool (*stopping)() = nullptr);
