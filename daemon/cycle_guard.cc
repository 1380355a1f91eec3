// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/cycle_guard.h"

#include <cerrno>

#include "daemon/stop_signals.h"

int guarded_fwctl_get(void* ctx, void* buf, uint32_t* len) {
  auto* guard = static_cast<cycle_guard*>(ctx);
  int rc = guard->inner(guard->inner_ctx, buf, len);
  if (rc == 0) return 0;
  int saved = errno;
  // Only a request the stop itself ended is a stop: one the kernel answered
  // with a failure is that failure, stopping or not.
  if (saved == ECANCELED && stop_requested()) throw cycle_abandoned{abandon_reason::stop};
  if (saved == ESRCH && guard->wait_for_table) throw cycle_abandoned{abandon_reason::table_gone};
  errno = saved;
  return rc;
}

platform guarded_platform(const platform& p, cycle_guard* guard) {
  guard->inner = p.fwctl_get;
  guard->inner_ctx = p.fwctl_ctx;
  platform guarded = p;
  guarded.fwctl_get = guarded_fwctl_get;
  guarded.fwctl_ctx = guard;
  // The channel is told of a stop, so that a request waiting for its reply
  // gives it up soon after the stop, however the reply trickles in.
  guarded.stopping = stop_requested;
  return guarded;
}
