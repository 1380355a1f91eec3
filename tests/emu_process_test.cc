// SPDX-License-Identifier: BSD-2-Clause
// The fwemu emulator as a separate process: the tool against a running
// server, bad clients, and the server's start and stop.
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "fwtable/fw_records.h"
#include "fwtable/fwemu_io.h"
#include "fwtable/fwemu_wire.h"
#include "fwtable/write_all.h"
#include "tests/support/emu_server.h"

namespace {

struct step {
  std::vector<std::string> args;
  int status;
  std::string out;  // exact standard output
  std::string err;  // part of standard error; "" means it must be empty
};

void run_session(emu_server& server, const std::vector<step>& steps) {
  for (const step& s : steps) {
    std::string cmd;
    for (const auto& a : s.args) cmd += " " + a;
    SCOPED_TRACE("fwemu" + cmd);
    emu_server::result r = server.cli(s.args);
    EXPECT_EQ(r.status, s.status) << r.err;
    EXPECT_EQ(r.out, s.out);
    if (s.err.empty()) {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_NE(r.err.find("fwemu: " + s.err), std::string::npos) << r.err;
    }
  }
}

TEST(EmuProcess, AddressTableThroughTheTool) {
  emu_server server;
  run_session(
      server,
      {
          {{"create", "t5"}, 0, "", ""},
          {{"create", "t5"}, 1, "", "table already exists: t5"},
          {{"add", "t5", "192.0.2.1", "1700000000"}, 0, "", ""},
          {{"add", "t5", "198.51.100.7/24", "1800000000"}, 0, "", ""},
          {{"add", "t5", "2001:db8::/64", "5"}, 0, "", ""},
          {{"add", "t5", "2001:db8::1"}, 0, "", ""},
          {{"add", "t5", "192.0.2.1", "9"}, 1, "", "t5: 192.0.2.1: record already exists"},
          {{"list", "t5"},
           0,
           "192.0.2.1 1700000000\n198.51.100.0/24 1800000000\n2001:db8::/64 5\n2001:db8::1 0\n",
           ""},
          {{"delete", "t5", "198.51.100.9/24"}, 0, "", ""},
          {{"delete", "t5", "198.51.100.0/24"}, 1, "", "t5: 198.51.100.0/24: record not found"},
          {{"delete", "t5", "2001:db8::1"}, 0, "", ""},
          {{"info", "t5"},
           0,
           "name: t5\ntype: addr\nalgorithm: addr:radix\nflow fields: none\nvalue mask: legacy\nset: 0\n"
           "kernel index: 1\ncount: 2\nsize: 536\nlimit: 0\nlocked: no\n",
           ""},
          {{"lock", "t5"}, 0, "", ""},
          {{"add", "t5", "192.0.2.9"}, 1, "", "t5: table is locked"},
          {{"flush", "t5"}, 1, "", "t5: table is locked"},
          {{"unlock", "t5"}, 0, "", ""},
          {{"flush", "t5"}, 0, "", ""},
          {{"list", "t5"}, 0, "", ""},
          {{"destroy", "t5"}, 0, "", ""},
          {{"list", "t5"}, 66, "", "no such table: t5"},
      });
}

TEST(EmuProcess, BadWordsGetTheirStatus) {
  emu_server server;
  run_session(
      server,
      {
          {{"create", "a", "limit", "1"}, 0, "", ""},
          {{"create", "b", "type", "flow:src-ip,colour"}, 65, "", "bad table type: flow:src-ip,colour"},
          {{"create", "c", "valtype", "skipto,speed"}, 65, "", "bad value type: skipto,speed"},
          {{"create", "d", "set", "32"}, 65, "", "bad set"},
          {{"create", "e", "type"}, 64, "", "usage:"},
          {{"create", std::string(64, 'n')}, 65, "", "bad table name"},
          {{"add", "a", "192.0.2.1/33"}, 65, "", "bad key for addr table: 192.0.2.1/33"},
          {{"add", "a", "192.0.2.1", "-5"}, 65, "", "bad value -5"},
          {{"add", "a", "192.0.2.1", "skipto=5"}, 65, "", "bad value skipto=5"},
          {{"add", "a"}, 64, "", "usage:"},
          {{"add", "nosuch", "192.0.2.1"}, 66, "", "no such table: nosuch"},
          {{"add", "a", "192.0.2.1"}, 0, "", ""},
          {{"add", "a", "192.0.2.2"}, 1, "", "a: 192.0.2.2: limit hit"},
          {{"frobnicate", "a"}, 64, "", "usage:"},
          {{"fault", "fail", "list", "ENOSUCH"}, 65, "", "bad errno: ENOSUCH"},
      });
  emu_server::result r = run_program({FWEMU_BIN});
  EXPECT_EQ(r.status, 64);
  EXPECT_NE(r.err.find("usage: fwemu"), std::string::npos);
  r = run_program({FWEMU_BIN, "-s"});
  EXPECT_EQ(r.status, 64);
  r = run_program({FWEMU_BIN, "-s", server.socket_path(), "serve", "now"});
  EXPECT_EQ(r.status, 64);
  r = run_program({FWEMU_BIN, "-s", server.socket_path(), "serve", "--abi"});
  EXPECT_EQ(r.status, 64);
  EXPECT_NE(r.err.find("usage: fwemu"), std::string::npos);
  r = run_program({FWEMU_BIN, "-s", server.socket_path(), "serve", "--abi", "13"});
  EXPECT_EQ(r.status, 64);
  EXPECT_EQ(r.err, "fwemu: bad abi (14 or 15): 13\n");
}

TEST(EmuProcess, VersionAndItsUsageLine) {
  emu_server::result r = run_program({FWEMU_BIN, "-V"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string("fwemu ") + HOSTREAPD_VERSION + "\n");
  EXPECT_EQ(r.err, "");
  r = run_program({FWEMU_BIN, "-V", "list", "t"});
  EXPECT_EQ(r.status, 64);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("\n       fwemu -V\n"), std::string::npos) << r.err;
}

TEST(EmuProcess, OtherTableTypesThroughTheTool) {
  emu_server server;
  run_session(server,
              {
                  {{"create", "f", "type", "flow:dst-port,src-ip,proto", "valtype", "skipto,tag"}, 0, "", ""},
                  {{"add", "f", "192.0.2.1,6,22", "skipto=100,tag=5"}, 0, "", ""},
                  {{"add", "f", "2001:db8::1,17,53", "tag=1"}, 0, "", ""},
                  {{"list", "f"}, 0, "192.0.2.1,6,22 100,5\n2001:db8::1,17,53 0,1\n", ""},
                  {{"create", "m", "type", "mac"}, 0, "", ""},
                  {{"add", "m", "00:11:22:33:44:55", "9"}, 0, "", ""},
                  {{"add", "m", "0a:0b:0c:0d:0e:0f/24", "1"}, 0, "", ""},
                  {{"list", "m"}, 0, "00:11:22:33:44:55/48 9\n0a:0b:0c:00:00:00/24 1\n", ""},
                  {{"create", "n", "type", "number"}, 0, "", ""},
                  {{"add", "n", "4294967295", "4294967295"}, 0, "", ""},
                  {{"list", "n"}, 0, "4294967295 4294967295\n", ""},
                  {{"create", "i", "type", "iface"}, 0, "", ""},
                  {{"add", "i", "em0", "3"}, 0, "", ""},
                  {{"add", "i", "a-name-too-long"}, 0, "", ""},
                  {{"add", "i", "a-name-too-long!"}, 65, "", "bad key for iface table"},
                  {{"list", "i"}, 0, "a-name-too-long 0\nem0 3\n", ""},
              });
}

TEST(EmuProcess, NoServerIsStatus69) {
  emu_server server;
  std::string missing = server.dir() + "/missing.sock";
  emu_server::result r = run_program({FWEMU_BIN, "-s", missing, "list", "t"});
  EXPECT_EQ(r.status, 69);
  EXPECT_NE(r.err.find("cannot reach the server at " + missing + ": " + strerror(ENOENT)), std::string::npos)
      << r.err;
}

TEST(EmuProcess, SocketFromTheEnvironmentAndFlagOverridesIt) {
  emu_server server;
  ASSERT_EQ(server.admin("create t").status, 0);
  std::string env_before = getenv(FWEMU_SOCKET_ENV) != nullptr ? getenv(FWEMU_SOCKET_ENV) : "";
  setenv(FWEMU_SOCKET_ENV, server.socket_path().c_str(), 1);
  emu_server::result by_env = run_program({FWEMU_BIN, "info", "t"});
  emu_server::result by_flag = run_program({FWEMU_BIN, "-s", server.dir() + "/elsewhere.sock", "info", "t"});
  if (env_before.empty())
    unsetenv(FWEMU_SOCKET_ENV);
  else
    setenv(FWEMU_SOCKET_ENV, env_before.c_str(), 1);
  EXPECT_EQ(by_env.status, 0) << by_env.err;
  EXPECT_EQ(by_flag.status, 69);
}

// ---- bad clients do not take the server down ------------------------------------

struct raw_client {
  int fd;
  explicit raw_client(const std::string& path) : fd(fwemu_connect(path.c_str())) {}
  ~raw_client() {
    if (fd >= 0) close(fd);
  }
  bool send(const void* p, size_t n) { return write_all(fd, p, n) == 0; }
  // The reply head, or false when the server closed the connection.
  bool reply(fwemu_reply_head* rep) { return fwemu_read_all(fd, rep, sizeof *rep) == 0; }
};

struct bad_frame_case {
  const char* what;
  fwemu_request_head head;
  std::string body;
  bool answered;  // a reply head comes back before the server closes
  int32_t result;
  int32_t error;
};

class EmuProcessBadFrame : public testing::TestWithParam<bad_frame_case> {};

INSTANTIATE_TEST_SUITE_P(
    , EmuProcessBadFrame,
    testing::Values(
        bad_frame_case{"wrong_magic", {0x12345678, FWEMU_KIND_GET, 296, 0}, "", true, -1, EPROTO},
        bad_frame_case{"unknown_kind", {FWEMU_MAGIC, 3, 0, 0}, "", true, -1, EPROTO},
        bad_frame_case{"more_sent_than_optlen", {FWEMU_MAGIC, FWEMU_KIND_GET, 4, 8}, "", true, -1, EPROTO},
        bad_frame_case{
            "oversized_command", {FWEMU_MAGIC, FWEMU_KIND_ADMIN, 0, 1u << 20}, "", true, -1, EPROTO},
        bad_frame_case{
            "command_word_without_nul", {FWEMU_MAGIC, FWEMU_KIND_ADMIN, 0, 5}, "stats", true, 64, 0},
        bad_frame_case{
            "get_shorter_than_an_op_header", {FWEMU_MAGIC, FWEMU_KIND_GET, 4, 4}, "abcd", true, -1, EINVAL},
        bad_frame_case{"absurd_optlen",
                       {FWEMU_MAGIC, FWEMU_KIND_GET, 0xFFFFFFF0u, 8},
                       std::string("\x5d\0\1\0xxxx", 8),
                       true,
                       -1,
                       0}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_P(EmuProcessBadFrame, ServerGoesOn) {
  const bad_frame_case& c = GetParam();
  emu_server server;
  {
    raw_client bad(server.socket_path());
    ASSERT_GE(bad.fd, 0);
    ASSERT_TRUE(bad.send(&c.head, sizeof c.head));
    if (!c.body.empty()) {
      ASSERT_TRUE(bad.send(c.body.data(), c.body.size()));
    }
    fwemu_reply_head rep{};
    ASSERT_EQ(bad.reply(&rep), c.answered);
    EXPECT_EQ(rep.magic, FWEMU_MAGIC);
    EXPECT_EQ(rep.result, c.result);
    // An absurd option length is answered ENOMEM when it cannot be had,
    // else as the store answers the request inside it.
    if (c.error != 0) {
      EXPECT_EQ(rep.error, c.error);
    }
  }
  emu_server::result r = server.admin("create t");
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST(EmuProcess, ClientsThatStopHalfwayAreDroppedAndHoldUpNobody) {
  emu_server server;
  ASSERT_EQ(server.admin("create t").status, 0);

  fwemu_request_head head{FWEMU_MAGIC, FWEMU_KIND_ADMIN, 0, 100};
  raw_client half_head(server.socket_path());
  ASSERT_TRUE(half_head.send(&head, 7));
  raw_client half_body(server.socket_path());
  ASSERT_TRUE(half_body.send(&head, sizeof head));
  ASSERT_TRUE(half_body.send("list", 4));

  // Both wait in the middle of a request; others are still answered.
  EXPECT_EQ(server.admin("add t 192.0.2.1").status, 0);

  // Both vanish mid-request; the server drops them and goes on.
  close(half_head.fd);
  half_head.fd = -1;
  close(half_body.fd);
  half_body.fd = -1;
  emu_server::result r = server.admin("list t");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "192.0.2.1 0\n");

  // A client that sends a request and leaves before the reply.
  {
    raw_client rude(server.socket_path());
    std::string words("list\0t\0", 7);
    fwemu_request_head h{FWEMU_MAGIC, FWEMU_KIND_ADMIN, 0, static_cast<uint32_t>(words.size())};
    ASSERT_TRUE(rude.send(&h, sizeof h));
    ASSERT_TRUE(rude.send(words.data(), words.size()));
  }
  EXPECT_EQ(server.admin("list t").out, "192.0.2.1 0\n");
}

TEST(EmuProcess, RequestsSentTogetherAreAnsweredInOrder) {
  emu_server server;
  raw_client c(server.socket_path());
  std::string stream;
  for (const std::string& words :
       {std::string("create\0t\0", 9), std::string("add\0t\0", 6) + "192.0.2.1" + std::string(1, '\0'),
        std::string("list\0t\0", 7)}) {
    fwemu_request_head h{FWEMU_MAGIC, FWEMU_KIND_ADMIN, 0, static_cast<uint32_t>(words.size())};
    stream.append(reinterpret_cast<const char*>(&h), sizeof h);
    stream += words;
  }
  ASSERT_TRUE(c.send(stream.data(), stream.size()));
  std::vector<std::string> texts;
  for (int i = 0; i < 3; i++) {
    fwemu_reply_head rep;
    ASSERT_TRUE(c.reply(&rep)) << i;
    EXPECT_EQ(rep.result, 0) << i;
    std::string text(rep.data, '\0');
    if (rep.data > 0) {
      ASSERT_EQ(fwemu_read_all(c.fd, text.data(), text.size()), 0);
    }
    texts.push_back(text);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"", "", "192.0.2.1 0\n"}));
}

// ---- what a get request's reply carries --------------------------------------------

// A get request of table `name` sent as its object header alone, for a
// buffer of optlen bytes; the reply's head and data.
struct get_reply {
  fwemu_reply_head head{};
  std::vector<uint8_t> data;
};

get_reply get_over(raw_client& c, uint16_t opcode, const char* name, uint32_t optlen) {
  ipfw_obj_header oh;
  memset(&oh, 0, sizeof oh);
  oh.opheader.opcode = opcode;
  oh.opheader.version = fw_request_version(opcode);
  oh.idx = 1;
  oh.ntlv.head.type = IPFW_TLV_TBL_NAME;
  oh.ntlv.head.length = sizeof oh.ntlv;
  oh.ntlv.idx = 1;
  snprintf(oh.ntlv.name, sizeof oh.ntlv.name, "%s", name);
  fwemu_request_head h{FWEMU_MAGIC, FWEMU_KIND_GET, optlen, sizeof oh};
  get_reply r;
  if (!c.send(&h, sizeof h) || !c.send(&oh, sizeof oh) || !c.reply(&r.head)) return r;
  r.data.resize(r.head.data);
  if (r.head.data > 0 && fwemu_read_all(c.fd, r.data.data(), r.data.size()) != 0) r.data.clear();
  return r;
}

uint32_t info_count(const get_reply& r) {
  uint32_t n = UINT32_MAX;
  if (r.data.size() >= 296) memcpy(&n, r.data.data() + 96 + offsetof(ipfw_xtable_info, count), sizeof n);
  return n;
}

// The server hands on the store's answer as getsockopt would: the length
// written back on success only, the client's own with a failure; and the
// bytes the store wrote come back with a failure too (an undersized list's
// info record), including once the table has grown since the info request.
TEST(EmuProcess, GetRepliesCarryALengthOnlyOnSuccess) {
  emu_server server;
  ASSERT_EQ(server.admin("create t").status, 0);
  ASSERT_EQ(server.admin("add t 192.0.2.1").status, 0);
  ASSERT_EQ(server.admin("add t 192.0.2.2").status, 0);
  raw_client c(server.socket_path());

  get_reply r = get_over(c, IP_FW_TABLE_XLIST, "t", 400);
  EXPECT_EQ(r.head.result, -1);
  EXPECT_EQ(r.head.error, ENOMEM);
  EXPECT_EQ(r.head.optlen, 400u);
  EXPECT_EQ(r.head.data, 296u);
  EXPECT_EQ(info_count(r), 2u);

  r = get_over(c, IP_FW_TABLE_XLIST, "t", 600);
  EXPECT_EQ(r.head.result, 0);
  EXPECT_EQ(r.head.optlen, 536u);
  EXPECT_EQ(r.head.data, 536u);

  r = get_over(c, IP_FW_TABLE_XINFO, "gone", 296);
  EXPECT_EQ(r.head.result, -1);
  EXPECT_EQ(r.head.error, ESRCH);
  EXPECT_EQ(r.head.optlen, 296u);
  EXPECT_EQ(r.head.data, 96u) << "the request's own bytes, nothing written";

  ASSERT_EQ(server.admin("fault grow 5").status, 0);
  r = get_over(c, IP_FW_TABLE_XINFO, "t", 296);
  EXPECT_EQ(r.head.result, 0);
  EXPECT_EQ(info_count(r), 2u);
  EXPECT_EQ(server.admin("fault show").out, "grow 5 (armed for table t): 1 more\n");
  r = get_over(c, IP_FW_TABLE_XLIST, "t", 536 + 44);
  EXPECT_EQ(r.head.error, ENOMEM);
  EXPECT_EQ(r.head.optlen, 580u);
  EXPECT_EQ(info_count(r), 7u);
  r = get_over(c, IP_FW_TABLE_XLIST, "t", 296 + 7 * 120 + 44);
  EXPECT_EQ(r.head.result, 0);
  EXPECT_EQ(r.head.optlen, 296u + 7 * 120);
  EXPECT_EQ(info_count(r), 7u);
}

// A held reply goes out whole once its time has come; meanwhile the server
// answers others, and its stats already count the request.
TEST(EmuProcess, HeldReplyComesWholeAtItsTimeWhileOthersAreAnswered) {
  constexpr int HOLD_MS = 1000;
  // What the rounding of both clocks to milliseconds may take off the hold.
  constexpr int ROUNDING_MS = 10;
  emu_server server;
  ASSERT_EQ(server.admin("create t").status, 0);
  ASSERT_EQ(server.admin("fault hold " + std::to_string(HOLD_MS)).status, 0);
  // An info request of its header alone: the answer is a refusal, held all
  // the same.
  raw_client held(server.socket_path());
  const std::string body("\x5d\0\1\0\0\0\0\0", 8);
  fwemu_request_head head{FWEMU_MAGIC, FWEMU_KIND_GET, 8, 8};
  const int64_t sent = monotonic_ms();
  ASSERT_TRUE(held.send(&head, sizeof head));
  ASSERT_TRUE(held.send(body.data(), body.size()));

  ASSERT_TRUE(poll_until(
      [&] { return server.admin("stats").out.find("requests 93: 1\n") != std::string::npos; }, 10000))
      << "stats were not answered while the reply was held";
  pollfd pfd{held.fd, POLLIN, 0};
  const bool readable = poll(&pfd, 1, 0) == 1;
  // The request came after `sent`, so a reply there before sent + HOLD_MS
  // came early (on a machine slow enough to pass that time, there is
  // nothing to see).
  EXPECT_FALSE(readable && monotonic_ms() < sent + HOLD_MS - ROUNDING_MS) << "the reply was not held";

  pfd = {held.fd, POLLIN, 0};
  ASSERT_EQ(poll(&pfd, 1, 10000), 1) << "the held reply never came";
  EXPECT_GE(monotonic_ms() - sent, HOLD_MS - ROUNDING_MS) << "the reply came before its time";
  fwemu_reply_head rep{};
  ASSERT_TRUE(held.reply(&rep));
  EXPECT_EQ(rep.magic, FWEMU_MAGIC);
  std::string data(rep.data, '\0');
  if (rep.data > 0) {
    EXPECT_EQ(fwemu_read_all(held.fd, data.data(), data.size()), 0) << "the held reply came cut short";
  }
  EXPECT_EQ(server.admin("fault show").out, "");
}

// ---- start and stop -----------------------------------------------------------------

TEST(EmuProcess, StopSignalsEndTheServerCleanly) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    emu_server server;
    ASSERT_TRUE(server.running());
    raw_client idle(server.socket_path());  // a connected client does not keep it alive
    pid_t pid = server.pid();
    if (sig == SIGTERM) {
      server.stop();  // expects status 0 and the socket removed
    } else {
      kill(pid, SIGINT);
      int ws;
      ASSERT_EQ(waitpid(pid, &ws, 0), pid);
      EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
      struct stat st;
      EXPECT_NE(lstat(server.socket_path().c_str(), &st), 0);
      server.kill();  // already reaped: only forget the pid
    }
  }
}

