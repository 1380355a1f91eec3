// SPDX-License-Identifier: BSD-2-Clause
// Where the rows of kernel answers (conform/kernel_answers.h) are tried: a
// target is a kernel, or the emulator, reached by one get request with
// getsockopt's contract, and a way to make and remove its tables with
// ipfw(8)'s words. The tables a row uses are named by their role; their
// names are a prefix the caller chooses and a short suffix, so that a
// target never sees a table of ours under a name someone else uses.
//
// Owns: nothing; the target's functions belong to its caller.
// Failure: the requests report as getsockopt does (0, or -1 with errno);
// the administrative command returns its exit status (0 on success).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fwtable/fw_records.h"
#include "fwtable/platform.h"

// The tables of the rows, by role.
enum class table_role : uint8_t {
  main,  // PREFIX-t: an address table of two hosts, made before every row
  set,  // PREFIX-s: made with a set number other than 0
  missing,  // PREFIX-g: never made
  name63,  // PREFIX-nnn...: a name of 63 bytes, the longest there is
  name64,  // the 63-byte name and one byte more, with no room for the NUL
  empty,  // the empty name
  odd,  // PREFIX, a blank and a control character: never made
  a,  // PREFIX-a, PREFIX-b, PREFIX-c: made, destroyed and made again in
  b,  //   turn by the kernel-index row
  c,
};

struct conform_target {
  int abi;  // 14 or 15: the kernel's release, whose layout the requests take
  std::string prefix;
  platform_fwctl_fn get;  // one request, getsockopt's contract
  void* get_ctx;
  // One administrative command as ipfw(8)'s words after the program name
  // ("table", "PREFIX-t", "create", "type", "addr"); its exit status.
  std::function<int(const std::vector<std::string>& words)> admin;
};

// Whether a prefix is one the names can be made of: 1 to 20 of
// [A-Za-z0-9_.-].
bool conform_prefix_ok(const std::string& prefix);

// The name a role stands for under prefix.
std::string conform_table_name(const std::string& prefix, table_role role);

// The names of the tables a row may make, and the missing table's (which
// must be missing as well): every name to find absent before the first row.
std::vector<std::string> conform_names_in_use(const std::string& prefix);

// The words of an administrative command with every "{t}", "{s}", "{l}",
// "{a}", "{b}" and "{c}" replaced by the name of its role (main, set,
// name63, a, b, c); words are split at blanks.
std::vector<std::string> conform_admin_words(const std::string& prefix, const std::string& command);

// An info request of the named table in the target's layout: 0 with the
// info record in *info, or the request's errno.
int conform_info(const conform_target& t, const std::string& name, ipfw_xtable_info* info);

// Removes every table a row may have made (unlocked first when locked);
// one that is not there is passed over, and failures are ignored.
void conform_clean(const conform_target& t);

// "EINVAL" for EINVAL, the number for an error without a name here.
std::string conform_errno_name(int err);
