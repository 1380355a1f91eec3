// SPDX-License-Identifier: BSD-2-Clause
// fwconform: runs the table of kernel answers (conform/kernel_answers.h)
// against the firewall this program talks to (FreeBSD's kernel through
// IP_FW3, or, built for the emulator, a running fwemu), and prints each
// row's verdict:
//
//   fwconform [-l] -x ADMIN -p PREFIX
//
// ADMIN is the command that makes and removes the rows' tables, given
// ipfw(8)'s words (on FreeBSD "ipfw -q"); it runs as
// /bin/sh -c 'ADMIN "$@"' sh WORD.... Every table is named PREFIX and a
// short suffix; none of them may exist before the first row, and every one
// made is destroyed after each row and again at the end. A signal that
// would end the program (stop_signals below) ends it only once the row
// under way has finished and its tables are gone, by that same signal
// (without a core dump); -l lists the rows and sends nothing.
//
// Output: "ok N - what" or "not ok N - what: what differed" a row, "skip N -
// what (FreeBSD R only)" for a row of the other release, and a closing
// "N passed, N failed". Exit status: 0 when no row failed, 1 when one did, 2
// for a usage error or a table of ours that exists already, 69 when the
// control socket cannot be opened or asked, 78 when the running kernel is of
// the other release.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <sysexits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "conform/answer_run.h"
#include "conform/conform_target.h"
#include "conform/kernel_answers.h"
#include "daemon/kernel_release.h"
#include "fwtable/fw_records.h"
#include "fwtable/fwctl.h"
#include "fwtable/platform.h"

namespace {

constexpr int EXIT_USAGE = 2;

volatile sig_atomic_t stop_signal = 0;

void on_stop(int sig) { stop_signal = sig; }

// The signals whose default action ends the process, but for those that
// report a fault of the program itself (SIGSEGV, SIGBUS, SIGILL, SIGFPE,
// SIGABRT, SIGTRAP, SIGSYS, SIGEMT: after one the program is not to be
// trusted with a cleanup, and they keep their default). The signals ignored
// by default (SIGINFO, SIGCHLD, SIGURG, SIGWINCH, SIGIO on FreeBSD) and
// those that stop the process (SIGTSTP, SIGTTIN, SIGTTOU) end nothing and
// are left as they are.
std::vector<int> stop_signals() {
  std::vector<int> sigs = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM, SIGPIPE,   SIGALRM,
                           SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF};
#ifdef __linux__
  // Linux ends a process on these too.
  sigs.insert(sigs.end(), {SIGIO, SIGPWR, SIGSTKFLT});
#endif
#if defined(SIGRTMIN) && defined(SIGRTMAX)
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++) sigs.push_back(sig);
#endif
  return sigs;
}

// A wait for the emulator's reply goes on after a signal: the program still
// needs the replies to remove its tables (a reply that never comes still
// fails after the channel's own time limit).
bool never_given_up() { return false; }

