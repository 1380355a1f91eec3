// SPDX-License-Identifier: BSD-2-Clause
#include "tests/support/daemon_harness.h"

#include <dirent.h>
#include <signal.h>
#include <sys/syscall.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "fwtable/log_sender.h"

namespace {

// The count of the "requests OPCODE: N" line of the server's stats.
long stats_count(const std::string& stats, int opcode) {
  std::string key = "requests " + std::to_string(opcode) + ": ";
  size_t at = stats.find(key);
  return at == std::string::npos ? -1 : atol(stats.c_str() + at + key.size());
}

}  // namespace

daemon_harness::daemon_harness(int abi, sink_socket log)
    : emu(dir.path, abi), sink(dir.path, sink_reading::polled, log) {}

daemon_harness::~daemon_harness() {
  for (pid_t p : daemons()) found.push_back(p);
  for (pid_t p : found) kill(p, SIGKILL);
}

std::string daemon_harness::admin(const std::string& words) {
  emu_server::result r = emu.admin(words);
  EXPECT_EQ(r.status, 0) << "fwemu " << words << ": " << r.out << r.err;
  return r.out;
}

child_process daemon_harness::start(const std::vector<std::string>& args, bool with_syslog,
                                    int pending_signal, const std::string& cwd) {
  std::vector<std::string> argv = {HOSTREAPD_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  if (with_syslog) argv = sink.wrap(argv);
  return child_process::start(argv, dir.path, {"FWEMU_SOCKET=" + emu.socket_path()}, cwd, pending_signal);
}

long daemon_harness::requests(int opcode) { return stats_count(emu.admin("stats").out, opcode); }

bool daemon_harness::wait_for_requests(int opcode, long n, int timeout_ms, pid_t sweeper) {
  return poll_until(
      [&] {
        sink.messages();
        if (requests(opcode) >= n) return true;
        if (sweeper > 0) send_if_caught(sweeper, SIGHUP);
        return false;
      },
      timeout_ms);
}

bool daemon_harness::wait_for_lists(long n, int timeout_ms, pid_t sweeper) {
  return wait_for_requests(89, n, timeout_ms, sweeper);
}

exit_result daemon_harness::wait_exit(child_process& d, int timeout_ms) {
  exit_result r;
  poll_until(
      [&] {
        sink.messages();
        r = d.wait(0);
        return r.finished;
      },
      timeout_ms);
  sink.messages();
  return r;
}

std::vector<pid_t> daemon_harness::daemons() {
  std::vector<pid_t> out;
  const std::string want = "FWEMU_SOCKET=" + emu.socket_path();
  DIR* d = opendir("/proc");
  if (d == nullptr) return out;
  while (dirent* e = readdir(d)) {
    pid_t pid = atoi(e->d_name);
    if (pid <= 0) continue;
    std::string base = std::string("/proc/") + e->d_name;
    std::string comm = read_file(base + "/comm");
    if (comm != "hostreapd\n") continue;
    std::string env = read_file(base + "/environ");
    std::istringstream in(env);
    for (std::string entry; std::getline(in, entry, '\0');) {
      if (entry == want && process_alive(pid)) {
        out.push_back(pid);
        break;
      }
    }
  }
  closedir(d);
  return out;
}

pid_t daemon_harness::find_daemon(int timeout_ms) {
  std::vector<pid_t> p;
  if (!poll_until(
          [&] {
            p = daemons();
            return p.size() == 1;
          },
          timeout_ms))
    return -1;
  found.push_back(p[0]);
  return p[0];
}

bool daemon_harness::wait_gone(pid_t pid, int timeout_ms) {
  return poll_until([&] { return !process_alive(pid); }, timeout_ms);
}

bool daemon_harness::wait_no_daemons(int timeout_ms) {
  return poll_until([&] { return daemons().empty(); }, timeout_ms);
}

bool daemon_harness::wait_in_syscall(pid_t pid, long syscall, int timeout_ms) {
  return poll_until(
      [&] {
        sink.messages();
        return blocked_syscall(pid) == syscall;
      },
      timeout_ms);
}

bool daemon_harness::wait_in_pause(pid_t pid, int timeout_ms) {
  return wait_in_syscall(pid, SYS_rt_sigtimedwait, timeout_ms);
}

bool daemon_harness::wait_in_request(pid_t pid, int timeout_ms) {
  return poll_until(
      [&] {
        sink.messages();
        const long call = blocked_syscall(pid);
#ifdef SYS_poll
        if (call == SYS_poll) return true;
#endif
        return call == SYS_ppoll;
      },
      timeout_ms);
}

std::vector<std::string> daemon_harness::log_texts() { return sink.texts(); }

std::vector<std::string> daemon_harness::removal_lines() {
  std::vector<std::string> out;
  for (const auto& t : sink.texts())
    if (t.rfind("Removing host ", 0) == 0) out.push_back(t);
  return out;
}

bool waits_for_log_room(pid_t pid) {
  const std::string text = read_file("/proc/" + std::to_string(pid) + "/syscall");
  std::vector<std::string> f;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find_first_of(" \n", at);
    if (end == std::string::npos) end = text.size();
    f.push_back(text.substr(at, end - at));
    at = end + 1;
  }
#ifdef SYS_poll
  if (f.size() > 3 && f[0] == std::to_string(SYS_poll))
    return strtoul(f[3].c_str(), nullptr, 16) == static_cast<unsigned long>(LOG_ROOM_WAIT_MS);
#endif
  return false;
}
