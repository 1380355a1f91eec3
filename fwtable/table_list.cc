// SPDX-License-Identifier: BSD-2-Clause
#include "fwtable/table_list.h"

#include <sys/mman.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fwtable/fatal.h"
#include "fwtable/fwctl.h"
#include "fwtable/sweep_scan.h"
#include "fwtable/value_fields.h"

namespace {

// The list buffer is asked for at most this many times per listing.
constexpr int LIST_ATTEMPTS = 8;
// Slack added to the kernel's listing size for the first request, and the
// least added after the first ENOMEM answer.
constexpr uint64_t LIST_SLACK = 44;
// After an ENOMEM answer the slack is at least this share of the size
// (one sixteenth): a table growing steadily is caught within the attempts.
constexpr uint64_t LIST_SLACK_SHARE = 16;

// A list buffer: size bytes at data (none when size is 0).
struct list_buffer {
  uint8_t* data = nullptr;
  uint64_t size = 0;
  bool in_use = false;  // a listing's walk is reading it
};

void release(list_buffer* buf) {
  free(buf->data);
  buf->data = nullptr;
  buf->size = 0;
}

// The buffer kept from one listing to the next, and the length of the
// reply of the last listing that had one in it.
list_buffer kept;
uint64_t kept_last_reply = 0;

// The most the kept buffer may hold beyond the last reply: an eighth of
// it, and at least 1 MiB. A table that grows by up to that between two
// listings is listed in the buffer it left; a larger buffer (one that a
// table since grown smaller, or an ENOMEM answer claiming far more than the
// table holds, made the listing ask for) is let go when the listing ends,
// and the next listing asks for what it needs.
constexpr uint64_t KEEP_SLACK_LEAST = uint64_t{1} << 20;
constexpr uint64_t KEEP_SLACK_SHARE = 8;

bool worth_keeping(uint64_t size, uint64_t last_reply) {
  return size <= last_reply + std::max(KEEP_SLACK_LEAST, last_reply / KEEP_SLACK_SHARE);
}

// Large pages, and the least a listing must have filled for its pages to be
// given back: below it (some 17,000 entries) giving back would cost more
// each cycle (about 3 ns an entry on small pages) than the memory is worth.
constexpr uint64_t LARGE_PAGE = uint64_t{2} << 20;

// Hands the pages of the first len bytes of the buffer back to the system
// without unmapping them: they stay mapped, and until the system takes them
// the next listing writes over them without a fault. Advice only; a system
// without MADV_FREE keeps them.
void give_back_pages(const list_buffer* buf, uint64_t len) {
#ifdef MADV_FREE
  static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  uintptr_t start = reinterpret_cast<uintptr_t>(buf->data);
  uintptr_t first = (start + page - 1) / page * page;
  uintptr_t end = (start + std::min(len, buf->size)) / page * page;
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_FREE);
#else
  (void)buf;
  (void)len;
#endif
}

// Asks for the buffer's memory in large pages (2 MiB) where the system
// can: each cycle's MADV_FREE then deals with one page-table entry per
// 2 MiB instead of one per 4 KiB (at 10^6 entries about a quarter of the
// client's CPU time per cycle), and the reply is written through fewer TLB
// entries. Only whole large pages inside the buffer are asked for, so a
// small buffer stays as it is. Advice only.
void ask_for_large_pages(const list_buffer* buf) {
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t large = LARGE_PAGE;
  uintptr_t start = reinterpret_cast<uintptr_t>(buf->data);
  uintptr_t first = (start + large - 1) / large * large;
  uintptr_t end = (start + buf->size) / large * large;
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
  (void)buf;
#endif
}

// The buffer one listing uses: the kept one, unless a walk further up the
// stack is still reading it; then one of this listing's own, freed when it
// ends. The kept one's pages are given back at the end when the reply had
// filled enough of them.
struct listing_buffer {
  list_buffer own;
  list_buffer* buf;
  uint64_t touched = 0;  // bytes the requests of this listing may have filled
  uint64_t reply = 0;  // the length of the reply this listing had, 0 for none

