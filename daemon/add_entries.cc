// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/add_entries.h"

#include <err.h>
#include <sysexits.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "daemon/add_batch.h"
#include "daemon/command_line.h"
#include "daemon/kernel_release.h"
#include "daemon/key_lines.h"
#include "daemon/lifetime.h"
#include "daemon/process_state.h"
#include "daemon/sandbox.h"
#include "fwtable/address_key.h"
#include "fwtable/fatal.h"
#include "fwtable/fwctl.h"
#include "fwtable/log_sender.h"
#include "fwtable/platform.h"

namespace {

// The stop signal that came, 0 while none has.
volatile sig_atomic_t stop_signal = 0;

extern "C" void take_stop_signal(int signo) { stop_signal = signo; }

// The signal mask with SIGINT and SIGTERM let through: taken only while
// the writer waits for input and where it looks for a stop.
sigset_t open_mask;

// SIGINT and SIGTERM are kept blocked, so that neither cuts into a batch
// (its request, its answer, its log lines); they are taken while the
// writer waits for input and looked for between reads and before each
// batch. SIGPIPE is ignored.
void install_signals() {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = take_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigprocmask(SIG_BLOCK, &stops, &open_mask);
  sigdelset(&open_mask, SIGINT);
  sigdelset(&open_mask, SIGTERM);
}

// Whether a stop has come: one pending is taken first.
bool stop_came() {
  sigset_t pending;
  if (stop_signal == 0 && sigpending(&pending) == 0 &&
      (sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1)) {
    sigset_t kept;
    sigprocmask(SIG_SETMASK, &open_mask, &kept);
    sigprocmask(SIG_SETMASK, &kept, nullptr);
  }
  return stop_signal != 0;
}

// Ends the process by the stop signal that came, as it would have ended
// without a handler.
[[noreturn]] void end_by_signal() {
  const int signo = stop_signal;
  system_log_close();
  fflush(stdout);
  signal(signo, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signo);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(signo);
  _exit(128 + signo);
}

// The writer's run: its table, its batch and what it did.
struct add_run {
  const char* table;
  bool dry_run;
  add_batch batch;
  add_tally tally;
  bool lines_refused = false;
};

add_run run;

// Puts a parsed key into the batch, sending the batch when that fills it.
void take_key(const ipfw_obj_tentry& key, uint32_t deadline) {
  add_batch& b = run.batch;
  b.entries[b.n] = key;
  b.deadlines[b.n] = deadline;
  b.n++;
  if (b.n == ENTRY_WRITE_MAX) send_add_batch(run.table, &b, run.dry_run, &run.tally);
}

// A key text and its lifetime into an entry and a deadline; false with the
// reason in why (at least LIFETIME_WHY_SIZE + ADDRESS_KEY_WHY_SIZE bytes).
bool parse_key(const char* key_text, const lifetime& l, ipfw_obj_tentry* entry, uint32_t* deadline, char* why,
               size_t why_size) {
  char reason[ADDRESS_KEY_WHY_SIZE];
  memset(entry, 0, sizeof *entry);
  if (!parse_address_key(key_text, entry, reason)) {
    snprintf(why, why_size, "%.60s: %s", key_text, reason);
    return false;
  }
  if (!lifetime_deadline(l, platform_now(), deadline)) {
    snprintf(why, why_size, "%.60s: its lifetime ends past 4294967295, the largest time a table value holds",
             key_text);
    return false;
  }
  return true;
}

// The keys of the command line, already checked (a deadline that a later
// clock pushes past what a value holds is still refused here).
void add_operands(char** keys, int n, const lifetime& l) {
  char why[LIFETIME_WHY_SIZE + ADDRESS_KEY_WHY_SIZE];
  for (int i = 0; i < n; i++) {
    ipfw_obj_tentry e;
    uint32_t d;
    if (!parse_key(keys[i], l, &e, &d, why, sizeof why)) {
      warnx("%s", why);
      run.lines_refused = true;
      continue;
    }
    take_key(e, d);
  }
}

// The keys of standard input, a line each.
void add_lines(const lifetime& given) {
  static line_reader reader;
  reader.fd = STDIN_FILENO;
  reader.wait_mask = &open_mask;
  char text[KEY_LINE_MAX + 1];
  char why[LIFETIME_WHY_SIZE + ADDRESS_KEY_WHY_SIZE];
  for (;;) {
    // A pause in the input sends the keys read so far.
    // A stop is looked for here and before each read of the input (every
    // 16 KiB of it at most).
    if (run.batch.n > 0 && !key_line_ready(&reader)) {
      send_add_batch(run.table, &run.batch, run.dry_run, &run.tally);
      if (stop_came()) return;
    }
    bool has_nul = false;
    const read_status s = read_key_line(&reader, text, &has_nul, stop_came);
    if (s == read_status::end || s == read_status::stopped) return;
    if (s == read_status::error) {
      const int saved = errno;
      send_add_batch(run.table, &run.batch, run.dry_run, &run.tally);
      errno = saved;
      fatal_err(EX_IOERR, "cannot read standard input");
    }
    const uint64_t n = reader.number;
    if (s == read_status::too_long) {
      warnx("line %ju: longer than %zu bytes", static_cast<uintmax_t>(n), KEY_LINE_MAX);
      run.lines_refused = true;
      continue;
    }
    if (has_nul) {
      warnx("line %ju: holds a NUL byte", static_cast<uintmax_t>(n));
      run.lines_refused = true;
      continue;
    }
    const line_fields f = split_key_line(text);
    if (f.key == nullptr) continue;
    if (f.more) {
      warnx("line %ju: more than a key and a lifetime", static_cast<uintmax_t>(n));
      run.lines_refused = true;
      continue;
    }
    lifetime l = given;
    if (f.lifetime != nullptr && !parse_lifetime(f.lifetime, &l, why)) {
      warnx("line %ju: %s", static_cast<uintmax_t>(n), why);
      run.lines_refused = true;
      continue;
    }
    ipfw_obj_tentry e;
    uint32_t d;
    if (!parse_key(f.key, l, &e, &d, why, sizeof why)) {
      warnx("line %ju: %s", static_cast<uintmax_t>(n), why);
      run.lines_refused = true;
      continue;
    }
    take_key(e, d);
  }
}

}  // namespace

