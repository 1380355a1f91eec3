// SPDX-License-Identifier: BSD-2-Clause
// What FreeBSD's kernel answers to the table requests, one fact a row: the
// tables the row makes (ipfw(8)'s words), the request it sends and what the
// kernel does with it. The one table is run by two programs: the
// emulator's test (emu/kernel_answers_test.cc), against a store emulating
// FreeBSD 14 and one emulating 15, and fwconform, against the kernel it
// runs on (or, built for the emulator, against a running fwemu), each
// through the same runner (conform/answer_run.h).
//
// Every row starts from table "{t}", an address table of two hosts (its
// listing 296 + 2 * 120 = 536 bytes), made before the row's own setup.
//
// Owns: the rows (constant, made once).
// Failure: none here; a row's verdict is the runner's.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "conform/answer_request.h"
#include "conform/conform_target.h"

// What the kernel does with the request. A failure always leaves the
// length as it was passed and the header as it was sent.
struct answer_outcome {
  int err = 0;  // 0: the request succeeds
  uint32_t len = 0;  // the length written back by a success
  // The info record at byte 96: its item count and listing size, or -1
  // when none is written (a refused request is then left as it was sent,
  // but for the result bytes of add and delete).
  int info_count = -1;
  uint32_t info_size = 0;
  int info_set = -1;  // the info record's set; -1: not looked at
  std::vector<uint8_t> results = {};  // the entries' result bytes; empty: not looked at
  int entries_after = -1;  // the table's entries afterwards; -1: not counted
  // A find's answer: the key (an IPv4 address), mask length and legacy
  // value of the entry written back after the header; null: not looked at.
  const char* found_key = nullptr;
  uint8_t found_masklen = 0;
  uint32_t found_value = 0;
  // IPv4 hosts of table "{t}" and the legacy value each holds afterwards,
  // read from a listing.
  std::vector<std::pair<const char*, uint32_t>> values_after = {};
};

struct kernel_answer {
  const char* what;
  int release;  // 0: both kernels'; 14 or 15: that release's only
  std::vector<std::string> setup;  // administrative commands after the common ones
  answer_request req;
  answer_outcome want;
  // A row that is a sequence of commands and requests rather than one
  // request: it runs here whole and returns what differed ("" for
  // nothing); setup, req and want are then unused.
  std::string (*sequence)(const conform_target& t) = nullptr;
};

// The commands that make table "{t}" before every row.
const std::vector<std::string>& kernel_answer_common_setup();

// The rows, in the order they are numbered (1 up).
const std::vector<kernel_answer>& kernel_answers();

// Whether the row applies to FreeBSD abi's kernel.
bool kernel_answer_applies(const kernel_answer& row, int abi);