  listing_buffer() : buf(kept.in_use ? &own : &kept) { buf->in_use = true; }
  ~listing_buffer() {
    if (buf == &own) {
      release(&own);
      return;
    }
    if (reply != 0) kept_last_reply = reply;
    if (!worth_keeping(kept.size, kept_last_reply)) {
      release(&kept);
    } else if (kept.data != nullptr && touched >= LARGE_PAGE) {
      give_back_pages(&kept, touched);
    }
    kept.in_use = false;
  }
  listing_buffer(const listing_buffer&) = delete;
  listing_buffer& operator=(const listing_buffer&) = delete;
};

// What one listing works with: the table as the command named it (the
// object header it built), the table's info record as the info request
// returned it, and what is called right before each list request.
struct listing_request {
  const ipfw_obj_header* oh;
  const ipfw_xtable_info* info;
  list_request_fn before_list;
  list_outgrown_fn outgrown;
  list_no_memory_fn no_memory = nullptr;
};

// A failed listing lets its buffer go, the kept one too. The message names
// the table as it was given, whatever the kernel's replies held; the
// precision keeps a header that lacks the NUL from being read past its
// name field.
[[noreturn]] void list_failed(const listing_request* req, list_buffer* buf, int error) {
  release(buf);
  errno = error;
  fatal_err(EX_OSERR, "Error requesting table %.63s list", req->oh->ntlv.name);
}

// The first request: the kernel's listing size plus slack, never less than
// the request header, never more than the kernel can be told (32 bits).
uint64_t first_request_size(const ipfw_xtable_info* info) {
  uint64_t want =
      std::max<uint64_t>(listing_size_claimed(info->size, info->count) + LIST_SLACK, sizeof(ipfw_obj_header));
  return std::min<uint64_t>(want, UINT32_MAX);
}

// The request after the retry-th ENOMEM answer (1, 2, ...) to a request of
// `sent` bytes. A failed request leaves its length as it was passed
// (getsockopt copies the length back only on success), so the size the
// listing needs now is read from the info record the kernel wrote into the
// reply before it gave up. A table that keeps growing between attempts is
// caught by slack that grows with it: at least a sixteenth of the size, and
// at least LIST_SLACK, doubled at each retry (a small table gaining a few
// entries between every two attempts outgrows any fixed slack). A reply
// whose info record asks for no more than was sent (none written: the area
// was zeroed before the request) is grown from the size sent, so every
// attempt asks for more.
uint64_t retry_request_size(uint64_t sent, const uint8_t* reply, int retry) {
  uint64_t needed = 0;
  if (sent >= FW_INFO_REQUEST_SIZE) {
    const uint8_t* info = reply + sizeof(ipfw_obj_header);
    uint32_t size;
    uint32_t count;
    memcpy(&size, info + offsetof(ipfw_xtable_info, size), sizeof size);
    memcpy(&count, info + offsetof(ipfw_xtable_info, count), sizeof count);
    needed = listing_size_claimed(size, count);
  }
  const uint64_t base = std::max(needed, sent);
  const uint64_t want = base + std::max(LIST_SLACK << (retry - 1), base / LIST_SLACK_SHARE);
  return std::min<uint64_t>(want, UINT32_MAX);
}

// Makes the buffer hold at least want bytes. A buffer that does is kept as
// it is, contents and all: the request needs only its header written, and
// the kernel writes every byte of the reply. A smaller one is let go before
// the larger one is asked for, so that the two are never held at once.
bool hold(list_buffer* buf, uint64_t want) {
  if (buf->size >= want) return true;
  release(buf);
  buf->data = static_cast<uint8_t*>(malloc(want));
  if (buf->data == nullptr) return false;
  buf->size = want;
  ask_for_large_pages(buf);
  return true;
}