TEST(EmuProcess, SecondServerOnALiveSocketIsRefused) {
  emu_server server;
  ASSERT_EQ(server.admin("create t").status, 0);
  emu_server::result r = run_program({FWEMU_BIN, "-s", server.socket_path(), "serve"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("another fwemu is serving there"), std::string::npos) << r.err;
  // The first server still holds its tables.
  EXPECT_EQ(server.admin("info t").status, 0);
}

TEST(EmuProcess, StaleSocketIsReplacedAndOtherFilesAreLeftAlone) {
  emu_server first;
  std::string dir = first.dir();
  std::string path = first.socket_path();
  ASSERT_EQ(first.admin("create t").status, 0);
  first.kill();
  struct stat st;
  ASSERT_EQ(lstat(path.c_str(), &st), 0) << "a killed server leaves its socket";
  {
    emu_server second(dir);
    ASSERT_TRUE(second.running());
    EXPECT_EQ(second.admin("info t").status, 66) << "a fresh server has no tables";
  }

  std::string file = dir + "/plain";
  std::ofstream(file) << "keep me\n";
  emu_server::result r = run_program({FWEMU_BIN, "-s", file, "serve"});
  EXPECT_EQ(r.status, 73);
  EXPECT_NE(r.err.find("exists and is not a socket"), std::string::npos) << r.err;
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "keep me");
}

}  // namespace
