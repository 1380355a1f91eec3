#include "bench/support/bench_support.h"

#include <err.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "emu/admin_client.h"

extern char** environ;

namespace {

// The environment of this process with entries added or replaced.
std::vector<std::string> merged_env(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; e++) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    bool replaced = std::any_of(extra.begin(), extra.end(),
                                [&](const std::string& x) { return x.substr(0, x.find('=')) == name; });
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

std::vector<char*> c_strings(std::vector<std::string>& v) {
  std::vector<char*> out;
  for (auto& s : v) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int out_fd, int err_fd,
            int close_fd) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  if (out_fd >= 0) posix_spawn_file_actions_adddup2(&fa, out_fd, 1);
  if (err_fd >= 0) posix_spawn_file_actions_adddup2(&fa, err_fd, 2);
  if (close_fd >= 0) posix_spawn_file_actions_addclose(&fa, close_fd);
  std::vector<std::string> args = argv;
  std::vector<std::string> envs = merged_env(env);
  std::vector<char*> cargs = c_strings(args);
  std::vector<char*> cenv = c_strings(envs);
  pid_t pid;
  int rc = posix_spawn(&pid, cargs[0], &fa, nullptr, cargs.data(), cenv.data());
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) errx(1, "cannot start %s: %s", argv[0].c_str(), strerror(rc));
  return pid;
}

// What a driver that ends early (errx skips the destructors) must not leave
// behind: the emulator it started and its scratch directory.
pid_t leftover_server = -1;
char leftover_dir[64] = "";

void clean_up_at_exit() {
  if (leftover_server > 0) {
    kill(leftover_server, SIGTERM);
    waitpid(leftover_server, nullptr, 0);
  }
  if (leftover_dir[0] != '\0') {
    std::error_code ec;
    std::filesystem::remove_all(leftover_dir, ec);
  }
}

void clean_up_at_exit_once() {
  static bool registered = false;
  if (!registered && atexit(clean_up_at_exit) == 0) registered = true;
}

}  // namespace

bench_dir::bench_dir() {
  char tmpl[] = "/tmp/hostreapd-bench.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) err(1, "mkdtemp");
  path = tmpl;
  static_assert(sizeof tmpl <= sizeof leftover_dir);
  memcpy(leftover_dir, tmpl, sizeof tmpl);
  clean_up_at_exit_once();
}

bench_dir::~bench_dir() {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  leftover_dir[0] = '\0';
}

bench_emulator::bench_emulator(const std::string& dir) : socket(dir + "/fwemu.sock") {
  pid = start_program({FWEMU_BIN, "-s", socket, "serve"}, {});
  leftover_server = pid;
  clean_up_at_exit_once();
  for (int waited = 0;; waited += 10) {
    std::string text;
    if (emu_admin_call(socket.c_str(), {"stats"}, &text) == 0) return;
    if (waited >= 10000) errx(1, "fwemu did not come up on %s", socket.c_str());
    sleep_ms(10);
  }
}

bench_emulator::~bench_emulator() {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  rusage ru;
  wait_program(pid, &ru);
  leftover_server = -1;
}

std::string bench_emulator::admin(const std::string& words) const {
  std::vector<std::string> w;
  std::istringstream in(words);
  for (std::string word; in >> word;) w.push_back(word);
  std::string text;
  int status = emu_admin_call(socket.c_str(), w, &text);
  if (status < 0) err(1, "fwemu %s", words.c_str());
  if (status != 0) errx(1, "fwemu %s: status %d: %s", words.c_str(), status, text.c_str());
  return text;
}

uint64_t bench_emulator::figure(const std::string& command, const std::string& label) const {
  return figure_in(admin(command), label);
}

syslog_drain::syslog_drain(const std::string& dir) : path_(dir + "/log.sock") {
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) err(1, "socket");
  sockaddr_un sun;
  memset(&sun, 0, sizeof sun);
  sun.sun_family = AF_UNIX;
  if (path_.size() >= sizeof sun.sun_path) errx(1, "%s: path too long", path_.c_str());
  memcpy(sun.sun_path, path_.c_str(), path_.size());
  if (bind(fd_, reinterpret_cast<sockaddr*>(&sun), sizeof sun) != 0) err(1, "bind %s", path_.c_str());
  // One blocking read a message, as a syslog daemon's loop is; the time-out
  // only lets the thread see that it is to stop.
  timeval tv{0, 50000};
  if (setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) err(1, "SO_RCVTIMEO");
  reader_ = std::thread([this] {
    char buf[2048];
    while (!stop_.load())
      if (recv(fd_, buf, sizeof buf, 0) > 0) count_++;
  });
  // A private /dev/log needs root and unshare(1): find out once.
  if (geteuid() == 0) {
    rusage ru;
    pid_t pid = start_program(wrap_always({"/bin/true"}), {});
    usable_ = wait_program(pid, &ru) == 0;
  }
}

syslog_drain::~syslog_drain() {
  stop_ = true;
  reader_.join();
  close(fd_);
}

std::vector<std::string> syslog_drain::wrap_always(const std::vector<std::string>& argv) const {
  std::vector<std::string> out = {"/usr/bin/unshare", "-m", "/bin/sh", DEVLOG_WRAPPER, path_};
  out.insert(out.end(), argv.begin(), argv.end());
  return out;
}

std::vector<std::string> syslog_drain::wrap(const std::vector<std::string>& argv) const {
  return usable_ ? wrap_always(argv) : argv;
}

program_run run_program_checked(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) err(1, "pipe");
  pid_t pid = spawn(argv, env, p[1], -1, p[0]);
  close(p[1]);
  program_run run;
  char buf[4096];
  for (;;) {
    ssize_t n = read(p[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    run.out.append(buf, static_cast<size_t>(n));
  }
  close(p[0]);
  run.status = wait_program(pid, &run.usage);
  if (run.status != 0) errx(1, "%s ended with status %d", argv[0].c_str(), run.status);
  return run;
}

pid_t start_program(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_fd < 0) err(1, "/dev/null");
  pid_t pid = spawn(argv, env, null_fd, null_fd, -1);
  close(null_fd);
  return pid;
}

int wait_program(pid_t pid, rusage* usage) {
  int status;
  pid_t r;
  do r = wait4(pid, &status, 0, usage);
  while (r < 0 && errno == EINTR);
  if (r < 0) err(1, "wait4");
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

uint64_t figure_in(const std::string& text, const std::string& label) {
  for (const char* sep : {": ", " "}) {
    size_t at = text.find(label + sep);
    if (at == std::string::npos) continue;
    return std::strtoull(text.c_str() + at + label.size() + strlen(sep), nullptr, 10);
  }
  errx(1, "no \"%s\" in: %s", label.c_str(), text.c_str());
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void sleep_ms(int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}