// Sends the list request into buf, retrying on ENOMEM; returns the length
// of the reply, which the request size bounds. The size handed to the
// kernel is the request size the size rule gives, which the buffer holds.
uint64_t request_listing(const listing_request* req, listing_buffer* lb) {
  const ipfw_xtable_info* info = req->info;
  list_buffer* buf = lb->buf;
  uint64_t want = first_request_size(info);
  for (int attempt = 1;; attempt++) {
    if (!hold(buf, want)) {
      if (attempt < LIST_ATTEMPTS) continue;
      // The system would not give the memory at any attempt: the program
      // may abandon the listing.
      if (req->no_memory != nullptr) req->no_memory();
      list_failed(req, buf, ENOMEM);
    }

    ipfw_obj_header oh;
    memset(&oh, 0, sizeof oh);
    init_request_header(&oh, info->tablename, static_cast<uint8_t>(info->set & 0xff));
    memcpy(buf->data, &oh, sizeof oh);
    // Where an ENOMEM answer leaves the info record: zero, so that an
    // answer that wrote none is never read as what an earlier reply left.
    if (want > sizeof oh)
      memset(buf->data + sizeof oh, 0, std::min<uint64_t>(want, FW_INFO_REQUEST_SIZE) - sizeof oh);

    uint64_t size = want;
    lb->touched = std::max(lb->touched, want);
    if (req->before_list != nullptr) req->before_list();
    if (fwctl_get(IP_FW_TABLE_XLIST, buf->data, &size) == 0) {
      // A reply that claims more than the request allowed is as malformed
      // as one whose entries run past its end.
      if (size > want || size < FW_LIST_ENTRIES_OFFSET) list_failed(req, buf, EBADMSG);
      return size;
    }
    int error = errno;
    // The last attempt outgrown: the program may abandon the listing.
    if (error == ENOMEM && attempt == LIST_ATTEMPTS && req->outgrown != nullptr) req->outgrown();
    if (error != ENOMEM || attempt == LIST_ATTEMPTS) list_failed(req, buf, error);
    want = retry_request_size(want, buf->data, attempt);
  }
}

// The 32-bit length in the TLV head of the entry at p, wherever it lies.
uint32_t entry_length(const uint8_t* p) {
  uint32_t len;
  memcpy(&len, p + offsetof(ipfw_obj_tlv, length), sizeof len);
  return len;
}

// Asked of an entry while the reply is checked: whether the walk's function
// would do anything with it.
using entry_wanted_fn = bool (*)(const ipfw_xtable_info* reply_info, const ipfw_obj_tentry* entry, void* ctx);

// Calls fn with the entry at p: in place when it lies on its alignment
// (the buffer is malloc's, so exactly when its offset does), else as an
// aligned copy.
template <typename F>
auto with_entry_at(const uint8_t* p, F fn) {
  if (reinterpret_cast<uintptr_t>(p) % alignof(ipfw_obj_tentry) == 0)
    return fn(reinterpret_cast<const ipfw_obj_tentry*>(p));
  ipfw_obj_tentry copy;
  memcpy(&copy, p, sizeof copy);
  return fn(&copy);
}

// Where the walk of a checked reply starts.
struct walk_start {
  uint32_t index;
  uint64_t offset;
};

// What the check asks of each entry, until one is wanted: whether the
// walk's function would do anything with it (wanted, with ctx), or, for a
// sweep whose decision the scan can make in place (scan_cycle given), the
// sweep's scan with reading.
struct entry_filter {
  entry_wanted_fn wanted = nullptr;
  void* ctx = nullptr;
  sweep_cycle* scan_cycle = nullptr;
  sweep_reading reading = {};
};

