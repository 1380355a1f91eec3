// SPDX-License-Identifier: BSD-2-Clause
#include "fwtable/record_change.h"

#include <sysexits.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fwtable/entry_render.h"
#include "fwtable/fatal.h"
#include "fwtable/fwctl.h"
#include "fwtable/key_parse.h"
#include "fwtable/platform.h"

const char* record_result_word(uint8_t result) {
  switch (result) {
    case IPFW_TR_IGNORED:
      return "ignored";
    case IPFW_TR_ADDED:
      return "added";
    case IPFW_TR_UPDATED:
      return "updated";
    case IPFW_TR_DELETED:
      return "deleted";
    case IPFW_TR_LIMIT:
      return "limit";
    case IPFW_TR_NOTFOUND:
      return "notfound";
    case IPFW_TR_EXISTS:
      return "exists";
    case IPFW_TR_ERROR:
      return "error";
    default:
      return "unknown";
  }
}

const char* change_error_text(int error) {
  switch (error) {
    case ENOENT:
      return "record not found";
    case ESRCH:
      return "table not found";
    case EACCES:
      return "table is locked";
    case EEXIST:
      return "record already exists";
    case EFBIG:
      return "limit hit";
    default:
      return strerror(error);
  }
}

namespace {

// Under the atomic add the kernel undoes the entries it had changed, so
// those are reported as reverted.
bool reported_as_reverted(uint8_t result, int atomic) {
  return atomic != 0 && (result == IPFW_TR_ADDED || result == IPFW_TR_UPDATED || result == IPFW_TR_DELETED);
}

// Lays out the request: the header (fwctl_get stamps its opcode and
// version), the container with its length, count and atomic bit, and the n
// records, each with TLV length 120 and the header's object index as its
// name index. buf is zeroed and holds 112 + 120 n bytes.
void fill_change_request(uint8_t* buf, const ipfw_obj_header* oh, int atomic, const ipfw_obj_tentry* records,
                         size_t n) {
  memcpy(buf, oh, sizeof *oh);

  ipfw_obj_ctlv ctlv;
  memset(&ctlv, 0, sizeof ctlv);
  ctlv.head.length = static_cast<uint32_t>(sizeof ctlv + n * sizeof(ipfw_obj_tentry));
  ctlv.count = static_cast<uint32_t>(n);
  ctlv.flags = atomic != 0 ? IPFW_CTF_ATOMIC : 0;
  memcpy(buf + sizeof *oh, &ctlv, sizeof ctlv);

  for (size_t i = 0; i < n; i++) {
    ipfw_obj_tentry e = records[i];
    e.head.length = sizeof(ipfw_obj_tentry);
    e.idx = oh->idx;
    memcpy(buf + FW_CHANGE_ENTRIES_OFFSET + i * sizeof e, &e, sizeof e);
  }
}

// A block of memory of a multi-key command.
struct held_block {
  void* data = nullptr;
  size_t size = 0;
};

// Makes b hold at least want bytes, all of them zero. A block that does is
// kept as it is (and cleared); a smaller one is replaced.
bool hold_zeroed(held_block* b, size_t want) {
  if (b->size < want) {
    free(b->data);
    b->data = malloc(want);
    b->size = b->data != nullptr ? want : 0;
    if (b->data == nullptr) return false;
  }
  memset(b->data, 0, want);
  return true;
}

// The record array and the request buffer of a multi-key command.
struct change_storage {
  held_block records;
  held_block request;
  bool in_use = false;
};

// Kept from one command to the next, grown when a command needs more, never
// freed while the process runs: the daemon's batches of deletions, one
// after another, allocate nothing once the first has run.
change_storage kept;

// The storage one command uses: the kept one, unless a command further up
// holds it (none does as the program runs: a failed command's report runs
// no command), then storage of its own, freed before the command returns.
// Released however the command ends, an abandoned request's unwinding
// included.
class command_storage {
 public:
  command_storage() : s_(kept.in_use ? &own_ : &kept) { s_->in_use = true; }
  ~command_storage() {
    s_->in_use = false;
    if (s_ == &own_) {
      free(own_.records.data);
      free(own_.request.data);
    }
  }
  command_storage(const command_storage&) = delete;
  command_storage& operator=(const command_storage&) = delete;
  change_storage* get() { return s_; }

