// SPDX-License-Identifier: BSD-2-Clause
#include "tests/support/process.h"

#include <fcntl.h>
#include <signal.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/support_failure.h"

extern char** environ;

namespace {

exit_result decode(int status, const rusage& usage) {
  exit_result r;
  r.finished = true;
  r.usage = usage;
  if (WIFEXITED(status)) {
    r.exited = true;
    r.code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    r.signal = WTERMSIG(status);
  }
  return r;
}

}  // namespace

int exit_status(const exit_result& r) {
  if (!r.finished) return -1;
  return r.exited ? r.code : 128 + r.signal;
}

temp_dir::temp_dir() {
  const char* base = getenv("TMPDIR");
  std::string tmpl =
      std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/hostreapd-test.XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) support_failure(std::string("mkdtemp: ") + strerror(errno));
  path = buf.data();
}

temp_dir::~temp_dir() {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

child_process::~child_process() {
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

child_process::child_process(child_process&& other) noexcept
    : pid(other.pid), out_path(std::move(other.out_path)), err_path(std::move(other.err_path)) {
  other.pid = -1;
}

child_process& child_process::operator=(child_process&& other) noexcept {
  if (this != &other) {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    pid = other.pid;
    out_path = std::move(other.out_path);
    err_path = std::move(other.err_path);
    other.pid = -1;
  }
  return *this;
}

child_process child_process::start(const std::vector<std::string>& argv, const std::string& out_dir,
                                   const std::vector<std::string>& env, const std::string& dir,
                                   int pending_signal) {
  static int serial = 0;
  child_process c;
  serial++;
  if (out_dir.empty()) {
    c.out_path = "/dev/null";
    c.err_path = "/dev/null";
  } else {
    c.out_path = out_dir + "/out." + std::to_string(getpid()) + "." + std::to_string(serial);
    c.err_path = out_dir + "/err." + std::to_string(getpid()) + "." + std::to_string(serial);
  }

  // Everything the child needs is prepared before fork.
  std::vector<std::string> envs;
  for (char** e = environ; *e != nullptr; e++) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& add : env)
      if (add.substr(0, add.find('=')) == name) replaced = true;
    if (!replaced) envs.push_back(entry);
  }
  for (const auto& add : env) envs.push_back(add);
  std::vector<char*> cargv, cenv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  for (const auto& e : envs) cenv.push_back(const_cast<char*>(e.c_str()));
  cenv.push_back(nullptr);

  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    support_failure("cannot start " + argv[0] + ": fork: " + strerror(errno));
    return c;
  }
  if (pid == 0) {
#ifdef PR_SET_PDEATHSIG
    // A test killed (by ctest's time limit, say) takes the programs it
    // started with it. The signal is asked for by this thread's death, and
    // the parent may have died before the asking: then end at once.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(125);
#else
    (void)parent;
#endif
    setpgid(0, 0);
    int in = open("/dev/null", O_RDONLY);
    const int flags = out_dir.empty() ? O_WRONLY : O_WRONLY | O_CREAT | O_TRUNC;
    int out = open(c.out_path.c_str(), flags, 0644);
    int err = open(c.err_path.c_str(), flags, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    sigset_t none;
    sigemptyset(&none);
    if (pending_signal != 0) sigaddset(&none, pending_signal);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    if (pending_signal != 0) raise(pending_signal);
    if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(126);
    execve(cargv[0], cargv.data(), cenv.data());
    _exit(127);
  }
  c.pid = pid;
  return c;
}

exit_result child_process::wait(int timeout_ms) {
  exit_result r;
  if (pid <= 0) return r;
  int64_t deadline = monotonic_ms() + timeout_ms;
  for (;;) {
    int status = 0;
    rusage usage{};
    pid_t got = wait4(pid, &status, timeout_ms < 0 ? 0 : WNOHANG, &usage);
    if (got == pid) {
      pid = -1;
      return decode(status, usage);
    }
    if (got < 0 && errno != EINTR) {
      // Not (or no longer) a child of ours, reaped elsewhere: forget it.
      pid = -1;
      return r;
    }
    if (timeout_ms < 0) continue;
    if (monotonic_ms() >= deadline) return r;
    sleep_ms(5);
  }
}

