// SPDX-License-Identifier: BSD-2-Clause
// Fault injection for tests: failures and malformed replies that the table
// store produces on demand, set with the "fault" administrative command so
// that tests in-process and over the socket use the same words.
//
//   fault fail OPCODE ERRNO [COUNT]   the next COUNT requests of the
//        opcode (86, 87, 89, 93, or add, delete, list, info) fail with
//        ERRNO (a number or a name such as ENOMEM); like every failed
//        request they leave the caller's length as it was passed, and a
//        list request failed with ENOMEM carries the table's info record
//        as an undersized list buffer does
//   fault short-info LEN [COUNT]    info replies succeed but report LEN < 296
//   fault corrupt-list zero-length|past-end|count [COUNT]   list replies
//        with the first entry's length 0, the last entry's length running
//        past the end of the reply, or an item count one larger than the
//        entries sent
//   fault delay MS [COUNT]          wait MS milliseconds before answering
//   fault destroy-after-list [COUNT]   the table a whole list reply was
//        sent for is destroyed right after it, as by a firewall reloaded
//        between a listing and the deletions that follow it
//   fault recreate-after-list [type T] [valtype V] [limit N] [set N]
//        [add KEY VALUE]...   once: the table a whole list reply was sent
//        for is destroyed right after it and made again under its name with
//        these settings (as "create" takes them; the lowest free kernel
//        index, which is its old one) and entries, as by a firewall reload
//        that builds the table anew
//   fault short-data LEN [COUNT]    replies to get requests carry at most
//        LEN bytes of data, whatever length they report (as a channel
//        that loses the end of a reply would); the server's replies only
//   fault drip MS [COUNT]           replies to get requests go out one
//        byte every MS milliseconds, the first after MS; the server's
//        replies only, and it goes on answering other clients meanwhile
//   fault grow N [COUNT]            a table grows by N entries between an
//        info request and the next list request of the same table, as a
//        table does when a watcher adds hosts between a sweep's two
//        requests: a successful info request arms it for its table, and
//        the next list request of that table first adds the entries
//        (emu/table_growth.h says which), then is answered; COUNT counts
//        the info/list pairs (N from 1 to 1000000)
//   fault hold MS [COUNT]           replies to get requests go out whole
//        MS milliseconds after the request came; the server's replies
//        only, and it goes on answering other clients meanwhile (unlike
//        delay), so a test can see the request counted while its reply
//        is still held
//   fault claim ITEMS SIZE [COUNT]  the info record of info replies and
//        of list replies refused with ENOMEM states ITEMS entries and a
//        listing size of SIZE bytes, whatever the table holds (a kernel
//        whose size claims cannot be trusted); the table and the answer
//        to the request are as ever
//   fault clear                     drop every pending fault
//   fault show                      print the pending faults
//
// COUNT defaults to 1; 0 means every request (every pair, for grow) until
// "fault clear".
//
// Owns: the pending faults (plain values).
// Failure: emu_fault_command returns 0, or 64 (usage) / 65 (bad number or
// errno word) with a message; the take functions do not fail.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct emu_fault_count {
  uint32_t left = 0;
  bool forever = false;

  bool pending() const { return forever || left > 0; }
  // Uses one occurrence; false when none is pending.
  bool take();
};

enum class emu_list_fault { none, zero_length, past_end, count };

struct emu_faults {
  struct fail {
    uint16_t opcode;
    int error;
    emu_fault_count times;
  };
  std::vector<fail> fails;  // at most one per opcode
  uint32_t short_info_len = 0;
  emu_fault_count short_info;
  emu_list_fault list_fault = emu_list_fault::none;
  emu_fault_count list_times;
  uint32_t delay_ms = 0;
  emu_fault_count delay_times;
  emu_fault_count destroy_after_list;
  uint32_t short_data_len = 0;
  emu_fault_count short_data;
  uint32_t drip_ms = 0;
  emu_fault_count drip_times;
  uint32_t grow_by = 0;
  emu_fault_count grow_times;
  // recreate-after-list: the words after it, checked when it was set.
  bool recreate_pending = false;
  std::vector<std::string> recreate_words;
  // The table the last successful info request named while a grow was
  // pending; its next list request grows it.
  bool grow_armed = false;
  std::string grow_table;
  uint32_t hold_ms = 0;
  emu_fault_count hold_times;
  uint32_t claim_items = 0;
  uint32_t claim_size = 0;
  emu_fault_count claim_times;
};

// The words after "fault".
int emu_fault_command(emu_faults* f, const std::vector<std::string>& words, std::string* out);

// Sleeps for the pending delay, if any (uses one occurrence).
void emu_fault_delay(emu_faults* f);
// The failure pending for opcode, if any (uses one occurrence).
bool emu_fault_take_fail(emu_faults* f, uint16_t opcode, emu_faults::fail* out);
// The shortened info length, if one is pending (uses one occurrence).
bool emu_fault_take_short_info(emu_faults* f, uint32_t* len);
// The most data bytes the next get reply may carry, if a limit is pending
// (uses one occurrence).
bool emu_fault_take_short_data(emu_faults* f, uint32_t* len);
// The pause between the bytes of the next get reply, if a drip is pending
// (uses one occurrence).
bool emu_fault_take_drip(emu_faults* f, uint32_t* ms);
// How long the next get reply is held back whole, if a hold is pending
// (uses one occurrence).
bool emu_fault_take_hold(emu_faults* f, uint32_t* ms);
// The item count and listing size the next info record written into an
// info reply or an ENOMEM answer states, if a claim is pending (uses one
// occurrence).
bool emu_fault_take_claim(emu_faults* f, uint32_t* items, uint32_t* size);
// The list corruption pending for a reply with `entries` entries; zero-length
// and past-end wait for a reply that has an entry to corrupt.
emu_list_fault emu_fault_take_list(emu_faults* f, uint32_t entries);
// Whether the table of the list reply just made is to be destroyed (uses
// one occurrence).
bool emu_fault_take_destroy_after_list(emu_faults* f);
// Whether the table of the list reply just made is to be made again, and
// the words that say how (uses the one occurrence).
bool emu_fault_take_recreate_after_list(emu_faults* f, std::vector<std::string>* words);
// An info request of table `name` succeeded: a pending grow is armed for
// that table (replacing an earlier arming).
void emu_fault_arm_grow(emu_faults* f, const std::string& name);
// A list request of table `name` is about to be answered: the entries to
// add first, when a grow is armed for that table (uses one occurrence and
// disarms it).
bool emu_fault_take_grow(emu_faults* f, const std::string& name, uint32_t* entries);
