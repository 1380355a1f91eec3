// SPDX-License-Identifier: BSD-2-Clause
#include "conform/kernel_answers.h"

#include <cerrno>

namespace {

// A new table gets the lowest free kernel index, and a destroyed table's
// index is free again: a table destroyed and made again under its name
// usually gets its old index back. Other tables of the system may hold
// indexes too, so only the indexes of this row's tables are compared.
std::string lowest_free_index(const conform_target& t) {
  std::string differs;
  auto run = [&](const std::string& command) {
    if (!differs.empty()) return;
    if (int st = t.admin(conform_admin_words(t.prefix, command)))
      differs = "\"" + command + "\" failed with status " + std::to_string(st);
  };
  auto index_of = [&](table_role role) -> uint32_t {
    if (!differs.empty()) return 0;
    ipfw_xtable_info info;
    if (int e = conform_info(t, conform_table_name(t.prefix, role), &info)) {
      differs = "info of " + conform_table_name(t.prefix, role) + " failed with " + conform_errno_name(e);
      return 0;
    }
    return info.kidx;
  };
  auto expect = [&](bool ok, const std::string& what) {
    if (differs.empty() && !ok) differs = what;
  };
  run("table {a} create type addr");
  const uint32_t a = index_of(table_role::a);
  run("table {b} create type addr");
  const uint32_t b = index_of(table_role::b);
  expect(b > a, "B got " + std::to_string(b) + " after A's " + std::to_string(a));
  run("table {a} destroy");
  run("table {c} create type addr");
  const uint32_t c = index_of(table_role::c);
  expect(c == a, "C got " + std::to_string(c) + ", not A's freed " + std::to_string(a));
  run("table {a} create type addr");
  const uint32_t a2 = index_of(table_role::a);
  expect(a2 > b, "A made again beside B and C got " + std::to_string(a2) + ", not one above B's " +
                     std::to_string(b));
  run("table {c} destroy");
  run("table {a} destroy");
  run("table {a} create type addr");
  const uint32_t a3 = index_of(table_role::a);
  expect(a3 == a, "A made again alone got " + std::to_string(a3) + ", not its first " + std::to_string(a));
  return differs;
}

const std::vector<std::string> COMMON = {
    "table {t} create type addr",
    "table {t} add 192.0.2.1 1700000000 192.0.2.2 1800000000",
};

constexpr uint16_t INFO = IP_FW_TABLE_XINFO;
constexpr uint16_t LIST = IP_FW_TABLE_XLIST;
constexpr uint16_t DEL = IP_FW_TABLE_XDEL;
constexpr uint16_t ADD = IP_FW_TABLE_XADD;
constexpr uint16_t FIND = IP_FW_TABLE_XFIND;
constexpr uint8_t ADDR = IPFW_TABLE_ADDR;
constexpr uint16_t UPDATE = IPFW_TF_UPDATE;

const std::vector<kernel_answer> ROWS = {
    // Lengths: written back only on success, and then the bytes written.
    {"info succeeds with the header as sent and the table's info record, and writes back 296",
     0,
     {},
     {.opcode = INFO, .length = 296},
     {.len = 296, .info_count = 2, .info_size = 536}},
    {"info in a buffer larger than 296 writes back 296, the bytes it wrote",
     0,
     {},
     {.opcode = INFO, .length = 400},
     {.len = 296, .info_count = 2, .info_size = 536}},
    {"a list that fits succeeds whole and writes back the listing's size",
     0,
     {},
     {.opcode = LIST, .length = 536 + 44},
     {.len = 536, .info_count = 2, .info_size = 536}},
    {"a list one entry short of the listing fails with ENOMEM, writes the header and the info record "
     "(the table's size and count) and leaves the length as passed",
     0,
     {},
     {.opcode = LIST, .length = 416},
     {.err = ENOMEM, .info_count = 2, .info_size = 536}},
    {"a list buffer of header and info record alone gets the info record with its ENOMEM",
     0,
     {},
     {.opcode = LIST, .length = 296},
     {.err = ENOMEM, .info_count = 2, .info_size = 536}},
    {"the info record of an undersized list is the table's current one",
     0,
     {"table {t} add 192.0.2.3"},
     {.opcode = LIST, .length = 536},
     {.err = ENOMEM, .info_count = 3, .info_size = 656}},
    {"a failed request in a buffer larger than it needs leaves that larger length",
     0,
     {},
     {.opcode = INFO, .length = 400, .table = table_role::missing},
     {.err = ESRCH}},
    {"a list buffer of the header alone is EINVAL, and nothing is written",
     0,
     {},
     {.opcode = LIST, .length = 96},
     {.err = EINVAL}},
    {"a list buffer shorter than header and info record (200 bytes) is EINVAL, and nothing is written",
     0,
     {},
     {.opcode = LIST, .length = 200},
     {.err = EINVAL}},

    // The op header's version.
    {"info at op version 0 is EINVAL (FreeBSD 15 takes it at 1 only)",
     15,
     {},
     {.opcode = INFO, .length = 296, .version = 0},
     {.err = EINVAL}},

    // Finding the table by its name record.
    {"info with a name record whose TLV length is not 80 finds no table: ESRCH",
     0,
     {},
     {.opcode = INFO, .length = 296, .name_length = 72},
     {.err = ESRCH}},
    {"list with a name record whose TLV length is not 80 finds no table: ESRCH",
     0,
     {},
     {.opcode = LIST, .length = 580, .name_length = 72},
     {.err = ESRCH}},
    {"delete with a name record whose TLV length is not 80 is EINVAL",
     0,
     {},
     {.opcode = DEL, .type = ADDR, .name_length = 72, .keys = {"192.0.2.1"}},
     {.err = EINVAL, .entries_after = 2}},
    {"add with a name record whose TLV length is not 80 is EINVAL",
     0,
     {},
     {.opcode = ADD, .type = ADDR, .name_length = 72, .keys = {"192.0.2.3"}},
     {.err = EINVAL, .entries_after = 2}},
    {"info does not read the object header's index: a name record of index 2 under object index 1 "
     "finds the table",
     0,
     {},
     {.opcode = INFO, .length = 296, .name_idx = 2},
     {.len = 296, .info_count = 2, .info_size = 536}},
    {"list does not read the object header's index either",
     0,
     {},
     {.opcode = LIST, .length = 580, .name_idx = 2},
     {.len = 536, .info_count = 2, .info_size = 536}},
    {"indexes other than 1 find the table when the header's and the name record's agree",
     0,
     {},
     {.opcode = INFO, .length = 296, .object_idx = 3, .name_idx = 3},
     {.len = 296, .info_count = 2, .info_size = 536}},
    {"info takes a name record of TLV type 0",
     0,
     {},
     {.opcode = INFO, .length = 296, .name_tlv = 0},
     {.len = 296, .info_count = 2, .info_size = 536}},
    {"delete takes a name record of TLV type 0",
     0,
     {},
     {.opcode = DEL, .type = ADDR, .name_tlv = 0, .keys = {"192.0.2.1"}},
     {.len = 232, .results = {IPFW_TR_DELETED}, .entries_after = 1}},
    {"info with a name record of TLV type 2 finds no table: ESRCH",
     0,
     {},
     {.opcode = INFO, .length = 296, .name_tlv = 2},
     {.err = ESRCH}},
    {"delete with a name record of TLV type 2 finds no table: ESRCH",
     0,
     {},
     {.opcode = DEL, .type = ADDR, .name_tlv = 2, .keys = {"192.0.2.1"}},
     {.err = ESRCH, .entries_after = 2}},
    {"info does not check the name record's table type",
     0,
     {},
     {.opcode = INFO, .length = 296, .type = IPFW_TABLE_NUMBER},
     {.len = 296, .info_count = 2, .info_size = 536}},
    {"list does not check the name record's table type",
     0,
     {},
     {.opcode = LIST, .length = 580, .type = IPFW_TABLE_NUMBER},
     {.len = 536, .info_count = 2, .info_size = 536}},

    // Table sets are disabled: the set a request names is ignored.
    {"info ignores the request's set",
     0,
     {},
     {.opcode = INFO, .length = 296, .set = 7},
     {.len = 296, .info_count = 2, .info_size = 536}},
    {"list ignores the request's set",
     0,
     {},
     {.opcode = LIST, .length = 580, .set = 31},
     {.len = 536, .info_count = 2, .info_size = 536}},
    {"delete ignores the request's set",
     0,
     {},
     {.opcode = DEL, .type = ADDR, .set = 3, .keys = {"192.0.2.1"}},
     {.len = 232, .results = {IPFW_TR_DELETED}, .entries_after = 1}},
    {"a table created in set 5 is found through set 0, and its info reports set 0",
     0,
     {"set 5 table {s} create type addr"},
     {.opcode = INFO, .length = 296, .table = table_role::set},
     {.len = 296, .info_count = 0, .info_size = 296, .info_set = 0}},

    // A missing table.
    {"info of a missing table is ESRCH",
     0,
     {},
     {.opcode = INFO, .length = 296, .table = table_role::missing},
     {.err = ESRCH}},
    {"list of a missing table is ESRCH",
     0,
     {},
     {.opcode = LIST, .length = 580, .table = table_role::missing},
     {.err = ESRCH}},
    {"delete from a missing table is ESRCH",
     0,
     {},
     {.opcode = DEL, .table = table_role::missing, .type = ADDR, .keys = {"192.0.2.1"}},
     {.err = ESRCH}},
    {"a destroyed table is missing",
     0,
     {"table {t} destroy"},
     {.opcode = LIST, .length = 580},
     {.err = ESRCH}},

    // Delete and add.
    {"a delete of a present entry succeeds, marks it deleted, writes back its own length and leaves "
     "the value record as sent (not the deleted entry's value)",
     0,
     {},
     {.opcode = DEL, .type = ADDR, .keys = {"192.0.2.1"}, .value = 12345},
     {.len = 232, .results = {IPFW_TR_DELETED}, .entries_after = 1}},
    {"a delete a byte longer than header, container and entries is EINVAL",
     0,
     {},
     {.opcode = DEL, .type = ADDR, .keys = {"192.0.2.1"}, .extra = 1},
     {.err = EINVAL, .entries_after = 2}},
    {"a delete a byte shorter than header, container and entries is EINVAL",
     0,
     {},
     {.opcode = DEL, .type = ADDR, .keys = {"192.0.2.1", "192.0.2.2"}, .extra = -1},
     {.err = EINVAL, .entries_after = 2}},
    {"a delete entry whose TLV length is not 120 is EINVAL",
     0,
     {},
     {.opcode = DEL, .type = ADDR, .keys = {"192.0.2.1"}, .entry_length = 112},
     {.err = EINVAL, .entries_after = 2}},
    {"a delete entry whose table index is not the name record's finds no table: ESRCH",
     0,
     {},
     {.opcode = DEL, .type = ADDR, .keys = {"192.0.2.1"}, .entry_idx = {2}},
     {.err = ESRCH, .entries_after = 2}},
    {"delete entries whose table indexes differ from each other are ENOTSUP",
     0,
     {},
     {.opcode = DEL, .type = ADDR, .keys = {"192.0.2.1", "192.0.2.2"}, .entry_idx = {1, 7}},
     {.err = ENOTSUP, .entries_after = 2}},
    {"a delete whose name record gives type 0 is EINVAL",
     0,
     {},
     {.opcode = DEL, .type = 0, .keys = {"192.0.2.1"}},
     {.err = EINVAL, .entries_after = 2}},
    {"a delete whose name record gives another table type is EINVAL",
     0,
     {},
     {.opcode = DEL, .type = IPFW_TABLE_NUMBER, .keys = {"192.0.2.1"}},
     {.err = EINVAL, .entries_after = 2}},
    {"an add whose name record gives type 0 is EINVAL",
     0,
     {},
     {.opcode = ADD, .type = 0, .keys = {"192.0.2.3"}},
     {.err = EINVAL, .entries_after = 2}},
    {"an add whose name record gives another table type is EINVAL",
     0,
     {},
     {.opcode = ADD, .type = IPFW_TABLE_NUMBER, .keys = {"192.0.2.3"}},
     {.err = EINVAL, .entries_after = 2}},
    {"a delete of an entry that is not there is ENOENT",
     0,
     {},
     {.opcode = DEL, .type = ADDR, .keys = {"192.0.2.9"}},
     {.err = ENOENT, .results = {IPFW_TR_NOTFOUND}, .entries_after = 2}},
    {"a delete of two entries, the first absent, fails with ENOENT and deletes the second",
     0,
     {},
     {.opcode = DEL, .type = ADDR, .keys = {"192.0.2.9", "192.0.2.1"}},
     {.err = ENOENT, .results = {IPFW_TR_NOTFOUND, IPFW_TR_DELETED}, .entries_after = 1}},
    {"the atomic flag does not undo a delete: the second entry is deleted all the same",
     0,
     {},
     {.opcode = DEL, .type = ADDR, .keys = {"192.0.2.9", "192.0.2.1"}, .flags = IPFW_CTF_ATOMIC},
     {.err = ENOENT, .results = {IPFW_TR_NOTFOUND, IPFW_TR_DELETED}, .entries_after = 1}},
    {"an add of two entries, the first present, fails with EEXIST and adds the second",
     0,
     {},
     {.opcode = ADD, .type = ADDR, .keys = {"192.0.2.1", "192.0.2.3"}},
     {.err = EEXIST, .results = {IPFW_TR_EXISTS, IPFW_TR_ADDED}, .entries_after = 3}},
    {"a delete from a locked table is EACCES",
     0,
     {"table {t} lock"},
     {.opcode = DEL, .type = ADDR, .keys = {"192.0.2.1"}},
     {.err = EACCES, .entries_after = 2}},
    {"a delete of no entries succeeds and writes back length 0",
     0,
     {},
     {.opcode = DEL, .type = ADDR},
     {.len = 0, .entries_after = 2}},
    {"an add of no entries succeeds and writes back length 0",
     0,
     {},
     {.opcode = ADD, .type = ADDR},
     {.len = 0, .entries_after = 2}},

    // Names: a name of 1 to 63 bytes with its NUL; any other finds nothing.
    {"a name of 63 bytes is found",
     0,
     {"table {l} create type addr"},
     {.opcode = INFO, .length = 296, .table = table_role::name63},
     {.len = 296, .info_count = 0, .info_size = 296}},
    {"info of a name that fills all 64 bytes, with no NUL, finds no table: ESRCH",
     0,
     {},
     {.opcode = INFO, .length = 296, .table = table_role::name64},
     {.err = ESRCH}},
    {"list of a name that fills all 64 bytes finds no table: ESRCH",
     0,
     {},
     {.opcode = LIST, .length = 580, .table = table_role::name64},
     {.err = ESRCH}},
    {"info of the empty name finds no table: ESRCH",
     0,
     {},
     {.opcode = INFO, .length = 296, .table = table_role::empty},
     {.err = ESRCH}},
    {"list of the empty name finds no table: ESRCH",
     0,
     {},
     {.opcode = LIST, .length = 580, .table = table_role::empty},
     {.err = ESRCH}},
    {"a name with a blank and a control character is looked up like any other: ESRCH",
     0,
     {},
     {.opcode = INFO, .length = 296, .table = table_role::odd},
     {.err = ESRCH}},

    // Kernel indexes.
    {"a new table gets the lowest free kernel index, and destroy frees it",
     15,
     {},
     {.opcode = INFO},
     {},
     lowest_free_index},

    // Adding with the entry's update-if-present flag.
    {"an add of a present key with the update flag succeeds, marks it updated and replaces its value",
     0,
     {},
     {.opcode = ADD, .type = ADDR, .keys = {"192.0.2.1"}, .value = 1900000000, .entry_flags = UPDATE},
     {.len = 232,
      .results = {IPFW_TR_UPDATED},
      .entries_after = 2,
      .values_after = {{"192.0.2.1", 1900000000}, {"192.0.2.2", 1800000000}}}},
    {"an add of an absent key with the update flag adds it",
     0,
     {},
     {.opcode = ADD, .type = ADDR, .keys = {"192.0.2.3"}, .value = 1900000000, .entry_flags = UPDATE},
     {.len = 232,
      .results = {IPFW_TR_ADDED},
      .entries_after = 3,
      .values_after = {{"192.0.2.3", 1900000000}}}},
    {"an add with the update flag of a present and an absent key succeeds: updated, then added",
     0,
     {},
     {.opcode = ADD,
      .type = ADDR,
      .keys = {"192.0.2.2", "192.0.2.3"},
      .value = 1900000000,
      .entry_flags = UPDATE},
     {.len = 352,
      .results = {IPFW_TR_UPDATED, IPFW_TR_ADDED},
      .entries_after = 3,
      .values_after = {{"192.0.2.1", 1700000000}, {"192.0.2.2", 1900000000}, {"192.0.2.3", 1900000000}}}},
    {"an add without the flag of an absent and a present key fails with EEXIST, adds the absent one and "
     "leaves the present one's value",
     0,
     {},
     {.opcode = ADD, .type = ADDR, .keys = {"192.0.2.3", "192.0.2.1"}, .value = 1900000000},
     {.err = EEXIST,
      .results = {IPFW_TR_ADDED, IPFW_TR_EXISTS},
      .entries_after = 3,
      .values_after = {{"192.0.2.3", 1900000000}, {"192.0.2.1", 1700000000}}}},

    // Finding one entry.
    {"a find of a present key succeeds, writes back length 216 and the entry with its value",
     0,
     {},
     {.opcode = FIND, .type = ADDR, .keys = {"192.0.2.1"}},
     {.len = 216, .found_key = "192.0.2.1", .found_masklen = 32, .found_value = 1700000000}},
    {"a find of an absent key is ENOENT",
     0,
     {},
     {.opcode = FIND, .type = ADDR, .keys = {"192.0.2.9"}},
     {.err = ENOENT}},
    {"a find of a host inside a prefix entry answers the prefix, the longest one holding the address",
     0,
     {"table {t} add 198.51.100.0/24 1900000000"},
     {.opcode = FIND, .type = ADDR, .keys = {"198.51.100.7"}},
     {.len = 216, .found_key = "198.51.100.0", .found_masklen = 24, .found_value = 1900000000}},
    {"a find in a missing table is ESRCH",
     0,
     {},
     {.opcode = FIND, .table = table_role::missing, .type = ADDR, .keys = {"192.0.2.1"}},
     {.err = ESRCH}},
    {"a find at op version 0 is EINVAL (FreeBSD 15 takes it at 1 only)",
     15,
     {},
     {.opcode = FIND, .version = 0, .type = ADDR, .keys = {"192.0.2.1"}},
     {.err = EINVAL}},
    {"a find whose entry follows a container (232 bytes) is EINVAL",
     0,
     {},
     {.opcode = FIND, .type = ADDR, .keys = {"192.0.2.1"}, .find_container = true},
     {.err = EINVAL}},
    {"a find whose name record gives table type 0 is EINVAL",
     0,
     {},
     {.opcode = FIND, .type = 0, .keys = {"192.0.2.1"}},
     {.err = EINVAL}},
    {"a find whose entry's table index is 0 finds no table: ESRCH",
     0,
     {},
     {.opcode = FIND, .type = ADDR, .keys = {"192.0.2.1"}, .entry_idx = {0}},
     {.err = ESRCH}},
};

}  // namespace

const std::vector<std::string>& kernel_answer_common_setup() { return COMMON; }

const std::vector<kernel_answer>& kernel_answers() { return ROWS; }

bool kernel_answer_applies(const kernel_answer& row, int abi) {
  return row.release == 0 || row.release == abi;
}
