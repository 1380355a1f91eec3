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
#include "fwtable/malloc_ptr.h"
#include "fwtable/platform.h"

namespace {

// The word of the failure report for an entry's result byte.
const char* result_word(uint8_t result) {
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

// Under the atomic add the kernel undoes the entries it had changed, so
// those are reported as reverted.
bool reported_as_reverted(uint8_t result, int atomic) {
  return atomic != 0 && (result == IPFW_TR_ADDED || result == IPFW_TR_UPDATED || result == IPFW_TR_DELETED);
}

// The text for the error number of a failed request.
const char* request_error_text(int error) {
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

// Sends the n records in one request and copies the entries of the reply
// back over them. Returns 0, or the error number of the failed request;
// a request buffer that cannot be had counts as a request failed with
// ENOMEM, and nothing is sent.
int send_change_request(const ipfw_obj_header* oh, int add, int atomic, ipfw_obj_tentry* records, size_t n) {
  const size_t len = FW_CHANGE_ENTRIES_OFFSET + n * sizeof(ipfw_obj_tentry);

  // The one-record request, the daemon's only case, lives here.
  uint8_t fixed[FW_CHANGE_ENTRIES_OFFSET + sizeof(ipfw_obj_tentry)];
  malloc_ptr<uint8_t> heap;
  uint8_t* buf = nullptr;
  if (n == 1) {
    memset(fixed, 0, sizeof fixed);
    buf = fixed;
  } else if (len <= UINT32_MAX) {
    // The kernel takes a 32-bit length, and the container's length field
    // is 32 bits: a longer request cannot be sent whole.
    heap.reset(static_cast<uint8_t*>(calloc(1, len)));
    buf = heap.get();
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

int change_table_records(ipfw_obj_header* oh, int add, int atomic, int argc, char** keys) {
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
  malloc_ptr<ipfw_obj_tentry> many;
  ipfw_obj_tentry* records = &one;
  if (reserve > 1) {
    many.reset(static_cast<ipfw_obj_tentry*>(calloc(reserve, sizeof(ipfw_obj_tentry))));
    if (!many) fatal_errx(EX_OSERR, "Unable to allocate memory for all entries");
    records = many.get();
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

  int error = send_change_request(oh, add, atomic, records, n);
  if (error == 0) return 0;
  if (add == 0 && error == ENOENT) return ENOENT;
  if (add != 0 && error == EEXIST) return EEXIST;

  // The report renders each record with no address handler, so an address
  // record is printed and never handed to the expiry decision: a failed
  // deletion cannot start another one.
  for (size_t i = 0; i < n; i++) {
    const char* word = result_word(records[i].result);
    if (reported_as_reverted(records[i].result, atomic))
      platform_printf("%s(reverted): ", word);
    else
      platform_printf("%s: ", word);
    render_table_entry(&cache, &records[i], nullptr);
  }
  platform_flush();
  many.reset();
  fatal_errx(EX_OSERR, "%s: %s", add != 0 ? "Adding record failed" : "Deleting record failed",
             request_error_text(error));
}
