// SPDX-License-Identifier: BSD-2-Clause
// The client side of the sweep and deletion benchmarks, run as a process of
// its own so that its CPU time and allocations are its alone (the emulator
// runs in another process).
//
//   bench_client sweep|floor-sweep TABLE CYCLES
//   bench_client delete|floor-delete TABLE
//   bench_client floor-add TABLE DEADLINE
//
// "sweep" and "delete" run the daemon's own cycle: the list command of
// table number TABLE through the table command interpreter, with the
// daemon's expiry decision (so "delete" logs and deletes every due entry).
// The floor variants are the least a client can do for the same result:
// the same info and list requests into a list buffer kept from cycle to
// cycle, the clock read once per cycle (as the daemon reads it), then one
// pass over the reply that reads each entry's length and expiry number and
// tests it against that time; for "floor-delete" each due entry's syslog
// line, the same as the daemon's, and its key copied from the listing into
// a batch of the daemon's size (DUE_BATCH_KEYS), each batch sent as one
// info and one delete request when it is full and when the pass ends.
// "floor-add" is the least a writer can do for what hostreapd -a DEADLINE -
// does: the keys of standard input (one IPv4 host a line, read in blocks)
// in batches of the writer's size (ENTRY_WRITE_MAX), each sent as the
// writer sends it: an info request, when the table's values hold fields
// besides the time a list request into a kept buffer with one pass over it
// that takes the batch's present values (a hash of the batch's keys), and
// one add request flagged update-if-present; then for each key the
// writer's syslog line. It writes one line "add CPU_NS WALL_NS 0 LOG_NS".
//
// Prints one line per cycle: "cycle CPU_NS WALL_NS ALLOCATIONS LOG_NS", the
// CPU time of this process, the elapsed time, the heap allocations made
// during the cycle and the elapsed time spent in syslog(3). Ends with status 1 on a usage error or a failed
// request of the floor; the daemon's own failures end it as they end the
// daemon.
#include <arpa/inet.h>
#include <err.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "daemon/due_batch.h"
#include "daemon/expire.h"
#include "daemon/process_state.h"
#include "fwtable/entry_write.h"
#include "fwtable/fw_records.h"
#include "fwtable/fwctl.h"
#include "fwtable/table_command.h"
#include "fwtable/value_fields.h"

