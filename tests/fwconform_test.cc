// SPDX-License-Identifier: BSD-2-Clause
// fwconform against a running emulator, as CI runs it: every row of the
// table of kernel answers for this build's release goes through the
// emulator's channel, its tables made with ipfw(8)'s words by the
// emulator's own ipfw command (`fwemu ipfw`). A name of ours already taken refuses
// the run before anything is touched; a row answered otherwise fails it;
// every table the program made is gone when it ends, whatever signal ends
// it.
#include <signal.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "conform/conform_target.h"
#include "conform/kernel_answers.h"
#include "fwtable/fw_records.h"
#include "tests/support/emu_server.h"
#include "tests/support/process.h"

namespace {

constexpr int LIMIT_MS = 300000;  // only a hang reaches it
const std::string PREFIX = "ci.conform";

// The ADMIN command: ipfw(8)'s words, carried out by the emulator's tool.
std::string admin() { return "'" FWEMU_BIN "' ipfw"; }

std::vector<std::string> argv_for(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {FWCONFORM_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

run_output conform(emu_server& emu, const std::vector<std::string>& args) {
  return run_program(argv_for(args), emu.dir(), {"FWEMU_SOCKET=" + emu.socket_path()}, LIMIT_MS);
}

// The names of ours that the emulator holds.
std::vector<std::string> tables_left(emu_server& emu) {
  std::vector<std::string> left;
  for (const std::string& name : conform_names_in_use(PREFIX))
    if (emu.admin("info " + name).status == 0) left.push_back(name);
  return left;
}

size_t rows_of_this_release() {
  size_t n = 0;
  for (const kernel_answer& row : kernel_answers()) n += kernel_answer_applies(row, FW_ABI) ? 1 : 0;
  return n;
}

TEST(Fwconform, EveryRowOfThisReleasePassesAgainstTheEmulator) {
  emu_server emu;
  run_output r = conform(emu, {"-x", admin(), "-p", PREFIX});
  ASSERT_TRUE(r.status.finished);
  EXPECT_EQ(exit_status(r.status), 0) << r.out << r.err;
  const std::vector<std::string> lines = text_lines(r.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), std::to_string(rows_of_this_release()) + " passed, 0 failed");
  for (const std::string& l : lines) EXPECT_FALSE(l.starts_with("not ok")) << l;
  const size_t skipped = kernel_answers().size() - rows_of_this_release();
  size_t skip_lines = 0;
  for (const std::string& l : lines) skip_lines += l.starts_with("skip ") ? 1 : 0;
  EXPECT_EQ(skip_lines, skipped);
  EXPECT_EQ(tables_left(emu), std::vector<std::string>{});
}

TEST(Fwconform, ATableOfOursThatExistsRefusesTheRunUntouched) {
  emu_server emu;
  const std::string taken = conform_table_name(PREFIX, table_role::set);
  ASSERT_EQ(emu.admin("create " + taken + " type number").status, 0);
  ASSERT_EQ(emu.admin("lock " + taken).status, 0);
  run_output r = conform(emu, {"-x", admin(), "-p", PREFIX});
  EXPECT_EQ(exit_status(r.status), 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "fwconform: table " + taken + " exists; choose another prefix\n");
  EXPECT_EQ(tables_left(emu), std::vector<std::string>{taken});
  EXPECT_NE(emu.admin("info " + taken).out.find("locked: yes"), std::string::npos);
}

TEST(Fwconform, ARowAnsweredOtherwiseFailsTheRun) {
  emu_server emu;
  ASSERT_EQ(emu.admin("fault fail list EIO 0").status, 0);
  run_output r = conform(emu, {"-x", admin(), "-p", PREFIX});
  EXPECT_EQ(exit_status(r.status), 1) << r.err;
  bool list_row_failed = false;
  for (const std::string& l : text_lines(r.out))
    if (l.starts_with("not ok 3 - a list that fits"))
      list_row_failed = l.ends_with(": failed with errno 5, not success");
  EXPECT_TRUE(list_row_failed) << r.out;
  EXPECT_TRUE(text_lines(r.out).back().ends_with(" failed")) << r.out;
  EXPECT_EQ(tables_left(emu), std::vector<std::string>{});
}

// Every signal whose default action would end the run ends it only once
// the row under way has finished, whole, and every table of ours is gone;
// then by that signal. Each request waits 600 ms, so that a row is under
// way when the signal comes and what follows it (the rest of the row and
// two cleanups, more than ten requests) takes longer than the second a
// wait is otherwise given after a signal. The runs go side by side, each
// against an emulator of its own.
TEST(Fwconform, ASignalThatWouldEndTheRunEndsItWithItsTablesRemoved) {
  struct run {
    int sig;
    std::unique_ptr<emu_server> emu;
    child_process c;
  };
  std::vector<run> runs;
  for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ,
                  SIGVTALRM, SIGPROF, SIGRTMIN}) {
    run r{sig, std::make_unique<emu_server>(), {}};
    ASSERT_EQ(r.emu->admin("fault delay 600 0").status, 0);
    r.c = child_process::start(argv_for({"-x", admin(), "-p", PREFIX}), r.emu->dir(),
                               {"FWEMU_SOCKET=" + r.emu->socket_path()});
    runs.push_back(std::move(r));
  }
  for (run& r : runs) {
    ASSERT_TRUE(poll_until([&] { return r.c.out().find("ok 1 - ") != std::string::npos; }, LIMIT_MS));
    r.c.send(r.sig);
  }
  for (run& r : runs) {
    SCOPED_TRACE(strsignal(r.sig));
    exit_result res = r.c.wait(LIMIT_MS);
    ASSERT_TRUE(res.finished);
    EXPECT_EQ(res.signal, r.sig) << r.c.out() << r.c.err();
    const std::vector<std::string> lines = text_lines(r.c.out());
    for (const std::string& l : lines) EXPECT_TRUE(l.starts_with("ok ")) << l;
    ASSERT_EQ(r.emu->admin("fault clear").status, 0);
    EXPECT_EQ(tables_left(*r.emu), std::vector<std::string>{});
  }
}

