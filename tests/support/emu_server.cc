#include "tests/support/emu_server.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>

#include "emu/admin_client.h"
#include "fwtable/fwemu_io.h"

extern char** environ;

namespace {

std::vector<char*> c_argv(std::vector<std::string>& args) {
  std::vector<char*> v;
  for (auto& a : args) v.push_back(a.data());
  v.push_back(nullptr);
  return v;
}

int exit_code(int wstatus) {
  if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
  return -1;
}

pid_t wait_for(pid_t pid, int* wstatus) {
  pid_t r;
  do r = waitpid(pid, wstatus, 0);
  while (r < 0 && errno == EINTR);
  return r;
}

}  // namespace

emu_server::result run_program(const std::vector<std::string>& argv) {
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return {-1, "", strerror(errno)};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  posix_spawn_file_actions_addclose(&fa, out[0]);
  posix_spawn_file_actions_addclose(&fa, err[0]);
  std::vector<std::string> args = argv;
  std::vector<char*> cargs = c_argv(args);
  pid_t pid;
  int rc = posix_spawn(&pid, cargs[0], &fa, nullptr, cargs.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(out[1]);
  close(err[1]);
  emu_server::result r{-1, "", ""};
  if (rc != 0) {
    close(out[0]);
    close(err[0]);
    r.err = strerror(rc);
    return r;
  }
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&r.out, &r.err};
  int open_fds = 2;
  while (open_fds > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        open_fds--;
      }
    }
  }
  int ws;
  if (wait_for(pid, &ws) == pid) r.status = exit_code(ws);
  return r;
}

emu_server::emu_server(const std::string& dir) : dir_(dir) {
  if (dir_.empty()) {
    const char* tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/fwemu-test.XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp " << tmpl << ": " << strerror(errno);
      return;
    }
    dir_ = tmpl;
    own_dir_ = true;
  }
  socket_ = dir_ + "/fwemu.sock";

  std::vector<std::string> args = {FWEMU_BIN, "-s", socket_, "serve"};
  std::vector<char*> cargs = c_argv(args);
  int rc = posix_spawn(&pid_, FWEMU_BIN, nullptr, nullptr, cargs.data(), environ);
  if (rc != 0) {
    pid_ = -1;
    ADD_FAILURE() << "spawn " << FWEMU_BIN << ": " << strerror(rc);
    return;
  }
  // Ready once a connection is accepted; give up after ten seconds, or at
  // once if the server has ended.
  for (int i = 0; i < 1000; i++) {
    int fd = fwemu_connect(socket_.c_str());
    if (fd >= 0) {
      close(fd);
      return;
    }
    int ws;
    if (waitpid(pid_, &ws, WNOHANG) == pid_) {
      ADD_FAILURE() << "fwemu serve ended at start-up with status " << exit_code(ws);
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ADD_FAILURE() << "fwemu serve did not accept connections on " << socket_;
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
  EXPECT_EQ(r.status, 0) << r.err;
  size_t at = r.out.find("connections: ");
  return at == std::string::npos ? -1 : strtol(r.out.c_str() + at + 13, nullptr, 10);
}

void emu_server::stop() {
  if (!running()) return;
  ::kill(pid_, SIGTERM);
  int ws = 0;
  pid_t r = wait_for(pid_, &ws);
  pid_ = -1;
  if (r < 0) {
    ADD_FAILURE() << "waitpid: " << strerror(errno);
    return;
  }
  EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0) << "fwemu serve ended with status " << exit_code(ws);
  struct stat st;
  EXPECT_NE(lstat(socket_.c_str(), &st), 0) << socket_ << " left behind";
}

void emu_server::kill() {
  if (!running()) return;
  ::kill(pid_, SIGKILL);
  int ws;
  wait_for(pid_, &ws);
  pid_ = -1;
}