void child_process::send(int sig) const {
  if (pid > 0) kill(pid, sig);
}

std::string child_process::out() const { return read_file(out_path); }
std::string child_process::err() const { return read_file(err_path); }

run_output run_program(const std::vector<std::string>& argv, const std::string& out_dir,
                       const std::vector<std::string>& env, int timeout_ms) {
  child_process c = child_process::start(argv, out_dir, env);
  run_output r;
  r.status = c.wait(timeout_ms);
  if (!r.status.finished) {
    c.send(SIGKILL);
    c.wait(-1);
  }
  r.out = c.out();
  r.err = c.err();
  return r;
}

syslog_sink::syslog_sink(const std::string& dir, sink_reading reading, sink_socket kind)
    : path(dir + "/log.sock"), stream_(kind == sink_socket::stream) {
  bind_socket(reading);
}

void syslog_sink::restart() {
  messages();
  close(fd);
  unlink(path.c_str());
  bind_socket(sink_reading::polled);
}

void syslog_sink::bind_socket(sink_reading reading) {
  fd = socket(AF_UNIX, (stream_ ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    support_failure(std::string("syslog socket: ") + strerror(errno));
    return;
  }
  sockaddr_un sun;
  memset(&sun, 0, sizeof sun);
  sun.sun_family = AF_UNIX;
  if (path.size() >= sizeof sun.sun_path) {
    support_failure("syslog socket path too long: " + path);
    return;
  }
  memcpy(sun.sun_path, path.c_str(), path.size());
  if (bind(fd, reinterpret_cast<sockaddr*>(&sun), sizeof sun) != 0)
    support_failure("bind " + path + ": " + strerror(errno));
  if (stream_) {
    if (listen(fd, 16) != 0) support_failure("listen " + path + ": " + strerror(errno));
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return;
  }
  if (reading == sink_reading::counted) {
    // One blocking read a message; the time-out only lets the thread see
    // that it is to stop.
    timeval tv{0, 50000};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0)
      support_failure(std::string("SO_RCVTIMEO: ") + strerror(errno));
    reader_ = std::thread([this] {
      char buf[2048];
      while (!stop_.load())
        if (recv(fd, buf, sizeof buf, 0) > 0) count_++;
    });
    return;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  int size = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

syslog_sink::~syslog_sink() {
  stop_ = true;
  if (reader_.joinable()) reader_.join();
  for (const auto& p : peers_) close(p.fd);
  if (fd >= 0) close(fd);
  unlink(path.c_str());
}

std::vector<std::string> syslog_sink::wrap(const std::vector<std::string>& argv) const {
  std::vector<std::string> out = {"/usr/bin/unshare", "-m", "/bin/sh", DEVLOG_WRAPPER, path};
  out.insert(out.end(), argv.begin(), argv.end());
  return out;
}

namespace {

// One message as it arrived: <PRI>Mmm dd hh:mm:ss IDENT[PID]: TEXT
syslog_message parse_message(const std::string& raw) {
  syslog_message m;
  m.raw = raw;
  size_t gt = raw.find('>');
  if (!raw.empty() && raw[0] == '<' && gt != std::string::npos) {
    m.priority = atoi(raw.substr(1, gt - 1).c_str());
    std::string rest = raw.substr(gt + 1);
    if (rest.size() > 16) rest = rest.substr(16);  // the timestamp and its blank
    size_t colon = rest.find(": ");
    std::string head = rest.substr(0, colon);
    m.text = colon == std::string::npos ? "" : rest.substr(colon + 2);
    size_t br = head.find('[');
    m.ident = head.substr(0, br);
    if (br != std::string::npos) m.pid = atoi(head.substr(br + 1).c_str());
  }
  return m;
}

}  // namespace

// Takes the connections waiting and what each has sent: every message that
// has come whole (up to its NUL), in the order of each connection.
void syslog_sink::take_stream_messages() {
  for (int c; (c = accept(fd, nullptr, nullptr)) >= 0;) {
    fcntl(c, F_SETFL, fcntl(c, F_GETFL) | O_NONBLOCK);
    fcntl(c, F_SETFD, FD_CLOEXEC);
    peers_.push_back({c, ""});
  }
  char buf[8192];
  for (auto& p : peers_) {
    for (ssize_t n; (n = read(p.fd, buf, sizeof buf)) > 0;) p.partial.append(buf, static_cast<size_t>(n));
    for (size_t end; (end = p.partial.find('\0')) != std::string::npos;) {
      received.push_back(parse_message(p.partial.substr(0, end)));
      p.partial.erase(0, end + 1);
    }
  }
}

const std::vector<syslog_message>& syslog_sink::messages() {
  if (stream_) {
    take_stream_messages();
    return received;
  }
  char buf[8192];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf - 1, 0);
    if (n < 0) break;
    received.push_back(parse_message(std::string(buf, static_cast<size_t>(n))));
  }
  return received;
}

