#include "fwtable/table_list.h"

#include <sysexits.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fwtable/fatal.h"
#include "fwtable/fwctl.h"

namespace {

// The list buffer is asked for at most this many times per listing.
constexpr int LIST_ATTEMPTS = 8;
// Slack added to the kernel's listing size for the first request.
constexpr uint64_t LIST_SLACK = 44;

struct free_deleter {
  void operator()(uint8_t* p) const { free(p); }
};
using list_buffer = std::unique_ptr<uint8_t, free_deleter>;

// The table name of an info record as a terminated text, whatever the
// kernel left in its 64 bytes.
struct table_name_text {
  char text[sizeof(ipfw_xtable_info::tablename)];
  explicit table_name_text(const ipfw_xtable_info* info) {
    size_t n = strnlen(info->tablename, sizeof text - 1);
    memcpy(text, info->tablename, n);
    text[n] = '\0';
  }
};

[[noreturn]] void list_failed(const ipfw_xtable_info* info, list_buffer* buf, int error) {
  buf->reset();
  table_name_text name(info);
  errno = error;
  fatal_err(EX_OSERR, "Error requesting table %s list", name.text);
}

// Buffer size for the next attempt: the kernel's listing size plus slack
// when the current size falls short of it, never less than the request
// header, never more than the kernel can be told (32 bits), so that the
// size handed over always equals the buffer's.
uint64_t next_buffer_size(uint64_t current, const ipfw_xtable_info* info) {
  if (current < info->size) current = uint64_t{info->size} + LIST_SLACK;
  current = std::max<uint64_t>(current, sizeof(ipfw_obj_header));
  return std::min<uint64_t>(current, UINT32_MAX);
}

// Checks a list reply of reply_len bytes before anything is rendered: the
// header and info record fit, and the item count of entries, each at least
// a whole entry record long by its own length, lies wholly inside the
// reply. reply_len is at most the buffer's size. Every step eats at least
// one entry record, so the check ends after at most reply_len / 120 steps
// whatever the count says.
bool reply_is_whole(const uint8_t* reply, uint64_t reply_len, uint32_t count) {
  if (reply_len < FW_LIST_ENTRIES_OFFSET) return false;
  uint64_t off = FW_LIST_ENTRIES_OFFSET;
  for (uint32_t i = 0; i < count; i++) {
    if (reply_len - off < sizeof(ipfw_obj_tentry)) return false;
    ipfw_obj_tlv head;
    memcpy(&head, reply + off, sizeof head);
    if (head.length < sizeof(ipfw_obj_tentry) || head.length > reply_len - off) return false;
    off += head.length;
  }
  return true;
}

}  // namespace

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

void list_table_entries(const ipfw_xtable_info* info, address_entry_fn on_address, address_due_fn is_due,
                        listing_stop_fn stop) {
  list_buffer buf;
  uint64_t buf_size = 0;
  uint64_t size = 0;

  for (int attempt = 1;; attempt++) {
    buf_size = next_buffer_size(buf_size, info);
    size = buf_size;
    buf.reset();
    buf.reset(static_cast<uint8_t*>(calloc(buf_size, 1)));
    if (!buf) {
      if (attempt == LIST_ATTEMPTS) list_failed(info, &buf, ENOMEM);
      continue;
    }

    ipfw_obj_header oh;
    memset(&oh, 0, sizeof oh);
    init_request_header(&oh, info->tablename, static_cast<uint8_t>(info->set & 0xff));
    oh.opheader.version = 1;
    memcpy(buf.get(), &oh, sizeof oh);

    if (fwctl_get(IP_FW_TABLE_XLIST, buf.get(), &size) == 0) break;
    int error = errno;
    if (error != ENOMEM || attempt == LIST_ATTEMPTS) list_failed(info, &buf, error);
    // The kernel wrote back the length it needs.
    buf_size = size;
  }

  // A reply that claims more than the buffer holds is as malformed as one
  // whose entries run past its end: nothing of it is rendered.
  const uint8_t* reply = buf.get();
  ipfw_xtable_info reply_info;
  if (size > buf_size || size < FW_LIST_ENTRIES_OFFSET) list_failed(info, &buf, EBADMSG);
  memcpy(&reply_info, reply + sizeof(ipfw_obj_header), sizeof reply_info);
  if (!reply_is_whole(reply, size, reply_info.count)) list_failed(info, &buf, EBADMSG);

  uint64_t off = FW_LIST_ENTRIES_OFFSET;
  for (uint32_t i = 0; i < reply_info.count; i++) {
    if (stop != nullptr && stop()) return;
    ipfw_obj_tentry entry;
    memcpy(&entry, reply + off, sizeof entry);
    off += entry.head.length;
    render_table_entry(&reply_info, &entry, on_address, is_due);
  }
}
