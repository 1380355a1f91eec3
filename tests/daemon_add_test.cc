// SPDX-License-Identifier: BSD-2-Clause
// The writer's mode as a user meets it, against a real emulator: keys of
// the command line and of standard input added and renewed in place, the
// log lines of each, the refusals with their statuses, bad lines by
// number, keys of a pipe sent as they come, and a stop while it reads.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/daemon_harness.h"

namespace {

// Limits that only guard against a hang; nothing here measures speed.
constexpr int LIMIT_MS = 20000;

// The count of requests of an opcode, 0 before the first.
long count(daemon_harness& h, int opcode) { return std::max(0L, h.requests(opcode)); }

long all_requests(daemon_harness& h) {
  long n = 0;
  for (int op : {86, 87, 89, 93, 106}) n += count(h, op);
  return n;
}

// hostreapd with args, its standard input the file input (empty: none).
child_process start_writer(daemon_harness& h, const std::vector<std::string>& args,
                           const std::string& input) {
  std::vector<std::string> argv = {
      "/bin/sh", "-c", input.empty() ? "exec \"$0\" \"$@\" </dev/null" : "exec \"$0\" \"$@\" <\"$KEYS\"",
      HOSTREAPD_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  return child_process::start(h.sink.wrap(argv), h.dir.path,
                              {"FWEMU_SOCKET=" + h.emu.socket_path(), "KEYS=" + input, "TZ=UTC"});
}

struct ran {
  exit_result status;
  std::string out;
  std::string err;
};

ran run_writer(daemon_harness& h, const std::vector<std::string>& args, const std::string& input = "") {
  child_process c = start_writer(h, args, input);
  exit_result r = h.wait_exit(c, LIMIT_MS);
  EXPECT_TRUE(r.finished);
  return {r, c.out(), c.err()};
}

// A present key renewed in place keeps its other field; an absent one is
// added; each is logged at auth.info, and nothing else is (no start line).
// The values hold a field besides the time, so the two keys are looked up
// one by one: the start's info, the batch's info, two finds, one add.
TEST(DaemonAdd, AddsAndRenewsWithALogLineEach) {
  daemon_harness h;
  h.admin("create bl valtype tag,mark");
  h.admin("add bl 192.0.2.7 tag=5,mark=77");
  ran r = run_writer(h, {"-t", "bl", "-a", "@1900000000", "192.0.2.7", "2001:db8::/64"});
  EXPECT_EQ(exit_status(r.status), 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(h.admin("list bl"), "192.0.2.7 1900000000,77\n2001:db8::/64 1900000000,0\n");
  EXPECT_EQ(count(h, 93), 2);
  EXPECT_EQ(count(h, 106), 2);
  EXPECT_EQ(count(h, 86), 1);
  EXPECT_EQ(count(h, 87), 0) << "nothing is deleted to be added again";
  const std::vector<syslog_message>& msgs = h.sink.messages();
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0].text, "Renewing host 192.0.2.7 in table bl until 2030-03-17 17:46:40 UTC");
  EXPECT_EQ(msgs[1].text, "Adding host 2001:db8::/64 to table bl until 2030-03-17 17:46:40 UTC");
  for (const syslog_message& m : msgs) {
    EXPECT_EQ(m.priority, 38);  // LOG_AUTH | LOG_INFO
    EXPECT_EQ(m.ident, "hostreapd");
  }

  // What the sweep then makes of them: -l reads the deadline as the time.
  run_output l = run_program({HOSTREAPD_BIN, "-t", "bl", "-l"}, h.dir.path,
                             {"FWEMU_SOCKET=" + h.emu.socket_path(), "TZ=UTC"});
  const std::vector<std::string> lines = text_lines(l.out);
  ASSERT_EQ(lines.size(), 3u) << l.out;
  EXPECT_TRUE(lines[0].starts_with("192.0.2.7 1900000000 ")) << lines[0];
  EXPECT_TRUE(lines[1].starts_with("2001:db8::/64 1900000000 ")) << lines[1];
}

// A relative lifetime counts from the run; -n says what would be done and
// changes and logs nothing.
TEST(DaemonAdd, RelativeLifetimesAndADryRun) {
  daemon_harness h;
  h.admin("create 5 type addr");
  h.admin("add 5 192.0.2.1 7");
  const long before = static_cast<long>(time(nullptr));
  ran n = run_writer(h, {"-t", "5", "-n", "-a", "1h30m", "192.0.2.1", "192.0.2.2"});
  EXPECT_EQ(exit_status(n.status), 0) << n.err;
  EXPECT_EQ(h.admin("list 5"), "192.0.2.1 7\n");
  EXPECT_TRUE(h.sink.messages().empty());
  std::vector<std::string> out = text_lines(n.out);
  ASSERT_EQ(out.size(), 2u) << n.out;
  EXPECT_TRUE(out[0].starts_with("would renew host 192.0.2.1 in table 5 until ")) << out[0];
  EXPECT_TRUE(out[1].starts_with("would add host 192.0.2.2 to table 5 until ")) << out[1];
  EXPECT_EQ(count(h, 86), 0);

  ran r = run_writer(h, {"-t", "5", "-a", "1h30m", "192.0.2.1", "192.0.2.2"});
  const long after = static_cast<long>(time(nullptr));
  EXPECT_EQ(exit_status(r.status), 0) << r.err;
  for (const std::string& line : text_lines(h.admin("list 5"))) {
    SCOPED_TRACE(line);
    const long t = atol(line.c_str() + line.find(' ') + 1);
    EXPECT_GE(t, before + 5400);
    EXPECT_LE(t, after + 5400);
  }
}

// Every refusal: its status and message; a key or lifetime refused on the
// command line sends nothing, and the table is left as it was.
TEST(DaemonAdd, RefusalsAndTheirStatuses) {
  daemon_harness h;
  h.admin("create bl type addr");
  h.admin("add bl 192.0.2.1 7");
  h.admin("create num type number");
  h.admin("create pt type addr valtype pipe,tag");
  h.admin("create lk type addr");
  h.admin("lock lk");
  const std::string grammar =
      ": give seconds (3600), a sum of w, d, h, m and s (1h30m), or @ and a Unix time\n";
  struct refusal {
    std::vector<std::string> args;
    int status;
    std::string err;
    bool asks;  // the firewall is asked anything
  };
  const std::vector<refusal> cases = {
      {{"-t", "bl", "-a", "1y", "192.0.2.2"}, 64, "hostreapd: bad lifetime 1y" + grammar, false},
      {{"-t", "bl", "-a", "4294967295", "192.0.2.2"},
       64,
       "hostreapd: lifetime 4294967295 ends past 4294967295, the largest time a table value holds\n",
       false},
      {{"-t", "bl", "-a", "1h"},
       64,
       "hostreapd: -a needs keys, or - to read them from standard input\n",
       false},
      {{"-t", "bl", "-a", "1h", "-", "192.0.2.2"},
       64,
       "hostreapd: - reads the keys from standard input: give no other key\n",
       false},
      {{"-t", "bl", "-a", "1h", "-m", "x", "192.0.2.2"}, 64, "hostreapd: -a cannot be used with -m\n", false},
      {{"-t", "bl", "-l", "-a", "1h", "192.0.2.2"}, 64, "hostreapd: -a cannot be used with -l\n", false},
      {{"-t", "bl", "-a", "1h", "192.0.2.2", "host.example", "10.1", "192.0.2.0/33", "::192.0.2.9"},
       65,
       "hostreapd: host.example: not an IPv4 or IPv6 address\n"
       "hostreapd: 10.1: not an IPv4 or IPv6 address\n"
       "hostreapd: 192.0.2.0/33: prefix length 33 is more than 32\n"
       "hostreapd: ::192.0.2.9: an IPv4-compatible IPv6 address: give the IPv4 address\n",
       false},
      {{"-t", "num", "-a", "1h", "192.0.2.2"}, 65, "hostreapd: table num is not an address table\n", true},
      {{"-t", "pt", "-a", "1h", "192.0.2.2"},
       65,
       "hostreapd: table pt: its values begin with pipe, which cannot hold a time; its entries are never "
       "removed\n",
       true},
      {{"-t", "gone", "-a", "1h", "192.0.2.2"},
       71,
       "hostreapd: failed to request table info: No such process\n",
       true},
      {{"-t", "lk", "-a", "1h", "192.0.2.2"},
       71,
       "hostreapd: cannot add to table lk: table is locked\n",
       true},
  };
  for (const refusal& c : cases) {
    std::string what;
    for (const std::string& a : c.args) what += " " + a;
    SCOPED_TRACE("hostreapd" + what);
    const long asked = all_requests(h);
    ran r = run_writer(h, c.args);
    EXPECT_EQ(exit_status(r.status), c.status);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(all_requests(h) > asked, c.asks);
    EXPECT_EQ(count(h, 86), c.args[1] == "lk" ? 1 : 0);
  }
  EXPECT_EQ(h.admin("list bl"), "192.0.2.1 7\n");
  EXPECT_TRUE(h.sink.messages().empty());
}

// Keys from standard input: 2,000 of them, every other one present, with
// bad lines among them reported by number and passed over; 256 a request,
// the table's values looked up in a listing per batch.
TEST(DaemonAdd, BulkInputInBatchesWithBadLinesByNumber) {
  daemon_harness h;
  h.admin("create bl valtype tag,mark");
  std::string input = "# keys\n\n";
  const int keys = 2000;
  for (int i = 0; i < keys; i++) {
    const std::string key = "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
    if (i % 2 == 0) h.admin("add bl " + key + " tag=1,mark=" + std::to_string(i));
    input += key + (i == 7 ? " @1900000100" : "") + "\n";
    if (i == 100) input += "10.1.1.1 1y\n";
    if (i == 200) input += "no.such.key\n";
    if (i == 300) input += "10.1.1.2 1h extra\n";
  }
  input += std::string(300, 'x') + "\n";
  const std::string path = h.dir.file("keys");
  FILE* f = fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs(input.c_str(), f);
  fclose(f);

  ran r = run_writer(h, {"-t", "bl", "-a", "@1900000000", "-"}, path);
  EXPECT_EQ(exit_status(r.status), 65);
  EXPECT_EQ(r.err,
            "hostreapd: line 104: bad lifetime 1y: give seconds (3600), a sum of w, d, h, m and s (1h30m), "
            "or @ and "
            "a Unix time\n"
            "hostreapd: line 205: no.such.key: not an IPv4 or IPv6 address\n"
            "hostreapd: line 306: more than a key and a lifetime\n"
            "hostreapd: line 2006: longer than 255 bytes\n");
  const std::vector<std::string> listed = text_lines(h.admin("list bl"));
  ASSERT_EQ(listed.size(), static_cast<size_t>(keys));
  for (int i = 0; i < keys; i++) {
    const std::string key = "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
    const std::string want =
        key + " " + (i == 7 ? "1900000100" : "1900000000") + "," + (i % 2 == 0 ? std::to_string(i) : "0");
    ASSERT_NE(std::find(listed.begin(), listed.end(), want), listed.end()) << want;
  }
  // The start's info, and for each of the 8 batches an info, a list and an
  // add: 25 requests for 2,000 keys.
  EXPECT_EQ(count(h, 86), 8);
  EXPECT_EQ(count(h, 89), 8);
  EXPECT_EQ(count(h, 93), 9);
  EXPECT_EQ(count(h, 106), 0);
  EXPECT_LE(all_requests(h), keys / 50);
  h.sink.messages();
  EXPECT_TRUE(poll_until([&] { return h.sink.messages().size() == static_cast<size_t>(keys); }, LIMIT_MS));
  long adding = 0, renewing = 0;
  for (const std::string& t : h.sink.texts()) {
    if (t.starts_with("Adding host ")) adding++;
    if (t.starts_with("Renewing host ")) renewing++;
  }
  EXPECT_EQ(adding, keys / 2);
  EXPECT_EQ(renewing, keys / 2);
}

// Keys that come down a pipe a few at a time are each sent when the input
// pauses, not held for a full batch; a stop that comes while a batch waits
// for the kernel lets it be answered and logged, then ends the writer by
// that signal.
TEST(DaemonAdd, KeysOfAPipeGoAsTheyComeAndAStopLetsTheBatchInHandEnd) {
  daemon_harness h;
  h.admin("create bl type addr");
  const std::string fifo = h.dir.file("keys.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  child_process c = start_writer(h, {"-t", "bl", "-a", "1h", "-"}, fifo);
  const int fd = open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "192.0.2.1\n", 10), 10);
  EXPECT_TRUE(poll_until([&] { return count(h, 86) == 1; }, LIMIT_MS));
  ASSERT_EQ(write(fd, "192.0.2.2\n192.0.2.3\n", 20), 20);
  EXPECT_TRUE(
      poll_until([&] { return count(h, 86) >= 2 && text_lines(h.admin("list bl")).size() == 3; }, LIMIT_MS));
  // A stop while a batch waits for the kernel's answer: the batch is
  // answered and logged first. (The writer waits for input again first:
  // the hold is for the next batch's first request.)
  ASSERT_TRUE(h.wait_in_syscall(c.pid, SYS_pselect6, LIMIT_MS));
  h.admin("fault hold 1000");
  ASSERT_EQ(write(fd, "192.0.2.4\n", 10), 10);
  EXPECT_TRUE(h.wait_in_request(c.pid, LIMIT_MS));
  c.send(SIGTERM);
  exit_result r = h.wait_exit(c, LIMIT_MS);
  close(fd);
  ASSERT_TRUE(r.finished);
  EXPECT_FALSE(r.exited);
  EXPECT_EQ(r.signal, SIGTERM);
  EXPECT_EQ(text_lines(h.admin("list bl")).size(), 4u);
  std::vector<std::string> texts = h.sink.texts();
  ASSERT_EQ(texts.size(), 4u);
  for (size_t i = 0; i < 4; i++)
    EXPECT_TRUE(texts[i].starts_with("Adding host 192.0.2." + std::to_string(i + 1) + " to table bl until "))
        << texts[i];
}

// Waiting for more input (in pselect), a stop ends the writer at once, by
// that signal.
TEST(DaemonAdd, AStopEndsTheWaitForInput) {
  daemon_harness h;
  h.admin("create bl type addr");
  const std::string fifo = h.dir.file("keys.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  child_process c = start_writer(h, {"-t", "bl", "-a", "1h", "-"}, fifo);
  const int fd = open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "192.0.2.1\n", 10), 10);
  EXPECT_TRUE(poll_until([&] { return h.sink.texts().size() == 1; }, LIMIT_MS));
  EXPECT_TRUE(h.wait_in_syscall(c.pid, SYS_pselect6, LIMIT_MS));
  c.send(SIGTERM);
  exit_result r = h.wait_exit(c, LIMIT_MS);
  close(fd);
  ASSERT_TRUE(r.finished);
  EXPECT_FALSE(r.exited);
  EXPECT_EQ(r.signal, SIGTERM);
  EXPECT_EQ(h.admin("list bl").substr(0, 10), "192.0.2.1 ");
}

}  // namespace