bool syslog_sink::wait_for(const std::string& text, int timeout_ms) {
  int64_t deadline = monotonic_ms() + timeout_ms;
  for (;;) {
    for (const auto& m : messages())
      if (m.text == text) return true;
    if (monotonic_ms() >= deadline) return false;
    sleep_ms(10);
  }
}

std::vector<std::string> syslog_sink::texts() {
  std::vector<std::string> out;
  for (const auto& m : messages()) out.push_back(m.text);
  return out;
}

void sleep_ms(int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

int64_t monotonic_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool poll_until(const std::function<bool()>& done, int timeout_ms, int step_ms) {
  const int64_t deadline = monotonic_ms() + timeout_ms;
  for (;;) {
    if (done()) return true;
    if (monotonic_ms() >= deadline) return done();
    sleep_ms(step_ms);
  }
}

bool wait_for_file(const std::string& path, int timeout_ms, bool non_empty) {
  int64_t deadline = monotonic_ms() + timeout_ms;
  for (;;) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && (!non_empty || st.st_size > 0)) return true;
    if (monotonic_ms() >= deadline) return false;
    sleep_ms(10);
  }
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool process_alive(pid_t pid) {
  if (pid <= 0 || (kill(pid, 0) != 0 && errno != EPERM)) return false;
  // A zombie (ended, not yet reaped) no longer runs.
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t paren = stat.rfind(')');
  return paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] != 'Z';
}

bool catches_signal(pid_t pid, int sig) {
  std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("SigCgt:\t");
  if (at == std::string::npos) return false;
  unsigned long long mask = strtoull(status.c_str() + at + 8, nullptr, 16);
  return (mask >> (sig - 1)) & 1;
}

bool send_if_caught(pid_t pid, int sig) { return catches_signal(pid, sig) && kill(pid, sig) == 0; }

long blocked_syscall(pid_t pid) {
  // "NR ARGS... SP PC" while blocked in call NR; "-1 SP PC" while blocked
  // outside one; "running" while it runs.
  const std::string text = read_file("/proc/" + std::to_string(pid) + "/syscall");
  if (text.empty() || (text[0] < '0' || text[0] > '9')) return -1;
  return strtol(text.c_str(), nullptr, 10);
}

long long bytes_read(pid_t pid) {
  const std::string io = read_file("/proc/" + std::to_string(pid) + "/io");
  size_t at = io.find("rchar: ");
  return at == std::string::npos ? -1 : strtoll(io.c_str() + at + 7, nullptr, 10);
}

std::vector<std::string> text_lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}
