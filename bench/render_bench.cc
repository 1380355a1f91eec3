// Rendering cost per entry, and a whole listing of a table of a million
// address entries served by the in-process emulator store.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "emu/table_store.h"
#include "fwtable/entry_render.h"
#include "fwtable/fwctl.h"
#include "fwtable/table_list.h"
#include "tests/support/table_records.h"

namespace {

uint64_t expiry_sum = 0;

int sum_expiry(char* key_text, uint32_t expiry) {
  benchmark::DoNotOptimize(key_text);
  expiry_sum += expiry;
  return 0;
}

void BM_RenderAddressEntry(benchmark::State& state) {
  ipfw_xtable_info info = table_info(IPFW_TABLE_ADDR, IPFW_VTYPE_LEGACY);
  ipfw_obj_tentry e = state.range(0) == 4 ? address_entry("192.0.2.7", 32, 1700000000)
                                              : address_entry("fd00:1::", 64, 1700000000);
  for (auto _ : state) render_table_entry(&info, &e, sum_expiry);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RenderAddressEntry)->Arg(4)->Arg(6);

void BM_FormatValue(benchmark::State& state) {
  ipfw_table_value v;
  memset(&v, 0, sizeof v);
  v.skipto = 0x80000000u;
  v.pipe = v.fib = v.divert = 65535;
  v.dscp = 63;
  v.nat = v.tag = v.netgraph = v.limit = 4294967295u;
  v.nh4 = 0xC0000201;
  inet_pton(AF_INET6, "2001:db8::1", v.nh6);
  const auto vmask = static_cast<uint32_t>(state.range(0));
  char buf[ENTRY_TEXT_SIZE];
  for (auto _ : state) {
    format_entry_value(vmask, &v, buf);
    benchmark::DoNotOptimize(buf);
  }
}
BENCHMARK(BM_FormatValue)->Arg(IPFW_VTYPE_LEGACY)->Arg(IPFW_VTYPE_SKIPTO | IPFW_VTYPE_TAG)->Arg(0x1FF)->Arg(0x7FF);

// Fills table "bench" of the store with n IPv4 hosts, 10.0.0.0 upwards, in
// add requests of up to 1000 records.
void fill_table(emu_store* store, uint32_t n) {
  std::string out;
  if (emu_store_admin(store, {"create", "bench", "type", "addr"}, &out) != 0) {
    fprintf(stderr, "create: %s\n", out.c_str());
    abort();
  }
  constexpr uint32_t batch = 1000;
  std::vector<uint8_t> buf(FW_CHANGE_ENTRIES_OFFSET + batch * sizeof(ipfw_obj_tentry));
  for (uint32_t first = 0; first < n; first += batch) {
    uint32_t count = std::min(batch, n - first);
    std::fill(buf.begin(), buf.end(), 0);
    ipfw_obj_header oh;
    memset(&oh, 0, sizeof oh);
    init_request_header(&oh, "bench", 0);
    oh.opheader.opcode = IP_FW_TABLE_XADD;
    oh.opheader.version = 1;
    oh.ntlv.type = IPFW_TABLE_ADDR;
    memcpy(buf.data(), &oh, sizeof oh);
    ipfw_obj_ctlv ctlv;
    memset(&ctlv, 0, sizeof ctlv);
    ctlv.head.length = sizeof ctlv + count * sizeof(ipfw_obj_tentry);
    ctlv.count = count;
    memcpy(buf.data() + sizeof oh, &ctlv, sizeof ctlv);
    for (uint32_t i = 0; i < count; i++) {
      ipfw_obj_tentry e;
      memset(&e, 0, sizeof e);
      e.head.length = sizeof e;
      e.idx = 1;
      e.subtype = FW_AF_INET;
      e.masklen = 32;
      uint32_t addr = htonl(0x0A000000u + first + i);
      memcpy(e.k.addr4, &addr, 4);
      e.v.tag = 4000000000u;  // far ahead: nothing expires
      memcpy(buf.data() + FW_CHANGE_ENTRIES_OFFSET + i * sizeof e, &e, sizeof e);
    }
    auto len = static_cast<uint32_t>(FW_CHANGE_ENTRIES_OFFSET + count * sizeof(ipfw_obj_tentry));
    if (emu_store_get(store, buf.data(), &len) != 0) {
      perror("add");
      abort();
    }
  }
}

void BM_ListTable(benchmark::State& state) {
  const auto n = static_cast<uint32_t>(state.range(0));
  emu_store* store = emu_store_new();
  fill_table(store, n);
  fwctl_set_handler(emu_store_fwctl_handler, store);
  ipfw_obj_header oh;
  memset(&oh, 0, sizeof oh);
  init_request_header(&oh, "bench", 0);
  for (auto _ : state) {
    ipfw_xtable_info info;
    fetch_table_info(&oh, &info);
    list_table_entries(&info, sum_expiry);
  }
  state.SetItemsProcessed(state.iterations() * n);
  fwctl_set_handler(nullptr, nullptr);
  emu_store_free(store);
}
BENCHMARK(BM_ListTable)->Arg(1000)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