// Runs that send nothing: the list of rows, and the usage errors.
TEST(Fwconform, ListAndUsage) {
  struct row {
    const char* what;
    std::vector<std::string> args;
    int status;
    std::string err;  // part of standard error
  };
  const std::vector<row> rows = {
      {"list", {"-l"}, 0, ""},
      {"no prefix", {"-x", "true"}, 2, "usage: fwconform"},
      {"no command", {"-p", "x"}, 2, "usage: fwconform"},
      {"a prefix with a slash", {"-x", "true", "-p", "a/b"}, 2, "bad prefix \"a/b\""},
      {"a prefix of 21 characters", {"-x", "true", "-p", std::string(21, 'p')}, 2, "bad prefix"},
      {"an argument left over", {"-x", "true", "-p", "x", "more"}, 2, "usage: fwconform"},
      {"no emulator to talk to", {"-x", "true", "-p", "x"}, 69, "cannot open the control socket"},
  };
  temp_dir dir;
  for (const row& c : rows) {
    SCOPED_TRACE(c.what);
    run_output r = run_program(argv_for(c.args), dir.path, {"FWEMU_SOCKET=" + dir.file("none.sock")});
    EXPECT_EQ(exit_status(r.status), c.status) << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    if (c.status != 0) {
      EXPECT_EQ(r.out, "");
    }
  }
  run_output r = run_program(argv_for({"-l"}), dir.path, {"FWEMU_SOCKET=" + dir.file("none.sock")});
  const std::vector<std::string> lines = text_lines(r.out);
  ASSERT_EQ(lines.size(), kernel_answers().size());
  for (size_t i = 0; i < lines.size(); i++) {
    const kernel_answer& k = kernel_answers()[i];
    const std::string releases = k.release == 0 ? "14,15" : std::to_string(k.release);
    EXPECT_EQ(lines[i], std::to_string(i + 1) + " " + releases + " " + k.what);
  }
}

}  // namespace
