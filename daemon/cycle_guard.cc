// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/cycle_guard.h"

#include <cerrno>
#include <cstring>

#include "daemon/stop_signals.h"
#include "fwtable/fw_records.h"

namespace {

// The info record of a reply of len bytes, when it holds one whole.
bool reply_info(const void* buf, uint32_t len, ipfw_xtable_info* info) {
  if (len < FW_INFO_REQUEST_SIZE) return false;
  memcpy(info, static_cast<const uint8_t*>(buf) + sizeof(ipfw_obj_header), sizeof *info);
  return true;
}

// Whether the table an info reply describes is the one listed. The kernel
// index is compared where the listing had one: a table made again may get
// its old index back, but never changes type or value types unseen.
bool same_table(const listed_table& listed, const ipfw_xtable_info& info) {
  return info.type == listed.type && info.vmask == listed.vmask &&
         (listed.kidx == 0 || info.kidx == listed.kidx);
}

// Looks at a successful reply: a listing's info record is kept, and an info
// reply after it must describe the same table.
void check_reply(cycle_guard* guard, uint16_t opcode, const void* buf, uint32_t len) {
  ipfw_xtable_info info;
  if (opcode == IP_FW_TABLE_XLIST && reply_info(buf, len, &info)) {
    guard->listed = {true, info.type, info.vmask, info.kidx};
  } else if (opcode == IP_FW_TABLE_XINFO && guard->listed.known && reply_info(buf, len, &info) &&
             !same_table(guard->listed, info)) {
    throw cycle_abandoned{abandon_reason::table_changed};
  }
}

// The stopping question of a request carried through a stop.
bool no_stop() { return false; }

// The channel's answer to a request; one carried through asks the channel
// a stopping question that never says yes, for that request alone (the
// log and standard error keep the daemon's question).
int ask_channel(cycle_guard* guard, void* buf, uint32_t* len) {
  if (guard->carry_through == nullptr || !guard->carry_through())
    return guard->inner(guard->inner_ctx, buf, len);
  platform carried = current_platform();
  carried.stopping = no_stop;
  const platform_scope scope(carried);
  return guard->inner(guard->inner_ctx, buf, len);
}

}  // namespace

void abandon_outgrown_listing() { throw cycle_abandoned{abandon_reason::table_grew}; }

void abandon_listing_without_memory() { throw cycle_abandoned{abandon_reason::no_memory}; }

void cycle_guard_start_cycle(cycle_guard* guard) { guard->listed = {}; }

int guarded_fwctl_get(void* ctx, void* buf, uint32_t* len) {
  auto* guard = static_cast<cycle_guard*>(ctx);
  ip_fw3_opheader op{};
  if (*len >= sizeof op) memcpy(&op, buf, sizeof op);
  int rc = ask_channel(guard, buf, len);
  if (rc == 0) {
    check_reply(guard, op.opcode, buf, *len);
    return 0;
  }
  int saved = errno;
  // Only a request the stop itself ended is a stop: one the kernel answered
  // with a failure is that failure, stopping or not, ECANCELED included.
  if (rc == FWCTL_GIVEN_UP && stop_requested()) throw cycle_abandoned{abandon_reason::stop};
  if (saved == ESRCH && guard->wait_for_table) throw cycle_abandoned{abandon_reason::table_gone};
  errno = saved;
  return rc;
}

platform guarded_platform(const platform& p, cycle_guard* guard, bool (*stopping)()) {
  guard->inner = p.fwctl_get;
  guard->inner_ctx = p.fwctl_ctx;
  platform guarded = p;
  guarded.fwctl_get = guarded_fwctl_get;
  guarded.fwctl_ctx = guard;
  // The channel is told of a stop, so that a request waiting for its reply
  // gives it up soon after the stop, however the reply trickles in.
  guarded.stopping = stopping != nullptr ? stopping : stop_requested;
  return guarded;
}
