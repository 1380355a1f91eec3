// SPDX-License-Identifier: BSD-2-Clause
#include "emu/frame_reader.h"

#include <algorithm>
#include <cstring>

namespace {

bool head_is_sound(const fwemu_request_head& h) {
  if (h.magic != FWEMU_MAGIC) return false;
  if (h.kind == FWEMU_KIND_GET) return h.sent <= h.optlen;
  if (h.kind == FWEMU_KIND_ADMIN) return h.sent <= EMU_ADMIN_MAX;
  return false;
}

}  // namespace

size_t emu_frame_body_size(const emu_frame_reader& r) {
  return r.head.kind == FWEMU_KIND_GET ? r.head.optlen : r.head.sent;
}

emu_feed emu_frame_feed(emu_frame_reader* r, const uint8_t* data, size_t n, size_t* used) {
  *used = 0;
  if (r->head_got < sizeof r->head) {
    size_t take = std::min(n, sizeof r->head - r->head_got);
    memcpy(reinterpret_cast<uint8_t*>(&r->head) + r->head_got, data, take);
    r->head_got += take;
    *used += take;
    if (r->head_got < sizeof r->head) return emu_feed::more;
    if (!head_is_sound(r->head)) return emu_feed::bad;
    size_t size = emu_frame_body_size(*r);
    // One byte at least, so that an empty option buffer is still a buffer.
    r->body.reset(static_cast<uint8_t*>(calloc(size > 0 ? size : 1, 1)));
    r->no_memory = r->body == nullptr;
  }
  size_t take = std::min(n - *used, static_cast<size_t>(r->head.sent) - r->body_got);
  if (!r->no_memory) memcpy(r->body.get() + r->body_got, data + *used, take);
  r->body_got += take;
  *used += take;
  return r->body_got == r->head.sent ? emu_feed::frame : emu_feed::more;
}

void emu_frame_reset(emu_frame_reader* r) {
  r->head = fwemu_request_head{};
  r->head_got = 0;
  r->body.reset();
  r->body_got = 0;
  r->no_memory = false;
}
