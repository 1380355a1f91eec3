// SPDX-License-Identifier: BSD-2-Clause
// The control channel: the object header it fills, what fwctl_get stamps
// and writes back, the emulator transport's framing, and the one control
// socket over a real fwemu server.
#include "fwtable/fwctl.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fwtable/fw_records.h"
#include "fwtable/fwctl_transport.h"
#include "fwtable/fwemu_io.h"
#include "fwtable/fwemu_wire.h"
#include "fwtable/write_all.h"
#include "tests/support/emu_server.h"
#include "tests/support/fake_platform.h"

namespace {

// ---- init_request_header -----------------------------------------------------

struct header_case {
  const char* what;
  std::string name;
  uint8_t set;
  std::string stored;  // the name as it lands in the record
};

class FwctlHeader : public testing::TestWithParam<header_case> {};

INSTANTIATE_TEST_SUITE_P(
    , FwctlHeader,
    testing::Values(header_case{"one_character", "5", 0, "5"}, header_case{"set_7", "5", 7, "5"},
                    header_case{"longest_name", std::string(63, 'a'), 0, std::string(63, 'a')},
                    header_case{"name_of_64_is_cut", std::string(63, 'a') + "b", 0, std::string(63, 'a')},
                    header_case{"name_of_100_is_cut", std::string(100, 'c'), 0, std::string(63, 'c')}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_P(FwctlHeader, FillsOnlyTheNamedFields) {
  const header_case& c = GetParam();
  // Where the indexes and the set lie differs between the kernels; the
  // exact offsets of each are checked in request_layout_test.cc.
  uint8_t want[96] = {};
  want[offsetof(ipfw_obj_header, idx)] = 1;  // object index
  want[16] = 1;  // TLV type
  want[20] = 80;  // TLV length
  want[16 + offsetof(ipfw_obj_ntlv, idx)] = 1;  // name index
  want[16 + offsetof(ipfw_obj_ntlv, set)] = c.set;
  memcpy(want + 32, c.stored.data(), c.stored.size());

  ipfw_obj_header oh;
  memset(&oh, 0, sizeof oh);
  init_request_header(&oh, c.name.c_str(), c.set);
  uint8_t got[96];
  memcpy(got, &oh, sizeof got);
  for (size_t i = 0; i < sizeof got; i++) EXPECT_EQ(got[i], want[i]) << "byte " << i;
}

// ---- fwctl_get over a handler ------------------------------------------------------

struct seen {
  int calls = 0;
  uint32_t len_in = 0;
  std::vector<uint8_t> request;
  int rc = 0;
  int err = 0;
  uint32_t len_out = 0;
};

int scripted(void* ctx, void* buf, uint32_t* len) {
  auto* s = static_cast<seen*>(ctx);
  s->calls++;
  s->len_in = *len;
  auto* b = static_cast<uint8_t*>(buf);
  s->request.assign(b, b + 16);
  *len = s->len_out;
  errno = s->err;
  return s->rc;
}

struct handler_guard {
  explicit handler_guard(seen* s) : scope(with_fwctl(scripted, s)) {}
  platform_scope scope;
};

// The version is the one the build's kernel has the request at: FreeBSD 15
// every table request at 1, FreeBSD 14 the info request at 0.
TEST(FwctlGet, StampsOpcodeAndTheKernelsVersionOverTheOpHeader) {
  struct row {
    uint16_t opcode;
    uint16_t version15;
    uint16_t version14;
  };
  for (const row& r : {row{IP_FW_TABLE_XINFO, 1, 0}, row{IP_FW_TABLE_XLIST, 1, 1},
                       row{IP_FW_TABLE_XDEL, 1, 1}, row{IP_FW_TABLE_XADD, 1, 1}}) {
    SCOPED_TRACE(r.opcode);
    seen s;
    handler_guard g(&s);
    uint8_t buf[296];
    memset(buf, 0xAB, sizeof buf);
    uint64_t size = sizeof buf;
    s.len_out = 296;
    ASSERT_EQ(fwctl_get(r.opcode, buf, &size), 0);
    ASSERT_EQ(s.calls, 1);
    ip_fw3_opheader op;
    memcpy(&op, s.request.data(), sizeof op);
    EXPECT_EQ(op.opcode, r.opcode);
    EXPECT_EQ(op.version, FW_ABI == 14 ? r.version14 : r.version15);
    for (size_t i = 4; i < 16; i++)
      EXPECT_EQ(s.request[i], 0xAB) << "byte " << i << " is not the op header's";
  }
}

struct size_case {
  const char* what;
  uint64_t size_in;
  uint32_t len_seen;
  int rc;
  int err;
  uint32_t len_out;
  uint64_t size_out;
};

class FwctlGetSize : public testing::TestWithParam<size_case> {};

INSTANTIATE_TEST_SUITE_P(
    , FwctlGetSize,
    testing::Values(size_case{"success", 296, 296, 0, 0, 296, 296},
                    size_case{"only_the_low_32_bits_are_passed", 0x100000128ull, 0x128, 0, 0, 0x128, 0x128},
                    size_case{"high_bits_never_survive", 0xFFFFFFFF00000200ull, 0x200, 0, 0, 0x200, 0x200},
                    size_case{"written_back_zero_extended", 580, 580, 0, 0, 0xFFFFFFFFu, 0xFFFFFFFFull},
                    // As getsockopt: a failed request never copies a length
                    // back, whatever the channel below left in it.
                    size_case{"failure_leaves_the_size", 296, 296, -1, EINVAL, 77, 296},
                    size_case{"enomem_leaves_the_size", 580, 580, -1, ENOMEM, 1000, 580},
                    size_case{"failure_leaves_all_64_bits", 0x100000128ull, 0x128, -1, ENOMEM, 0x500,
                              0x100000128ull}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_P(FwctlGetSize, PassesLow32BitsAndWritesTheLengthBackOnSuccess) {
  const size_case& c = GetParam();
  seen s;
  s.rc = c.rc;
  s.err = c.err;
  s.len_out = c.len_out;
  handler_guard g(&s);
  uint8_t buf[64] = {};
  uint64_t size = c.size_in;
  errno = 0;
  int rc = fwctl_get(IP_FW_TABLE_XLIST, buf, &size);
  int err = errno;
  EXPECT_EQ(rc, c.rc);
  if (c.rc != 0) {
    EXPECT_EQ(err, c.err);
  }
  EXPECT_EQ(s.len_in, c.len_seen);
  EXPECT_EQ(size, c.size_out);
}

// ---- the emulator transport, against a scripted peer ---------------------------------

// One end of a socket pair as the control socket; the test plays the server
// on the other end (replies are written before the call, so no thread is
// needed: the socket buffer holds them).
struct socket_pair {
  int ours = -1, peer = -1;
  socket_pair() {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0) {
      ours = sv[0];
      peer = sv[1];
    }
  }
  ~socket_pair() {
    if (ours >= 0) close(ours);
    if (peer >= 0) close(peer);
  }
  void reply(const fwemu_reply_head& rep, const std::vector<uint8_t>& data = {}) {
    ASSERT_EQ(write_all(peer, &rep, sizeof rep), 0);
    if (!data.empty()) {
      ASSERT_EQ(write_all(peer, data.data(), data.size()), 0);
    }
  }
  std::vector<uint8_t> request() {
    fwemu_request_head h;
    EXPECT_EQ(fwemu_read_all(peer, &h, sizeof h), 0);
    std::vector<uint8_t> out(sizeof h + h.sent);
    memcpy(out.data(), &h, sizeof h);
    if (h.sent > 0) {
      EXPECT_EQ(fwemu_read_all(peer, out.data() + sizeof h, h.sent), 0);
    }
    return out;
  }
};

TEST(FwctlTransport, SendsTheBufferWithoutItsTrailingZeros) {
  socket_pair sp;
  ASSERT_GE(sp.ours, 0);
  sp.reply({FWEMU_MAGIC, 0, 0, 300, 3}, {7, 8, 9});
  std::vector<uint8_t> buf(580);
  buf[0] = 0x59;
  buf[95] = 0x11;  // the last byte sent
  buf[400] = 0x22;  // room for the reply (a list request sends its header alone)
  uint32_t len = 580;
  ASSERT_EQ(fwctl_transport_get(sp.ours, buf.data(), &len), 0);
  EXPECT_EQ(len, 300u);
  EXPECT_EQ(buf[0], 7);
  EXPECT_EQ(buf[2], 9);
  // The reply states 300 bytes: what the channel did not carry of them is
  // zero, as a kernel would have written it; past them the buffer stays.
  EXPECT_EQ(buf[95], 0) << "a byte of the reply that did not come";
  EXPECT_EQ(buf[400], 0x22) << "past the reply";

  std::vector<uint8_t> sent = sp.request();
  fwemu_request_head h;
  memcpy(&h, sent.data(), sizeof h);
  EXPECT_EQ(h.magic, FWEMU_MAGIC);
  EXPECT_EQ(h.kind, FWEMU_KIND_GET);
  EXPECT_EQ(h.optlen, 580u);
  EXPECT_EQ(h.sent, 96u);
  EXPECT_EQ(sent[16], 0x59);
}

// Info and list requests are their object header: whatever the rest of
// the buffer holds is not sent. Other requests go whole but for their
// trailing zeros.
TEST(FwctlTransport, SendsOnlyTheHeaderOfInfoAndListRequests) {
  struct row {
    uint16_t opcode;
    uint32_t want_sent;
  };
  for (const row& r : {row{IP_FW_TABLE_XLIST, 96}, row{IP_FW_TABLE_XINFO, 96}, row{IP_FW_TABLE_XDEL, 201}}) {
    SCOPED_TRACE(r.opcode);
    socket_pair sp;
    ASSERT_GE(sp.ours, 0);
    sp.reply({FWEMU_MAGIC, 0, 0, 296, 0});
    std::vector<uint8_t> buf(296);
    memcpy(buf.data(), &r.opcode, sizeof r.opcode);
    buf[95] = 0x33;  // the header's last byte
    buf[200] = 0x44;  // past the header: the answer's room
    uint32_t len = 296;
    ASSERT_EQ(fwctl_transport_get(sp.ours, buf.data(), &len), 0);
    std::vector<uint8_t> sent = sp.request();
    fwemu_request_head h;
    memcpy(&h, sent.data(), sizeof h);
    EXPECT_EQ(h.optlen, 296u);
    EXPECT_EQ(h.sent, r.want_sent);
  }
}

struct transport_case {
  const char* what;
  fwemu_reply_head rep;
  std::vector<uint8_t> data;
  bool close_peer;  // the server goes away after the reply bytes
  int rc;
  int err;
  uint32_t len;  // *len afterwards
};

class FwctlTransportReply : public testing::TestWithParam<transport_case> {};

INSTANTIATE_TEST_SUITE_P(
    , FwctlTransportReply,
    testing::Values(
        // A failure's bytes are kept (an undersized listing's info record is
        // in them), its length is not: getsockopt copies none back.
        transport_case{"failure_leaves_the_length",
                       {FWEMU_MAGIC, -1, ENOMEM, 1000, 16},
                       std::vector<uint8_t>(16, 7),
                       false,
                       -1,
                       ENOMEM,
                       64},
        transport_case{
            "failure_without_errno_is_garbled", {FWEMU_MAGIC, -1, 0, 64, 0}, {}, false, -1, EPROTO, 64},
        transport_case{"wrong_magic", {0x0BADF00D, 0, 0, 64, 0}, {}, false, -1, EPROTO, 64},
        transport_case{
            "result_other_than_0_or_minus_1", {FWEMU_MAGIC, 2, 0, 64, 0}, {}, false, -1, EPROTO, 64},
        transport_case{"more_data_than_the_buffer",
                       {FWEMU_MAGIC, 0, 0, 64, 65},
                       std::vector<uint8_t>(65, 1),
                       false,
                       -1,
                       EPROTO,
                       64},
        transport_case{"server_gone_before_the_reply", {}, {}, true, -1, ECONNRESET, 64},
        transport_case{"server_gone_mid_data",
                       {FWEMU_MAGIC, 0, 0, 64, 32},
                       std::vector<uint8_t>(8, 1),
                       true,
                       -1,
                       ECONNRESET,
                       64}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_P(FwctlTransportReply, NeverWritesPastTheBuffer) {
  const transport_case& c = GetParam();
  socket_pair sp;
  ASSERT_GE(sp.ours, 0);
  if (c.rep.magic != 0) {
    ASSERT_EQ(write_all(sp.peer, &c.rep, sizeof c.rep), 0);
    if (!c.data.empty()) {
      ASSERT_EQ(write_all(sp.peer, c.data.data(), c.data.size()), 0);
    }
  }
  if (c.close_peer) {
    shutdown(sp.peer, SHUT_WR);
  }
  std::vector<uint8_t> buf(64 + 16, 0);
  buf[0] = 1;
  uint32_t len = 64;
  errno = 0;
  int rc = fwctl_transport_get(sp.ours, buf.data(), &len);
  EXPECT_EQ(rc, c.rc);
  EXPECT_EQ(errno, c.err);
  EXPECT_EQ(len, c.len);
  for (size_t i = 64; i < buf.size(); i++) EXPECT_EQ(buf[i], 0) << "byte " << i << " past the buffer";
}

TEST(FwctlTransport, ServerClosedBeforeTheRequestIsEpipeWithoutASignal) {
  socket_pair sp;
  close(sp.peer);
  sp.peer = -1;
  uint8_t buf[96] = {1};
  uint32_t len = sizeof buf;
  errno = 0;
  EXPECT_EQ(fwctl_transport_get(sp.ours, buf, &len), -1);
  EXPECT_EQ(errno, EPIPE);
}

// A reply that carries less than the length it states (a short-data
// fault of the server's), read into a buffer that holds an earlier, whole
// reply of the same length: nothing of the earlier one is left in the
// stated length, so no entry of it can be taken for one of this reply.
TEST(FwctlTransport, ShortReplyOverAnEarlierOneLeavesNothingOfIt) {
  emu_server server;
  ASSERT_TRUE(server.running());
  ASSERT_EQ(server.admin("create t5").status, 0);
  for (const char* key : {"192.0.2.1", "192.0.2.2", "192.0.2.3"})
    ASSERT_EQ(server.admin(std::string("add t5 ") + key + " 1700000000").status, 0);
  int fd = fwemu_connect(server.socket_path().c_str());
  ASSERT_GE(fd, 0);
  ipfw_obj_header oh;
  memset(&oh, 0, sizeof oh);
  init_request_header(&oh, "t5", 0);
  oh.opheader.opcode = IP_FW_TABLE_XLIST;
  oh.opheader.version = 1;
  constexpr uint32_t reply_len = 296 + 3 * 120;
  std::vector<uint8_t> buf(reply_len + 44);
  auto list = [&] {
    memcpy(buf.data(), &oh, sizeof oh);
    uint32_t len = static_cast<uint32_t>(buf.size());
    EXPECT_EQ(fwctl_transport_get(fd, buf.data(), &len), 0);
    EXPECT_EQ(len, reply_len);
  };
  list();
  const std::vector<uint8_t> earlier(buf.begin() + 296, buf.begin() + reply_len);
  ASSERT_NE(std::count(earlier.begin(), earlier.end(), 0), static_cast<long>(earlier.size()));

  // Other entries in the table; the reply carries its info record and the
  // first entry only.
  for (const char* key : {"192.0.2.1", "192.0.2.2", "192.0.2.3"})
    ASSERT_EQ(server.admin(std::string("delete t5 ") + key).status, 0);
  for (const char* key : {"198.51.100.1", "198.51.100.2", "198.51.100.3"})
    ASSERT_EQ(server.admin(std::string("add t5 ") + key + " 1800000000").status, 0);
  ASSERT_EQ(server.admin("fault short-data 416").status, 0);
  list();
  ipfw_obj_tentry first;
  memcpy(&first, buf.data() + 296, sizeof first);
  const uint8_t want_key[4] = {198, 51, 100, 1};
  EXPECT_EQ(memcmp(first.k.addr4, want_key, 4), 0);
  EXPECT_EQ(first.v.tag, 1800000000u);
  for (uint32_t i = 416; i < reply_len; i++) ASSERT_EQ(buf[i], 0) << "byte " << i << " of the reply";
  close(fd);
}

// ---- the control socket over a real server ------------------------------------------

// Runs checks in a child process of their own (a death test in the
// threadsafe style), so that the control socket it opens, which is never
// closed, does not outlive the check in this process. The check returns ""
// or what went wrong.
[[noreturn]] void exit_with(const std::string& problem) {
  if (!problem.empty()) fprintf(stderr, "%s\n", problem.c_str());
  _exit(problem.empty() ? 0 : 1);
}

std::string one_socket_for_every_request() {
  emu_server server;
  if (!server.running()) return "no server";
  setenv(FWEMU_SOCKET_ENV, server.socket_path().c_str(), 1);
  if (server.admin("create t5").status != 0 || server.admin("add t5 192.0.2.1 1700000000").status != 0 ||
      server.admin("add t5 0.0.0.0/0").status != 0)
    return "setup";
  if (fwctl_socket_fd() != -1) return "socket open before the first request";
  long before = server.connections();

  ipfw_obj_header oh;
  memset(&oh, 0, sizeof oh);
  init_request_header(&oh, "t5", 0);
  oh.ntlv.type = IPFW_TABLE_ADDR;  // a delete names the table's own type
  uint8_t info[296] = {};
  memcpy(info, &oh, sizeof oh);
  uint64_t size = sizeof info;
  if (fwctl_get(IP_FW_TABLE_XINFO, info, &size) != 0 || size != 296) return "info request";
  int fd = fwctl_socket_fd();
  if (fd < 0) return "no socket after the first request";
  if ((fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) return "control socket not close-on-exec";

  std::vector<uint8_t> list(296 + 240 + 44);
  memcpy(list.data(), &oh, sizeof oh);
  size = list.size();
  if (fwctl_get(IP_FW_TABLE_XLIST, list.data(), &size) != 0 || size != 536) return "list request";
  ipfw_obj_tentry e;
  memcpy(&e, list.data() + 296 + 120, sizeof e);
  uint8_t want[4] = {192, 0, 2, 1};
  if (e.head.length != 120 || e.subtype != FW_AF_INET || memcmp(e.k.addr4, want, 4) != 0 ||
      e.v.tag != 1700000000)
    return "second listed entry";

  // A delete whose entry ends in zeros that the transport does not send:
  // the result byte the server writes there still comes back.
  uint8_t del[232] = {};
  memcpy(del, &oh, sizeof oh);
  ipfw_obj_ctlv c{};
  c.head.length = 136;
  c.count = 1;
  memcpy(del + 96, &c, sizeof c);
  ipfw_obj_tentry d{};
  d.head.length = 120;
  d.subtype = FW_AF_INET;
  d.idx = 1;
  memcpy(del + 112, &d, sizeof d);
  size = sizeof del;
  if (fwctl_get(IP_FW_TABLE_XDEL, del, &size) != 0 || size != 232) return "delete request";
  if (del[112 + 10] != IPFW_TR_DELETED) return "result byte " + std::to_string(del[122]);

  if (fwctl_socket_fd() != fd) return "a second socket";
  long after = server.connections();
  if (after - before != 2)
    return "connections: " + std::to_string(after - before) + " (want the control socket and stats)";
  server.stop();
  return "";
}

// ---- the wait for a reply once a stop has come ---------------------------------------

// A reply of 64 bytes that a peer thread sends in pieces, and a stop that
// the program's stopping question reports from stop_ms on (no signal: the
// wait has to look for itself). Each check runs in a child of its own, as
// the moment a stop was seen is kept for the life of the process.
std::atomic<bool> stop_has_come{false};
bool stopping_now() { return stop_has_come.load(); }

struct drip_case {
  const char* what;
  int stop_ms;
  std::vector<std::pair<int, size_t>> pieces;  // when (ms from the start), how many bytes
  bool whole;  // the read gets the whole reply
};

std::string read_with_stop(const drip_case& c) {
  socket_pair sp;
  if (sp.ours < 0) return "no socket pair";
  platform p = current_platform();
  p.stopping = stopping_now;
  platform_scope scope(p);
  const int64_t start = fwemu_monotonic_ms();
  std::thread peer([&] {
    uint8_t byte = 1;
    bool stopped = false;
    for (const auto& [at, n] : c.pieces) {
      while (fwemu_monotonic_ms() - start < at) {
        if (!stopped && fwemu_monotonic_ms() - start >= c.stop_ms) {
          stopped = true;
          stop_has_come = true;
        }
        usleep(5000);
      }
      std::vector<uint8_t> piece(n, byte++);
      if (write_all(sp.peer, piece.data(), n) != 0) return;
    }
  });
  std::vector<uint8_t> buf(64);
  int64_t deadline = start + 30000;
  errno = 0;
  const int rc = fwemu_read_all(sp.ours, buf.data(), buf.size(), &deadline);
  const int error = errno;
  const int64_t ended = fwemu_monotonic_ms() - start;
  shutdown(sp.ours, SHUT_RDWR);
  peer.join();
  if (c.whole) {
    if (rc != 0) return std::string("the reply was cut off: ") + strerror(error);
    if (buf[63] == 0) return "not all of the reply came";
    return "";
  }
  if (rc == 0) return "the dripping reply was waited for to its end";
  // Given up for the stop, not timed out, and told apart from any failure.
  if (rc != FWCTL_GIVEN_UP) return "ended with " + std::to_string(rc) + ", not as given up for the stop";
  if (error != ECANCELED) return std::string("failed with ") + strerror(error);
  // From the stop, a second of grace; a loaded machine may add a little.
  if (ended - c.stop_ms >= 2000) return "ended " + std::to_string(ended - c.stop_ms) + " ms after the stop";
  if (ended - c.stop_ms < FWEMU_GRACE_MS - 100)
    return "ended " + std::to_string(ended - c.stop_ms) + " ms after the stop, before the grace ran out";
  return "";
}

class FwemuReadAfterStop : public testing::TestWithParam<drip_case> {};

INSTANTIATE_TEST_SUITE_P(, FwemuReadAfterStop,
                         testing::Values(
                             // A byte every 100 ms: each would renew a grace that ran from the
                             // last bytes; the bound runs from the stop.
                             drip_case{"dripping_reply_fails_a_second_after_the_stop", 300,
                                       [] {
                                         std::vector<std::pair<int, size_t>> v;
                                         v.reserve(64);
                                         for (int i = 0; i < 64; i++) v.push_back({100 * (i + 1), 1});
                                         return v;
                                       }(),
                                       false},
                             // Half before the stop, the rest in pieces that end within the
                             // second after it.
                             drip_case{"reply_whole_within_the_bound_is_kept",
                                       100,
                                       {{0, 32}, {300, 8}, {500, 8}, {700, 8}, {800, 8}},
                                       true}),
                         [](const auto& info) { return std::string(info.param.what); });

TEST_P(FwemuReadAfterStop, BoundRunsFromTheStop) {
  EXPECT_EXIT(exit_with(read_with_stop(GetParam())), testing::ExitedWithCode(0), "");
}

// A read whose stopping question says no (the program carries the request
// through a stop) is bound by its deadline alone, even once an earlier wait
// has seen the stop: its reply, 1.5 s after it began, is kept.
bool never_stopping() { return false; }

std::string carried_after_a_stop() {
  stop_has_come = true;
  {
    socket_pair sp;
    platform p = current_platform();
    p.stopping = stopping_now;
    platform_scope scope(p);
    uint8_t byte;
    int64_t deadline = fwemu_monotonic_ms() + 30000;
    if (fwemu_read_all(sp.ours, &byte, 1, &deadline) != FWCTL_GIVEN_UP)
      return "the first read was not given up";
  }
  socket_pair sp;
  platform p = current_platform();
  p.stopping = never_stopping;
  platform_scope scope(p);
  std::thread peer([&] {
    usleep(1500 * 1000);
    const std::vector<uint8_t> reply(64, 7);
    write_all(sp.peer, reply.data(), reply.size());
  });
  std::vector<uint8_t> buf(64);
  int64_t deadline = fwemu_monotonic_ms() + 30000;
  const int rc = fwemu_read_all(sp.ours, buf.data(), buf.size(), &deadline);
  peer.join();
  if (rc != 0) return "the carried read ended with " + std::to_string(rc);
  if (buf[63] != 7) return "not all of the reply came";
  return "";
}

TEST(FwemuReadCarried, BoundOnlyByItsDeadline) {
  EXPECT_EXIT(exit_with(carried_after_a_stop()), testing::ExitedWithCode(0), "");
}

TEST(FwctlSocket, OpenedAtTheFirstRequestAndKept) {
  EXPECT_EXIT(exit_with(one_socket_for_every_request()), testing::ExitedWithCode(0), "");
}

TEST(FwctlSocket, MissingServerEndsTheProcessWith69) {
  std::string missing = testing::TempDir() + "/no-fwemu-here.sock";
  EXPECT_EXIT(
      {
        setenv(FWEMU_SOCKET_ENV, missing.c_str(), 1);
        uint8_t buf[296] = {};
        uint64_t size = sizeof buf;
        fwctl_get(IP_FW_TABLE_XINFO, buf, &size);
      },
      testing::ExitedWithCode(69), std::string("socket: ") + strerror(ENOENT));
}

}  // namespace