// Checks a reply of reply_len bytes before any entry of it is handed on:
// the item count of entries, each at least a whole entry record long by its
// own length, lies wholly inside it. Reads the lengths, and asks the filter
// of each entry until one is wanted: the walk starts there (past the last
// entry when none is), since the entries before it would come to nothing.
// Every step eats at least one entry record, so the check ends after at
// most reply_len / 120 steps whatever the count says.
bool check_reply(const uint8_t* reply, uint64_t reply_len, const ipfw_xtable_info* reply_info,
                 const entry_filter& filter, walk_start* start) {
  const uint32_t count = reply_info->count;
  bool looking = filter.wanted != nullptr || filter.scan_cycle != nullptr;
  *start = {looking ? count : 0, FW_LIST_ENTRIES_OFFSET};
  uint32_t i = 0;
  uint64_t off = FW_LIST_ENTRIES_OFFSET;
  if (filter.scan_cycle != nullptr) {
    // The sweep's own pass reads up to the first due entry; the rest is
    // only checked below.
    reply_position at{0, FW_LIST_ENTRIES_OFFSET};
    if (!sweep_scan(reply, reply_len, count, filter.reading, filter.scan_cycle, &at)) return false;
    looking = false;
    *start = {at.index, at.offset};
    i = at.index;
    off = at.offset;
  }
  for (; i < count; i++) {
    if (reply_len - off < sizeof(ipfw_obj_tentry)) return false;
    uint32_t len = entry_length(reply + off);
    if (len < sizeof(ipfw_obj_tentry) || len > reply_len - off) return false;
    if (looking && with_entry_at(reply + off, [&](const ipfw_obj_tentry* e) {
          return filter.wanted(reply_info, e, filter.ctx);
        })) {
      looking = false;
      *start = {i, off};
    }
    off += len;
  }
  return true;
}

// The filter of a listing, from the reply's info record: none without
// wanted; the sweep's scan when cycle is given, the table is an address
// table and its values' expiry is a time in the record; else wanted.
entry_filter filter_for(const ipfw_xtable_info* reply_info, entry_wanted_fn wanted, void* ctx,
                        sweep_cycle* cycle) {
  entry_filter f;
  if (wanted == nullptr) return f;
  if (cycle != nullptr && reply_info->type == IPFW_TABLE_ADDR &&
      sweep_reading_of(reply_info->vmask, fw_built::value_layout, &f.reading)) {
    f.scan_cycle = cycle;
    return f;
  }
  f.wanted = wanted;
  f.ctx = ctx;
  return f;
}

// The listing: request, check, then the walk from where the check says.
// With wanted, a sweep's cycle lets the check make the due decision itself
// (filter_for).
void walk_listing(const listing_request* req, table_entry_fn fn, entry_wanted_fn wanted, void* ctx,
                  sweep_cycle* cycle = nullptr) {
  listing_buffer lb;
  const uint64_t size = request_listing(req, &lb);
  lb.reply = size;
  const uint8_t* reply = lb.buf->data;

  ipfw_xtable_info reply_info;
  memcpy(&reply_info, reply + sizeof(ipfw_obj_header), sizeof reply_info);
  walk_start start;
  if (!check_reply(reply, size, &reply_info, filter_for(&reply_info, wanted, ctx, cycle), &start))
    list_failed(req, lb.buf, EBADMSG);

  uint64_t off = start.offset;
  for (uint32_t i = start.index; i < reply_info.count; i++) {
    const uint8_t* at = reply + off;
    off += entry_length(at);
    with_entry_at(at, [&](const ipfw_obj_tentry* e) { fn(&reply_info, e, ctx); });
  }
}

struct render_context {
  address_entry_fn on_address;
  address_due_fn is_due;
  listing_stop_fn stop;
  sweep_cycle* cycle;
  // The walk starts at an entry the check found due: it is not asked again.
  bool start_found_due;
};

// The due test the handler gave, asked of an address entry.
bool due_by_handler(const render_context* r, uint32_t expiry, bool removable) {
  return r->cycle != nullptr ? sweep_count_entry(r->cycle, expiry, removable) : r->is_due(expiry, removable);
}