// Ends the process by sig as its default action would, but for the core
// file: the program ends on purpose, its state is of no interest.
[[noreturn]] void end_by(int sig) {
  struct rlimit no_core = {0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  sigaction(sig, &sa, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, sig);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  raise(sig);
  _exit(128 + sig);
}

int usage() {
  fprintf(stderr, "usage: fwconform [-l] -x ADMIN -p PREFIX\n");
  return EXIT_USAGE;
}

// Runs ADMIN with the words as its arguments, its standard output on our
// standard error (ours carries the verdicts alone); its exit status, or
// 128 + the signal that ended it, or 127 when it could not be started.
int run_admin(const std::string& admin, const std::vector<std::string>& words) {
  const std::string script = admin + " \"$@\"";
  std::vector<const char*> argv = {"sh", "-c", script.c_str(), "sh"};
  for (const std::string& w : words) argv.push_back(w.c_str());
  argv.push_back(nullptr);
  fflush(stdout);
  pid_t pid = fork();
  if (pid < 0) return 127;
  if (pid == 0) {
    dup2(STDERR_FILENO, STDOUT_FILENO);
    execv("/bin/sh", const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  int status;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return 127;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string releases(const kernel_answer& row) {
  return row.release == 0 ? "14,15" : std::to_string(row.release);
}

}  // namespace

int main(int argc, char** argv) {
  bool list_only = false;
  std::string admin, prefix;
  bool have_admin = false, have_prefix = false;
  for (int c; (c = getopt(argc, argv, "lx:p:")) != -1;) {
    switch (c) {
      case 'l':
        list_only = true;
        break;
      case 'x':
        admin = optarg;
        have_admin = true;
        break;
      case 'p':
        prefix = optarg;
        have_prefix = true;
        break;
      default:
        return usage();
    }
  }
  if (optind != argc) return usage();
  const std::vector<kernel_answer>& rows = kernel_answers();
  if (list_only) {
    for (size_t i = 0; i < rows.size(); i++)
      printf("%zu %s %s\n", i + 1, releases(rows[i]).c_str(), rows[i].what);
    return fflush(stdout) == 0 ? 0 : EX_IOERR;
  }
  if (!have_admin || !have_prefix || admin.empty()) return usage();
  if (!conform_prefix_ok(prefix)) {
    fprintf(stderr, "fwconform: bad prefix \"%s\" (1 to 20 of A-Z a-z 0-9 _ . -)\n", prefix.c_str());
    return EXIT_USAGE;
  }

  const int osreldate = fwctl_kernel_release();
  if (osreldate != 0 && release_layout(osreldate) != FW_ABI) {
    fprintf(stderr, "fwconform: built for FreeBSD %d's firewall; this system runs FreeBSD %d.%d\n", FW_ABI,
            osreldate / 100000, osreldate / 1000 % 100);
    return EX_CONFIG;
  }
  if (fwctl_open() != 0) {
    fprintf(stderr, "fwconform: cannot open the control socket: %s\n", strerror(errno));
    return EX_UNAVAILABLE;
  }

  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_stop;
  sigemptyset(&sa.sa_mask);
  for (int sig : stop_signals()) sigaction(sig, &sa, nullptr);

  platform own = current_platform();
  own.stopping = never_given_up;
  const platform_scope scope(own);
  const platform& p = current_platform();
  const conform_target target{
      FW_ABI, prefix, p.fwctl_get, p.fwctl_ctx,
      [&admin](const std::vector<std::string>& words) { return run_admin(admin, words); }};

  // Nothing is touched while a name of ours is someone else's table.
  for (const std::string& name : conform_names_in_use(prefix)) {
    ipfw_xtable_info info;
    const int e = conform_info(target, name, &info);
    if (e == 0) {
      fprintf(stderr, "fwconform: table %s exists; choose another prefix\n", name.c_str());
      return EXIT_USAGE;
    }
    if (e != ESRCH) {
      fprintf(stderr, "fwconform: info of table %s: %s\n", name.c_str(), strerror(e));
      return EX_UNAVAILABLE;
    }
  }

  int passed = 0, failed = 0;
  for (size_t i = 0; i < rows.size() && stop_signal == 0; i++) {
    const kernel_answer& row = rows[i];
    if (!kernel_answer_applies(row, FW_ABI)) {
      printf("skip %zu - %s (FreeBSD %d only)\n", i + 1, row.what, row.release);
      fflush(stdout);
      continue;
    }
    const std::string differs = run_kernel_answer(row, target);
    conform_clean(target);
    if (differs.empty()) {
      passed++;
      printf("ok %zu - %s\n", i + 1, row.what);
    } else {
      failed++;
      printf("not ok %zu - %s: %s\n", i + 1, row.what, differs.c_str());
    }
    fflush(stdout);
  }
  conform_clean(target);
  // Ended as the signal ends a program, once the tables are gone.
  if (stop_signal != 0) end_by(stop_signal);
  printf("%d passed, %d failed\n", passed, failed);
  if (fflush(stdout) != 0) return EX_IOERR;
  return failed == 0 ? 0 : 1;
}
