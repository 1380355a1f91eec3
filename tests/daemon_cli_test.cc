// SPDX-License-Identifier: BSD-2-Clause
// The daemon's command line as a user meets it: the usage text, every exit
// status of start-up, and nothing in syslog for a start the command line
// refuses ("starting...." comes once the daemon has started).
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "tests/support/daemon_harness.h"
#include "tests/support/process.h"

namespace {

const std::string usage_text =
    "\nUsage: hostreapd -t table [-s seconds]\n"
    "       -t          set the IPFW table number or name\n"
    "       -s          set the sleep time between cycles, default: 5sec\n"
    "       -p          PID file path, default: none\n"
    "       -f          run the daemon in the foreground (do not daemonize)\n"
    "       -h          print this message.\n"
    "       -l          list the entries with their expiry times and exit\n"
    "       -n          dry run: show what would be removed, remove nothing (with -f)\n"
    "       -w          wait for the table to come back when it goes away\n"
    "       -1          sweep once and exit\n"
    "       -m          metrics file path, default: none\n"
    "       -V          print the version and exit\n"
    "       -a          add or renew the keys given (- reads them from standard input) for a lifetime:\n"
    "                   3600, 1h30m, 7d or @UNIXTIME\n\n";

struct cli_case {
  std::vector<std::string> args;
  int status;
  std::string err_before_usage;  // standard error before the usage text; "-" when no usage text follows
  std::string err_exact;  // for cases without usage text: the whole standard error
};

// A case with its exact standard output and error.
struct cli_case_out {
  std::vector<std::string> args;
  int status;
  std::string out;
  std::string err;
};

// Runs hostreapd with args in dir, its log caught by sink, with no
// emulator on the socket it would reach.
run_output run_hostreapd(const std::vector<std::string>& args, const temp_dir& dir, const syslog_sink& sink) {
  std::vector<std::string> argv = {HOSTREAPD_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(sink.wrap(argv), dir.path, {"FWEMU_SOCKET=" + dir.file("none.sock")});
}

TEST(DaemonCommandLine, UsageAndExitStatuses) {
  const cli_case cases[] = {
      {{}, 1, "", ""},
      {{"-t5"}, 1, "", ""},  // one argument only, though getopt would take it
      {{"-h", "x"}, 1, "", ""},
      {{"-t", "5", "-h"}, 1, "", ""},
      // getopt's own diagnostics name the program as it was invoked.
      {{"-f", "-s", "3"}, 1, "hostreapd: table number required\n", ""},
      {{"x", "-t", "5"}, 1, "hostreapd: table number required\n", ""},  // reading stops at the operand
      {{"-t", "5", "-x"}, 1, std::string(HOSTREAPD_BIN) + ": invalid option -- 'x'\n", ""},
      {{"-f", "-t"}, 1, std::string(HOSTREAPD_BIN) + ": option requires an argument -- 't'\n", ""},
      {{"-t", "65535"}, 64, "-", "hostreapd: table number can be from 0 to 65534\n"},
      {{"-t", "a b"}, 64, "-", "hostreapd: table name a b is invalid\n"},
      {{"-t", "5", "-t", "70000"}, 64, "-", "hostreapd: table number can be from 0 to 65534\n"},
      {{"-t", "70000", "-t", "5"}, 64, "-", "hostreapd: table number can be from 0 to 65534\n"},
  };
  for (const auto& c : cases) {
    std::string what;
    for (const auto& a : c.args) what += " " + a;
    SCOPED_TRACE("hostreapd" + what);
    temp_dir dir;
    syslog_sink sink(dir.path);
    run_output r = run_hostreapd(c.args, dir, sink);
    ASSERT_TRUE(r.status.finished);
    EXPECT_TRUE(r.status.exited);
    EXPECT_EQ(r.status.code, c.status);
    if (c.err_before_usage == "-") {
      EXPECT_EQ(r.err, c.err_exact);
    } else {
      EXPECT_EQ(r.err, c.err_before_usage + usage_text);
    }
    EXPECT_EQ(r.out, "");
    std::vector<syslog_message> msgs = sink.messages();
    EXPECT_TRUE(msgs.empty()) << msgs[0].raw;
  }
}

// -V answers whatever else the command line holds, before anything is
// checked or logged, unless it is another option's argument or comes
// after the options.
TEST(DaemonCommandLine, VersionComesFirstAndLogsNothing) {
  const std::string version = std::string("hostreapd ") + HOSTREAPD_VERSION + "\n";
  EXPECT_TRUE(std::regex_match(version, std::regex("hostreapd [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << version;
  const cli_case_out cases[] = {
      {{"-V"}, 0, version, ""},
      {{"-t", "5", "-V"}, 0, version, ""},
      {{"-V", "-t", "999", "-x"}, 0, version, ""},  // nothing else is read
      {{"-f", "-s", "3", "-hV"}, 0, version, ""},  // no -t, and -h beside it
      {{"-t", "5", "-s", "-V"}, 64, "", "hostreapd: sleep time can be from 1 to 86400 seconds\n"},
      // After the options: a start, refused here for want of a firewall.
      {{"-t", "5", "--", "-V"}, 69, "", "hostreapd: socket: No such file or directory\n"},
  };
  for (const auto& c : cases) {
    std::string what;
    for (const auto& a : c.args) what += " " + a;
    SCOPED_TRACE("hostreapd" + what);
    temp_dir dir;
    syslog_sink sink(dir.path);
    run_output r = run_hostreapd(c.args, dir, sink);
    ASSERT_TRUE(r.status.finished);
    EXPECT_TRUE(r.status.exited);
    EXPECT_EQ(r.status.code, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    if (c.status == 0) {
      EXPECT_TRUE(sink.messages().empty()) << sink.messages()[0].raw;
    }
  }

  // A version that cannot be written is a failure, not a success.
  temp_dir dir;
  run_output full =
      run_program({"/bin/sh", "-c", std::string("exec ") + HOSTREAPD_BIN + " -V >/dev/full"}, dir.path);
  EXPECT_EQ(full.status.code, 74);
  EXPECT_EQ(full.err, "hostreapd: cannot write the version: No space left on device\n");
}

// A table of digits alone is a number and must be in its range; any other
// table must be a name the kernel takes; the pause must be a whole decimal
// number in its range. Anything else ends the start where the options are
// read, before any request: no table nobody named is swept, and no pause
// spins or stalls.
TEST(DaemonCommandLine, TableAndPauseTakeOnlyNamesAndWholeNumbersInRange) {
  const std::string table_message = "hostreapd: table number can be from 0 to 65534\n";
  const std::string sleep_message = "hostreapd: sleep time can be from 1 to 86400 seconds\n";
  struct bad_case {
    std::vector<std::string> args;
    std::string message;
  };
  std::vector<bad_case> cases;
  for (const char* bad : {"65535", "99999", "4294967296", "4294967301", "99999999999999999999"})
    cases.push_back({{"-t", bad, "-f"}, table_message});
  const std::string too_long(64, 'a');
  for (const std::string& bad :
       {std::string(""), std::string("all"), std::string("a b"), too_long, std::string(64, '1') + "x",
        std::string("x/y"), std::string("x\xc3\xa9"), std::string("\xc3\xa9t\xc3\xa9"), std::string("ALL!"),
        std::string("+5"), std::string(" 5"), std::string("5 ")})
    cases.push_back({{"-t", bad, "-f"}, "hostreapd: table name " + bad + " is invalid\n"});
  // Every -t is checked as it is read.
  cases.push_back({{"-t", "5", "-t", "all", "-f"}, "hostreapd: table name all is invalid\n"});
  for (const char* bad : {"", "abc", "5x", "+5", "-1", "0", "86401", "4294967297"})
    cases.push_back({{"-t", "5", "-f", "-s", bad}, sleep_message});
  daemon_harness h;
  h.admin("create 0 type addr");
  h.admin("create 5 type addr");
  for (const auto& c : cases) {
    std::string what;
    for (const auto& a : c.args) what += " '" + a + "'";
    SCOPED_TRACE("hostreapd" + what);
    child_process d = h.start(c.args);
    exit_result r = h.wait_exit(d, 10000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.code, 64);
    EXPECT_EQ(d.err(), c.message);
    EXPECT_EQ(d.out(), "");
  }
  EXPECT_EQ(h.requests(93), 0);
  EXPECT_EQ(h.requests(89), 0);
  EXPECT_EQ(h.requests(87), 0);
}

}  // namespace
