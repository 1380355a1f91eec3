// SPDX-License-Identifier: BSD-2-Clause
#include "bench/support/bench_support.h"

#include <err.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "tests/support/support_failure.h"

// A benchmark ends on the first set-up failure.
void support_failure(const std::string& what) { errx(1, "%s", what.c_str()); }

namespace {

// What a driver that ends early (errx skips the destructors) must not leave
// behind: the emulator it started and its scratch directory.
pid_t leftover_server = -1;
char leftover_dir[256] = "";

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

}  // namespace

bench_setup::bench_setup() : emu(dir.path) {
  static bool registered = false;
  if (!registered && atexit(clean_up_at_exit) == 0) registered = true;
  if (dir.path.size() >= sizeof leftover_dir) errx(1, "%s: path too long", dir.path.c_str());
  memcpy(leftover_dir, dir.path.c_str(), dir.path.size() + 1);
  leftover_server = emu.pid();
}

bench_setup::~bench_setup() {
  leftover_server = -1;
  leftover_dir[0] = '\0';
}

std::string bench_admin(emu_server& emu, const std::string& words) {
  emu_server::result r = emu.admin(words);
  if (r.status < 0) errx(1, "fwemu %s: %s", words.c_str(), r.err.c_str());
  if (r.status != 0) errx(1, "fwemu %s: status %d: %s", words.c_str(), r.status, r.out.c_str());
  return r.out;
}

uint64_t bench_figure(emu_server& emu, const std::string& command, const std::string& label) {
  return figure_in(bench_admin(emu, command), label);
}

bench_syslog::bench_syslog(const std::string& dir) : sink(dir, sink_reading::counted) {
  // A private /dev/log needs root and unshare(1): find out once.
  if (geteuid() == 0) usable = exit_status(run_program(sink.wrap({"/bin/true"}), "", {}, -1).status) == 0;
}

std::vector<std::string> bench_syslog::wrap(const std::vector<std::string>& argv) const {
  return usable ? sink.wrap(argv) : argv;
}

run_output run_program_checked(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                               const std::string& dir) {
  run_output run = run_program(argv, dir, env, -1);
  int status = exit_status(run.status);
  if (status != 0) errx(1, "%s ended with status %d: %s", argv[0].c_str(), status, run.err.c_str());
  return run;
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

std::string spread(const std::vector<double>& values) {
  char text[96];
  snprintf(text, sizeof text, "%.2f (%.2f to %.2f)", median(values),
           *std::min_element(values.begin(), values.end()), *std::max_element(values.begin(), values.end()));
  return text;
}
