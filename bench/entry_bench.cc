// SPDX-License-Identifier: BSD-2-Clause
// The per-entry work of a sweep, one call at a time: writing a value text,
// rendering an address entry that is due and one that is not, and parsing
// the key texts a deletion reads back.
#include <arpa/inet.h>

#include <benchmark/benchmark.h>

#include <cstring>

#include "daemon/expire.h"
#include "fwtable/entry_render.h"
#include "fwtable/fw_records.h"
#include "fwtable/fwctl.h"
#include "fwtable/key_parse.h"
#include "tests/support/table_records.h"

namespace {

uint64_t handed_on = 0;

int count_entry(char* key_text, uint32_t expiry) {
  benchmark::DoNotOptimize(key_text);
  handed_on += expiry;
  return 0;
}

void BM_FormatEntryValue(benchmark::State& state) {
  ipfw_table_value v;
  memset(&v, 0, sizeof v);
  v.skipto = 65535;
  v.pipe = v.fib = 10;
  v.dscp = 46;
  v.tag = 1700000000;
  v.nat = 7;
  v.nh4 = 0xC0000201;
  const auto vmask = static_cast<uint32_t>(state.range(0));
  char buf[ENTRY_TEXT_SIZE];
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark's loop
    format_entry_value(vmask, &v, buf);
    benchmark::DoNotOptimize(buf);
  }
}
// The legacy mask (the tag alone), and seven fields ending in an address.
BENCHMARK(BM_FormatEntryValue)->ArgName("vmask")->Arg(IPFW_VTYPE_LEGACY)->Arg(0x23F);

// An IPv4 host of a legacy table, with the daemon's own due test against
// the cycle's time (read once, as a cycle reads it): due (the key text is
// written and handed on) or not (passed over on its expiry alone).
void BM_RenderAddressEntry(benchmark::State& state) {
  ipfw_xtable_info info = table_info(IPFW_TABLE_ADDR, IPFW_VTYPE_LEGACY);
  const uint32_t expiry = state.range(0) != 0 ? 1 : 4000000000u;
  ipfw_obj_tentry e = address_entry("192.0.2.7", 32, expiry);
  read_cycle_clock();
  for (auto _ : state)  // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark's loop
    render_table_entry(&info, &e, count_entry, expiry_is_due);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RenderAddressEntry)->ArgName("due")->Arg(1)->Arg(0);

// A key text of a delete command parsed into an entry's key; the info cache
// is already filled (as for every key after a command's first), so no
// request is sent.
void BM_ParseEntryKey(benchmark::State& state, uint8_t type, uint8_t tflags, const char* text) {
  ipfw_obj_header oh;
  memset(&oh, 0, sizeof oh);
  init_request_header(&oh, "5", 0);
  ipfw_xtable_info cache = table_info(type, IPFW_VTYPE_LEGACY, tflags, "5");
  const size_t len = strlen(text) + 1;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark's loop
    char key[ENTRY_TEXT_SIZE];
    memcpy(key, text, len);
    ipfw_obj_tentry entry;
    memset(&entry, 0, sizeof entry);
    uint8_t got_type = 0;
    uint32_t vmask = 0;
    parse_entry_key(&oh, &entry, key, 0, &got_type, &vmask, &cache);
    benchmark::DoNotOptimize(entry);
  }
}
BENCHMARK_CAPTURE(BM_ParseEntryKey, ipv4, IPFW_TABLE_ADDR, 0, "192.0.2.7");
BENCHMARK_CAPTURE(BM_ParseEntryKey, ipv6, IPFW_TABLE_ADDR, 0, "2001:db8::7/64");
BENCHMARK_CAPTURE(BM_ParseEntryKey, flow, IPFW_TABLE_FLOW,
                  IPFW_TFFLAG_SRCIP | IPFW_TFFLAG_PROTO | IPFW_TFFLAG_DSTIP | IPFW_TFFLAG_DSTPORT,
                  "192.0.2.1,6,192.0.2.2,22");

}  // namespace

BENCHMARK_MAIN();