 private:
  change_storage own_;
  change_storage* s_;
};

// Sends the n records in one request and copies the entries of the reply
// back over them; a request of more than one record is laid out in
// request, a block of the command's storage. Returns 0, or the error
// number of the failed request; a request buffer that cannot be had counts
// as a request failed with ENOMEM, and nothing is sent.
int send_change_request(const ipfw_obj_header* oh, int add, int atomic, ipfw_obj_tentry* records, size_t n,
                        held_block* request) {
  const size_t len = FW_CHANGE_ENTRIES_OFFSET + n * sizeof(ipfw_obj_tentry);

  // The one-record request lives here.
  uint8_t fixed[FW_CHANGE_ENTRIES_OFFSET + sizeof(ipfw_obj_tentry)];
  uint8_t* buf = nullptr;
  if (n == 1) {
    memset(fixed, 0, sizeof fixed);
    buf = fixed;
  } else if (len <= UINT32_MAX && hold_zeroed(request, len)) {
    // The kernel takes a 32-bit length, and the container's length field
    // is 32 bits: a longer request cannot be sent whole.
    buf = static_cast<uint8_t*>(request->data);
  }
  if (buf == nullptr) return ENOMEM;

  fill_change_request(buf, oh, atomic, records, n);
  uint64_t size = len;
  int error = 0;
  if (fwctl_get(add != 0 ? IP_FW_TABLE_XADD : IP_FW_TABLE_XDEL, buf, &size) != 0) error = errno;

  // The kernel writes each entry's result in place; the buffer is ours and
  // holds all n entries whatever length came back.
  for (size_t i = 0; i < n; i++)
    memcpy(&records[i], buf + FW_CHANGE_ENTRIES_OFFSET + i * sizeof(ipfw_obj_tentry),
           sizeof(ipfw_obj_tentry));
  return error;
}

}  // namespace

int change_table_records(ipfw_obj_header* oh, int add, int atomic, int argc, char** keys, size_t* deleted) {
  // The arguments end at the count or at the first missing (null) one.
  int nargs = 0;
  if (keys != nullptr)
    while (nargs < argc && keys[nargs] != nullptr) nargs++;
  if (nargs < 1) fatal_errx(EX_USAGE, "address required");

  // A delete has one record per key; an add reserves room for key and
  // value pairs.
  size_t reserve = add != 0 ? static_cast<size_t>(nargs / 2 + 1) : static_cast<size_t>(nargs);
  ipfw_obj_tentry one;
  memset(&one, 0, sizeof one);
  command_storage storage;
  ipfw_obj_tentry* records = &one;
  if (reserve > 1) {
    held_block* block = &storage.get()->records;
    if (reserve > SIZE_MAX / sizeof(ipfw_obj_tentry) ||
        !hold_zeroed(block, reserve * sizeof(ipfw_obj_tentry)))
      fatal_errx(EX_OSERR, "Unable to allocate memory for all entries");
    records = static_cast<ipfw_obj_tentry*>(block->data);
  }

  ipfw_xtable_info cache;
  memset(&cache, 0, sizeof cache);

  size_t n = 0;
  for (int i = 0; i < nargs; n++) {
    uint8_t type = 0;
    uint32_t vmask = 0;
    parse_entry_key(oh, &records[n], keys[i], add, &type, &vmask, &cache);
    oh->ntlv.type = type;
    i++;
    // A value after an added key is for the add command's value parser,
    // which this program does not have; the entry is not sent with a value
    // other than the one asked for.
    if (add != 0 && i < nargs) fatal_errx(EX_USAGE, "table values are not supported by this program");
  }

  int error = send_change_request(oh, add, atomic, records, n, &storage.get()->request);
  if (error == 0 || (add == 0 && error == ENOENT) || (add != 0 && error == EEXIST)) {
    // Each record's result byte says what the kernel did with it, whether
    // the request as a whole succeeded or not.
    if (deleted != nullptr) {
      *deleted = 0;
      for (size_t i = 0; i < n; i++)
        if (records[i].result == IPFW_TR_DELETED) ++*deleted;
    }
    return error;
  }

  // The report renders each record with no address handler, so an address
  // record is printed and never handed to the expiry decision: a failed
  // deletion cannot start another one.
  for (size_t i = 0; i < n; i++) {
    const char* word = record_result_word(records[i].result);
    if (reported_as_reverted(records[i].result, atomic))
      platform_printf("%s(reverted): ", word);
    else
      platform_printf("%s: ", word);
    render_table_entry(&cache, &records[i], nullptr);
  }
  platform_flush();
  fatal_errx(EX_OSERR, "%s: %s", add != 0 ? "Adding record failed" : "Deleting record failed",
             change_error_text(error));
}
