// SPDX-License-Identifier: BSD-2-Clause
// Gathers one request frame (fwtable/fwemu_wire.h) from the bytes a client
// sends, in whatever pieces they arrive, so that a client that sends half a
// request holds up nobody.
//
// A get request's option buffer is allocated at its full length (optlen)
// with calloc: the bytes past those sent are zero, as the framing says, and
// a huge optlen costs only address space until the store writes into it.
// When that allocation fails the body is read and thrown away, and the
// frame is marked so that the server answers ENOMEM. An administrative
// command's body is its words, at most EMU_ADMIN_MAX bytes.
//
// Owns: the body of the frame being gathered (released by the next
// emu_frame_reset or with the reader).
// Failure: emu_frame_feed reports a frame whose head cannot be trusted
// (wrong magic, unknown kind, more bytes sent than the option length, an
// oversized command) as emu_feed::bad; the stream cannot be resynchronised
// after that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fwtable/fwemu_wire.h"
#include "fwtable/malloc_ptr.h"

constexpr uint32_t EMU_ADMIN_MAX = 64 * 1024;

struct emu_frame_reader {
  fwemu_request_head head{};
  size_t head_got = 0;
  malloc_ptr<uint8_t[]> body;
  size_t body_got = 0;  // of head.sent
  bool no_memory = false;  // the body could not be allocated; its bytes are skipped
};

enum class emu_feed { more, frame, bad };

// Takes bytes from data[0..n) up to the end of the current frame and stores
// in *used how many it took. Returns frame once a whole frame is held (the
// rest of the data belongs to the next one), more while it is incomplete,
// bad for an untrustworthy head.
emu_feed emu_frame_feed(emu_frame_reader* r, const uint8_t* data, size_t n, size_t* used);

// Size of the body buffer of a complete frame: optlen for a get request,
// sent for a command.
size_t emu_frame_body_size(const emu_frame_reader& r);

// Forgets the frame, ready for the next one.
void emu_frame_reset(emu_frame_reader* r);