void render_entry(const ipfw_xtable_info* reply_info, const ipfw_obj_tentry* entry, void* ctx) {
  auto* r = static_cast<render_context*>(ctx);
  if (r->stop != nullptr && r->stop()) return;
  address_due_fn is_due = r->is_due;
  const bool address = reply_info->type == IPFW_TABLE_ADDR;
  if (r->start_found_due) {
    // The check asked the due test of this entry (of an address table, as
    // the reply says) and found it due.
    r->start_found_due = false;
    if (address) is_due = nullptr;
  } else if (address && r->cycle != nullptr && r->on_address != nullptr) {
    // The sweep's own test, asked here; the renderer hands on the entry
    // when the sweep can remove it.
    uint32_t expiry;
    const bool removable = sweep_expiry(reply_info->vmask, entry, &expiry);
    if (!sweep_count_entry(r->cycle, expiry, removable)) return;
    is_due = nullptr;
  }
  render_table_entry(reply_info, entry, r->on_address, is_due);
}

// Whether the renderer, given a handler and a due test, would do anything
// with the entry: an entry of an address table only when the sweep can
// remove it and it is due, one of any other table always.
bool comes_to_something(const ipfw_xtable_info* reply_info, const ipfw_obj_tentry* entry, void* ctx) {
  const auto* r = static_cast<const render_context*>(ctx);
  if (reply_info->type != IPFW_TABLE_ADDR) return true;
  uint32_t expiry;
  const bool removable = sweep_expiry(reply_info->vmask, entry, &expiry);
  return due_by_handler(r, expiry, removable) && removable;
}

}  // namespace

uint64_t kept_list_buffer_size() { return kept.size; }

uint64_t listing_size_claimed(uint32_t size, uint32_t count) {
  return std::min<uint64_t>(size, FW_LIST_ENTRIES_OFFSET + uint64_t{count} * sizeof(ipfw_obj_tentry));
}

int request_table_info(const ipfw_obj_header* oh, ipfw_xtable_info* info) {
  uint8_t buf[FW_INFO_REQUEST_SIZE];
  memset(buf, 0, sizeof buf);
  memcpy(buf, oh, sizeof *oh);
  uint64_t size = sizeof buf;
  if (fwctl_get(IP_FW_TABLE_XINFO, buf, &size) != 0) return -1;
  if (size < FW_INFO_REQUEST_SIZE) {
    // A reply too short to hold the info record: the kernel's answer is
    // malformed, whatever errno happens to hold.
    errno = EBADMSG;
    return -1;
  }
  memcpy(info, buf + sizeof(ipfw_obj_header), sizeof *info);
  return 0;
}

void fetch_table_info(const ipfw_obj_header* oh, ipfw_xtable_info* info) {
  if (request_table_info(oh, info) != 0) fatal_err(EX_OSERR, "failed to request table info");
}

void for_each_table_entry(const ipfw_obj_header* oh, const ipfw_xtable_info* info, table_entry_fn fn,
                          void* ctx) {
  const listing_request req{oh, info, nullptr, nullptr};
  walk_listing(&req, fn, nullptr, ctx);
}

void list_table_entries(const ipfw_obj_header* oh, const ipfw_xtable_info* info,
                        const listing_handler& handler) {
  const bool look_ahead =
      handler.on_address != nullptr && (handler.is_due != nullptr || handler.cycle != nullptr);
  sweep_cycle* cycle = handler.on_address != nullptr ? handler.cycle : nullptr;
  render_context r{handler.on_address, handler.is_due, handler.stop, cycle, look_ahead};
  const listing_request req{oh, info, handler.before_list, handler.outgrown, handler.no_memory};
  // A sweep with nothing due thus reads the reply once: the check finds no
  // entry that comes to something, and the walk has nothing to do.
  walk_listing(&req, render_entry, look_ahead ? comes_to_something : nullptr, &r, cycle);
  if (handler.after_walk != nullptr) handler.after_walk();
}