namespace {

uint64_t allocations = 0;
uint64_t log_ns = 0;

uint64_t clock_ns(clockid_t id) {
  timespec ts;
  clock_gettime(id, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace

// Every heap allocation of the process is counted on its way to the C
// library's allocator (glibc names it; elsewhere nothing is counted).
#ifdef __GLIBC__
// The C library's own names for its functions are reserved identifiers,
// declared here to reach them past the wrappers.
// NOLINTBEGIN(bugprone-reserved-identifier)
extern "C" {
void* __libc_malloc(size_t n);
void* __libc_calloc(size_t count, size_t n);
void* __libc_realloc(void* p, size_t n);
void __libc_free(void* p);

void* malloc(size_t n) noexcept {
  allocations++;
  return __libc_malloc(n);
}
void* calloc(size_t count, size_t n) noexcept {
  allocations++;
  return __libc_calloc(count, n);
}
void* realloc(void* p, size_t n) noexcept {
  allocations++;
  return __libc_realloc(p, n);
}
void free(void* p) noexcept { __libc_free(p); }

// And every syslog line is timed on its way to the C library.
void __vsyslog_chk(int priority, int flag, const char* format, va_list ap);
void syslog(int priority, const char* format, ...) {
  uint64_t t0 = clock_ns(CLOCK_MONOTONIC);
  va_list ap;
  va_start(ap, format);
  vsyslog(priority, format, ap);
  va_end(ap);
  log_ns += clock_ns(CLOCK_MONOTONIC) - t0;
}
void __syslog_chk(int priority, int flag, const char* format, ...) {
  uint64_t t0 = clock_ns(CLOCK_MONOTONIC);
  va_list ap;
  va_start(ap, format);
  __vsyslog_chk(priority, flag, format, ap);
  va_end(ap);
  log_ns += clock_ns(CLOCK_MONOTONIC) - t0;
}
}
// NOLINTEND(bugprone-reserved-identifier)
#endif

namespace {

// The daemon's cycle, as its sweep loop runs it.
void daemon_cycle(const char* table) {
  char word_table[] = "table";
  char word_list[] = "list";
  char number[100] = {};
  snprintf(number, sizeof number, "%s", table);
  char* argv[3] = {word_table, number, word_list};
  const listing_handler sweep = sweep_listing_handler(expire_if_due, nullptr);
  run_table_command(3, argv, &sweep);
}

ipfw_obj_header request_header(const char* table, uint16_t opcode) {
  ipfw_obj_header oh;
  memset(&oh, 0, sizeof oh);
  init_request_header(&oh, table, 0);
  oh.opheader.opcode = opcode;
  return oh;
}

ipfw_xtable_info floor_info(const char* table) {
  uint8_t buf[FW_INFO_REQUEST_SIZE] = {};
  ipfw_obj_header oh = request_header(table, IP_FW_TABLE_XINFO);
  memcpy(buf, &oh, sizeof oh);
  uint64_t size = sizeof buf;
  if (fwctl_get(IP_FW_TABLE_XINFO, buf, &size) != 0 || size < sizeof buf) err(1, "info");
  ipfw_xtable_info info;
  memcpy(&info, buf + sizeof oh, sizeof info);
  return info;
}

// The floor's batch of deletions: the delete request under construction,
// its records copied from the listing, and how many it holds.
uint8_t floor_batch[FW_CHANGE_ENTRIES_OFFSET + DUE_BATCH_KEYS * sizeof(ipfw_obj_tentry)];
size_t floor_batched = 0;

// Writes the head of a change request of n records of an address table
// into buf, as the daemon lays it out: the object header at the version
// given, then the container around the records. Returns the request's
// whole length.
uint64_t change_head(uint8_t* buf, const char* table, uint16_t opcode, uint16_t version, size_t n) {
  ipfw_obj_header oh = request_header(table, opcode);
  oh.opheader.version = version;
  oh.ntlv.type = IPFW_TABLE_ADDR;
  memcpy(buf, &oh, sizeof oh);
  ipfw_obj_ctlv ctlv;
  memset(&ctlv, 0, sizeof ctlv);
  ctlv.head.length = static_cast<uint32_t>(sizeof ctlv + n * sizeof(ipfw_obj_tentry));
  ctlv.count = static_cast<uint32_t>(n);
  memcpy(buf + sizeof oh, &ctlv, sizeof ctlv);
  return FW_CHANGE_ENTRIES_OFFSET + n * sizeof(ipfw_obj_tentry);
}

// The batch's info request, then its delete request with every record.
void floor_send(const char* table) {
  if (floor_batched == 0) return;
  floor_info(table);
  uint64_t size = change_head(floor_batch, table, IP_FW_TABLE_XDEL, 1, floor_batched);
  floor_batched = 0;
  if (fwctl_get(IP_FW_TABLE_XDEL, floor_batch, &size) != 0) err(1, "delete");
}

// A listed entry's syslog line, as the daemon writes it, and its key into
// the batch, sent when full.
void floor_delete(const char* table, const uint8_t* listed) {
  ipfw_obj_tentry e;
  memset(&e, 0, sizeof e);
  e.head.length = sizeof e;
  memcpy(&e.subtype, listed + offsetof(ipfw_obj_tentry, subtype), 1);
  memcpy(&e.masklen, listed + offsetof(ipfw_obj_tentry, masklen), 1);
  memcpy(&e.k, listed + offsetof(ipfw_obj_tentry, k), sizeof e.k);
  const bool v4 = e.subtype == FW_AF_INET;
  char key[INET6_ADDRSTRLEN + 8] = "";
  inet_ntop(v4 ? AF_INET : AF_INET6, &e.k, key, INET6_ADDRSTRLEN);
  if (e.masklen != (v4 ? 32 : 128)) snprintf(key + strlen(key), 8, "/%u", static_cast<unsigned>(e.masklen));
  char message[256];
  snprintf(message, sizeof message, "Removing host %s from table %s", key, table);
  syslog(LOG_INFO, "%s", message);

  e.idx = 1;  // the object index init_request_header gives the table's name
  memcpy(floor_batch + FW_CHANGE_ENTRIES_OFFSET + floor_batched * sizeof e, &e, sizeof e);
  if (++floor_batched == DUE_BATCH_KEYS) floor_send(table);
}

// Where the floor leaves the sum of the expiries it read and the count of
// the due ones, so that reading them is not optimised away.
volatile uint64_t expiry_sink = 0;
volatile uint64_t due_sink = 0;

// The floor's list buffer, kept from one cycle to the next and grown when
// a listing needs more; only the request header is ever written into it.
uint8_t* floor_buf = nullptr;
uint64_t floor_buf_size = 0;

// The floor's cycle: info, the clock read once, list into the kept buffer
// with the size the info names (again, larger, when the kernel asks for more), then
// one pass over the reply that reads each entry's length and expiry,
// checking the bounds as it goes, and tests the expiry against the time
// read; with deleting, each due entry logged and its key batched, the
// batches sent as the daemon sends its own.
// Makes the floor's list buffer hold at least want bytes.
void grow_floor_buf(uint64_t want) {
  if (floor_buf_size >= want) return;
  free(floor_buf);
  floor_buf = static_cast<uint8_t*>(malloc(want));
  if (floor_buf == nullptr) err(1, "list buffer");
  floor_buf_size = want;
}

void floor_cycle(const char* table, bool deleting) {
  ipfw_xtable_info info = floor_info(table);
  uint64_t want = info.size;
  uint64_t size;
  int64_t now = 0;
  for (;;) {
    want = std::max<uint64_t>(want, sizeof(ipfw_obj_header));
    grow_floor_buf(want);
    ipfw_obj_header oh = request_header(table, IP_FW_TABLE_XLIST);
    oh.opheader.version = 1;
    memcpy(floor_buf, &oh, sizeof oh);
    size = want;
    now = time(nullptr);
    if (fwctl_get(IP_FW_TABLE_XLIST, floor_buf, &size) == 0) break;
    if (errno != ENOMEM) err(1, "list");
    // The size needed now is in the reply's info record, never in the
    // length, which a failed request leaves as it was.
    uint32_t needed = 0;
    if (want >= FW_INFO_REQUEST_SIZE)
      memcpy(&needed, floor_buf + sizeof(ipfw_obj_header) + offsetof(ipfw_xtable_info, size), sizeof needed);
    want = std::max<uint64_t>(needed, want) + std::max<uint64_t>(44, want / 16);
  }
  if (size > want || size < FW_LIST_ENTRIES_OFFSET) errx(1, "list: bad reply");
  memcpy(&info, floor_buf + sizeof(ipfw_obj_header), sizeof info);
  uint64_t expiry_sum = 0;
  uint64_t due = 0;
  uint64_t off = FW_LIST_ENTRIES_OFFSET;
  for (uint32_t i = 0; i < info.count; i++) {
    if (size - off < sizeof(ipfw_obj_tentry)) errx(1, "list: bad reply");
    const uint8_t* entry = floor_buf + off;
    uint32_t length;
    uint32_t expiry;
    memcpy(&length, entry + offsetof(ipfw_obj_tlv, length), sizeof length);
    memcpy(&expiry, entry + offsetof(ipfw_obj_tentry, v) + offsetof(ipfw_table_value, tag), sizeof expiry);
    if (length < sizeof(ipfw_obj_tentry) || length > size - off) errx(1, "list: bad reply");
    expiry_sum += expiry;
    if (now > static_cast<int64_t>(expiry)) {
      due++;
      if (deleting) floor_delete(table, entry);
    }
    off += length;
  }
  if (deleting) floor_send(table);
  expiry_sink = expiry_sum;
  due_sink = due;
}

// ---- the floor of the writer ----

// The batch under construction: its add request, laid out in place.
uint8_t add_request[FW_CHANGE_ENTRIES_OFFSET + ENTRY_WRITE_MAX * sizeof(ipfw_obj_tentry)];
uint32_t add_keys[ENTRY_WRITE_MAX];  // the IPv4 hosts, network order
size_t add_batched = 0;

// An open-addressing hash of the batch's keys: slot -> place + 1.
uint16_t add_slots[1024];
size_t slot_of(uint32_t key) {
  size_t h = (key * 2654435761u) >> 22;
  while (add_slots[h] != 0 && add_keys[add_slots[h] - 1] != key) h = (h + 1) & 1023;
  return h;
}

ipfw_obj_tentry* batch_entry(size_t i) {
  return reinterpret_cast<ipfw_obj_tentry*>(add_request + FW_CHANGE_ENTRIES_OFFSET +
                                            i * sizeof(ipfw_obj_tentry));
}

void floor_add_send(const char* table, uint32_t deadline) {
  if (add_batched == 0) return;
  const ipfw_xtable_info info = floor_info(table);
  const value_field* time = leading_value_field(fw_built::value_layout, info.vmask);
  if (time == nullptr || !value_field_holds_time(*time)) errx(1, "table %s holds no time", table);
  const bool others = info.vmask != IPFW_VTYPE_LEGACY && (info.vmask & ~time->bit & 0xFFF) != 0;
  bool present[ENTRY_WRITE_MAX] = {};
  if (others) {
    memset(add_slots, 0, sizeof add_slots);
    for (size_t i = 0; i < add_batched; i++) add_slots[slot_of(add_keys[i])] = static_cast<uint16_t>(i + 1);
    uint64_t want = std::max<uint64_t>(info.size + 44, FW_INFO_REQUEST_SIZE);
    grow_floor_buf(want);
    ipfw_obj_header oh = request_header(table, IP_FW_TABLE_XLIST);
    memcpy(floor_buf, &oh, sizeof oh);
    uint64_t size = want;
    if (fwctl_get(IP_FW_TABLE_XLIST, floor_buf, &size) != 0) err(1, "list");
    ipfw_xtable_info listed;
    memcpy(&listed, floor_buf + sizeof oh, sizeof listed);
    uint64_t off = FW_LIST_ENTRIES_OFFSET;
    for (uint32_t i = 0; i < listed.count && off + sizeof(ipfw_obj_tentry) <= size; i++) {
      const uint8_t* e = floor_buf + off;
      uint32_t key;
      memcpy(&key, e + offsetof(ipfw_obj_tentry, k), sizeof key);
      if (e[offsetof(ipfw_obj_tentry, subtype)] == FW_AF_INET &&
          e[offsetof(ipfw_obj_tentry, masklen)] == 32) {
        const uint16_t at = add_slots[slot_of(key)];
        if (at != 0) {
          present[at - 1] = true;
          memcpy(&batch_entry(at - 1)->v, e + offsetof(ipfw_obj_tentry, v), sizeof(ipfw_table_value));
        }
      }
      off += sizeof(ipfw_obj_tentry);
    }
  }
  for (size_t i = 0; i < add_batched; i++) {
    ipfw_obj_tentry* e = batch_entry(i);
    if (!present[i]) memset(&e->v, 0, sizeof e->v);
    set_value_field_number(*time, &e->v, deadline);
  }
  uint64_t size =
      change_head(add_request, table, IP_FW_TABLE_XADD, fw_request_version(IP_FW_TABLE_XADD), add_batched);
  if (fwctl_get(IP_FW_TABLE_XADD, add_request, &size) != 0) err(1, "add");
  // The writer's lines, their date written once (one deadline for all).
  char date[64];
  const time_t t = deadline;
  struct tm tm;
  localtime_r(&t, &tm);
  strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S %Z", &tm);
  for (size_t i = 0; i < add_batched; i++) {
    char key[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &add_keys[i], key, sizeof key);
    if (batch_entry(i)->result == IPFW_TR_UPDATED)
      syslog(LOG_INFO, "Renewing host %s in table %s until %s", key, table, date);
    else
      syslog(LOG_INFO, "Adding host %s to table %s until %s", key, table, date);
  }
  add_batched = 0;
}

void floor_add(const char* table, uint32_t deadline) {
  static char buf[16384];
  size_t have = 0;
  for (;;) {
    const ssize_t got = read(STDIN_FILENO, buf + have, sizeof buf - have);
    if (got < 0) err(1, "read");
    const size_t end = have + static_cast<size_t>(got);
    size_t at = 0;
    for (char* nl; (nl = static_cast<char*>(memchr(buf + at, '\n', end - at))) != nullptr;
         at = nl - buf + 1) {
      *nl = '\0';
      ipfw_obj_tentry* e = batch_entry(add_batched);
      memset(e, 0, sizeof *e);
      if (inet_pton(AF_INET, buf + at, &add_keys[add_batched]) != 1) errx(1, "not a key: %s", buf + at);
      e->head.flags = IPFW_TF_UPDATE;
      e->head.length = sizeof *e;
      e->subtype = FW_AF_INET;
      e->masklen = 32;
      e->idx = 1;
      memcpy(&e->k, &add_keys[add_batched], 4);
      if (++add_batched == ENTRY_WRITE_MAX) floor_add_send(table, deadline);
    }
    memmove(buf, buf + at, end - at);
    have = end - at;
    if (got == 0) break;
  }
  floor_add_send(table, deadline);
}

[[noreturn]] void usage() {
  fprintf(
      stderr,
      "usage: bench_client sweep|floor-sweep TABLE CYCLES\n       bench_client delete|floor-delete TABLE\n"
      "       bench_client floor-add TABLE DEADLINE\n");
  exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) usage();
  const std::string mode = argv[1];
  const char* table = argv[2];
  int cycles = 1;
  if (mode == "floor-add") {
    if (argc != 4) usage();
    openlog("hostreapd", LOG_PID | LOG_NDELAY, LOG_AUTH);
    const uint64_t cpu0 = clock_ns(CLOCK_PROCESS_CPUTIME_ID);
    const uint64_t wall0 = clock_ns(CLOCK_MONOTONIC);
    floor_add(table, static_cast<uint32_t>(strtoul(argv[3], nullptr, 10)));
    printf("add %" PRIu64 " %" PRIu64 " 0 %" PRIu64 "\n", clock_ns(CLOCK_PROCESS_CPUTIME_ID) - cpu0,
           clock_ns(CLOCK_MONOTONIC) - wall0, log_ns);
    closelog();
    return 0;
  }
  if (mode == "sweep" || mode == "floor-sweep") {
    if (argc != 4 || (cycles = atoi(argv[3])) < 1) usage();
  } else if ((mode != "delete" && mode != "floor-delete") || argc != 3) {
    usage();
  }
  const bool floor = mode.rfind("floor-", 0) == 0;
  const bool deleting = mode.find("delete") != std::string::npos;

  snprintf(table_name, sizeof table_name, "%s", table);
  openlog("hostreapd", LOG_PID | LOG_NDELAY, LOG_AUTH);

  for (int c = 0; c < cycles; c++) {
    uint64_t allocs0 = allocations;
    uint64_t log0 = log_ns;
    uint64_t cpu0 = clock_ns(CLOCK_PROCESS_CPUTIME_ID);
    uint64_t wall0 = clock_ns(CLOCK_MONOTONIC);
    if (floor)
      floor_cycle(table, deleting);
    else
      daemon_cycle(table);
    uint64_t cpu = clock_ns(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
    uint64_t wall = clock_ns(CLOCK_MONOTONIC) - wall0;
    uint64_t allocs = allocations - allocs0;
    printf("cycle %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 "\n", cpu, wall, allocs, log_ns - log0);
  }
  closelog();
  return 0;
}
