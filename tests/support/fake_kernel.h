// SPDX-License-Identifier: BSD-2-Clause
// A stand-in for the kernel inside a test process: while a fake_kernel
// lives, every fwctl_get request goes to it instead of a control socket.
// It records every request (opcode, length passed in, the request bytes as
// sent) and answers from an in-process emulator table store, unless the
// test scripts its own answer.
//
// Owns: the store and the record of requests, and the platform scope that
// puts it in place of the control channel (with_fwctl) for its life.
// Failure: answers follow getsockopt's contract (0, or -1 with errno).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "emu/table_store.h"
#include "fwtable/platform.h"

// Runs one fwemu administrative command given as one line of blank-separated
// words ("create t5 type addr") against a store; returns its status and
// leaves its text in *out when asked.
int store_admin(emu_store* store, const std::string& words, std::string* out = nullptr);

struct fake_kernel {
  struct request {
    uint16_t opcode;
    uint32_t len;  // option length passed in
    std::vector<uint8_t> bytes;  // request bytes as sent (len of them)
    int result;  // 0 or -1
    int error;  // errno when -1
    uint32_t len_out;  // length written back (the length passed in, when it failed)
  };

  // A scripted answer: sees the buffer and length as the store would, and
  // returns 0 or -1 with errno set. Unset: the store answers.
  using answer_fn = std::function<int(uint16_t opcode, uint8_t* buf, uint32_t* len)>;

  fake_kernel();
  ~fake_kernel();
  fake_kernel(const fake_kernel&) = delete;
  fake_kernel& operator=(const fake_kernel&) = delete;

  // Runs one fwemu administrative command ("create t5 type addr") against
  // the store and fails the current test if it does not succeed; returns
  // its text.
  std::string admin(const std::string& words);
  // The same, returning the status and leaving the test alone.
  int admin_status(const std::string& words, std::string* out = nullptr);

  // Requests of one opcode, in order.
  std::vector<request> requests_of(uint16_t opcode) const;

  emu_store* store;
  answer_fn answer;
  std::vector<request> requests;

 private:
  platform_scope scope_;
};
