// SPDX-License-Identifier: BSD-2-Clause
#include "tests/support/emu_server.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "emu/admin_client.h"
#include "fwtable/fwemu_io.h"
#include "tests/support/support_failure.h"

emu_server::result run_program(const std::vector<std::string>& argv) {
  temp_dir out;
  run_output r = run_program(argv, out.path, {}, -1);
  return {exit_status(r.status), r.out, r.err};
}

emu_server::emu_server(const std::string& dir, int abi) : dir_(dir) {
  if (dir_.empty()) {
    const char* tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/fwemu-test.XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
      support_failure("mkdtemp " + tmpl + ": " + strerror(errno));
      return;
    }
    dir_ = tmpl;
    own_dir_ = true;
  }
  socket_ = dir_ + "/fwemu.sock";

  server_ = child_process::start({FWEMU_BIN, "-s", socket_, "serve", "--abi", std::to_string(abi)}, dir_);
  if (!running()) return;
  // Ready once a connection is accepted; give up after ten seconds, or at
  // once if the server has ended.
  bool ready = false;
  exit_result ended;
  poll_until(
      [&] {
        int fd = fwemu_connect(socket_.c_str());
        if (fd >= 0) {
          close(fd);
          ready = true;
          return true;
        }
        ended = server_.wait(0);
        return ended.finished;
      },
      10000);
  if (ready) return;
  if (ended.finished)
    support_failure("fwemu serve ended at start-up with status " + std::to_string(exit_status(ended)) + ": " +
                    server_.err());
  else
    support_failure("fwemu serve did not accept connections on " + socket_);
}

emu_server::~emu_server() {
  if (running()) stop();
  if (own_dir_) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

emu_server::result emu_server::admin(const std::string& words) {
  std::vector<std::string> w;
  std::istringstream in(words);
  for (std::string s; in >> s;) w.push_back(s);
  result r{-1, "", ""};
  int st = emu_admin_call(socket_.c_str(), w, &r.out);
  if (st < 0)
    r.err = strerror(errno);
  else
    r.status = st;
  return r;
}

emu_server::result emu_server::cli(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {FWEMU_BIN, "-s", socket_};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv);
}

long emu_server::connections() {
  result r = admin("stats");
  if (r.status != 0) support_failure("fwemu stats: " + r.err);
  size_t at = r.out.find("connections: ");
  return at == std::string::npos ? -1 : strtol(r.out.c_str() + at + 13, nullptr, 10);
}

void emu_server::stop() {
  if (!running()) return;
  server_.send(SIGTERM);
  exit_result r = server_.wait(-1);
  if (!r.finished) {
    support_failure(std::string("waitpid: ") + strerror(errno));
    return;
  }
  if (exit_status(r) != 0)
    support_failure("fwemu serve ended with status " + std::to_string(exit_status(r)) + ": " + server_.err());
  struct stat st;
  if (lstat(socket_.c_str(), &st) == 0) support_failure(socket_ + " left behind");
}

void emu_server::kill() {
  if (!running()) return;
  server_.send(SIGKILL);
  server_.wait(-1);
}