int add_entries_main(int argc, char** argv) {
  daemon_options opts;
  read_options(argc, argv, &opts);
  char why[LIFETIME_WHY_SIZE];
  lifetime l;
  if (!parse_lifetime(opts.add_lifetime, &l, why)) fatal_errx(EX_USAGE, "%s", why);
  uint32_t deadline;
  if (!lifetime_deadline(l, platform_now(), &deadline))
    fatal_errx(EX_USAGE, "lifetime %s ends past 4294967295, the largest time a table value holds",
               opts.add_lifetime);
  char** keys = argv + opts.first_operand;
  const int nkeys = argc - opts.first_operand;
  if (nkeys < 1) fatal_errx(EX_USAGE, "-a needs keys, or - to read them from standard input");
  bool from_input = false;
  for (int i = 0; i < nkeys; i++)
    if (strcmp(keys[i], "-") == 0) from_input = true;
  if (from_input && nkeys > 1)
    fatal_errx(EX_USAGE, "- reads the keys from standard input: give no other key");
  run.table = table_name;
  run.dry_run = opts.dry_run;

  // The keys of the command line are checked before anything else is
  // asked of the system.
  if (!from_input) {
    char reason[LIFETIME_WHY_SIZE + ADDRESS_KEY_WHY_SIZE];
    bool refused = false;
    for (int i = 0; i < nkeys; i++) {
      ipfw_obj_tentry e;
      uint32_t d;
      if (!parse_key(keys[i], l, &e, &d, reason, sizeof reason)) {
        warnx("%s", reason);
        refused = true;
      }
    }
    if (refused) return EX_DATAERR;
  }

  refuse_other_release(fwctl_kernel_release());
  install_signals();
  // The local time of the log lines' dates, and the log's socket, before
  // the firewall is reached.
  tzset();
  if (!opts.dry_run) system_log_open("hostreapd", LOG_PID | LOG_NDELAY, LOG_AUTH);
  if (fwctl_open() != 0) fatal_err(EX_UNAVAILABLE, "socket");
  // A table that cannot take the keys is refused before any is read.
  check_add_table(table_name);

  // Start-up is done: the time zone, the log socket and the control socket
  // are ready, and nothing after this opens a file or a socket. The
  // command gives up the rest, as the daemon does; a kernel without
  // capability mode is not worth a warning at every command.
  sandbox_keep keep;
  keep.control = fwctl_socket_fd();
  keep.log_socket = system_log_socket_fd();
  keep.log_directory = system_log_directory_fd();
  keep.reads_input = from_input;
  enter_sandbox(keep, nullptr);

  if (from_input)
    add_lines(l);
  else
    add_operands(keys, nkeys, l);
  send_add_batch(run.table, &run.batch, run.dry_run, &run.tally);
  if (stop_came()) end_by_signal();

  int status = 0;
  if (run.lines_refused) status = EX_DATAERR;
  if (run.tally.refused > 0) status = EX_OSERR;
  if (opts.dry_run && (fflush(stdout) != 0 || ferror(stdout))) {
    warn("cannot write to standard output");
    status = EX_IOERR;
  }
  system_log_close();
  return status;
}
