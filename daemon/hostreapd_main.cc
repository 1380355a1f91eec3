// SPDX-License-Identifier: BSD-2-Clause
// hostreapd: keeps one IPFW lookup table free of stale entries. The value of
// each address entry is the Unix time after which it is no longer wanted;
// every few seconds the table is listed, and every entry whose time has
// passed is logged to syslog and deleted.
//
// Start-up, the sweep loop and shutdown live here; the table work is done by
// the table command interpreter, the expiry decision by expire_if_due (its
// deletions sent in batches), the single-instance lock by the PID-file
// library. A table that goes away while the daemon runs ends it, or, with
// -w, is waited for. Once its start-up is done, every mode that talks to
// the firewall enters the sandbox (daemon/sandbox.h): one call, marked
// below.
#include <fcntl.h>
#include <sys/stat.h>
#include <sysexits.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <stdio_ext.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "daemon/add_entries.h"
#include "daemon/command_line.h"
#include "daemon/cycle_guard.h"
#include "daemon/expire.h"
#include "daemon/expiry_listing.h"
#include "daemon/kernel_release.h"
#include "daemon/metrics.h"
#include "daemon/pidlock.h"
#include "daemon/process_state.h"
#include "daemon/sandbox.h"
#include "daemon/status_line.h"
#include "daemon/stop_signals.h"
#include "fwtable/error_line.h"
#include "fwtable/fatal.h"
#include "fwtable/fwctl.h"
#include "fwtable/log_sender.h"
#include "fwtable/malloc_ptr.h"
#include "fwtable/platform.h"
#include "fwtable/table_command.h"
#include "fwtable/table_list.h"
#include "fwtable/value_fields.h"

namespace {

// Detaching makes the root directory the working directory, so a relative
// PID-file or metrics path is made absolute against the starting directory first and
// that one path is used from opening to removal (an empty path stays empty:
// it names no file). Returns false with errno set when the starting
// directory cannot be had or the path would not fit.
bool absolute_path(const char* path, char* out, size_t size) {
  int n;
  if (path[0] == '/' || path[0] == '\0') {
    n = snprintf(out, size, "%s", path);
  } else {
    char cwd[PIDLOCK_PATH_MAX + 1];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
      if (errno == ERANGE) errno = ENAMETOOLONG;
      return false;
    }
    n = snprintf(out, size, "%s%s%s", cwd, cwd[strlen(cwd) - 1] == '/' ? "" : "/", path);
  }
  if (n < 0 || static_cast<size_t>(n) >= size) {
    errno = ENAMETOOLONG;
    return false;
  }
  return true;
}

// The PID file is opened and locked before detaching, so that a refusal
// reaches the caller. abs: the path made absolute, or null when that failed
// (the reason in errno).
pidlock* open_pid_file(const char* abs) {
  if (abs == nullptr) {
    stderr_warn("cannot open pid file");
    return nullptr;
  }
  int32_t other = 0;
  pidlock* pl = pidlock_open(abs, 0600, &other);
  if (pl == nullptr) {
    if (errno == EEXIST) fatal_errx(1, "hostreapd already running, pid: %d", other);
    // The path kept naming another file than the one just locked: starts
    // and stops of other instances are under way, and running without the
    // lock could make this one a second sweeper.
    if (errno == EAGAIN) fatal_errx(1, "cannot lock pid file %s: it keeps being replaced", abs);
    // A file refused for what it is is named, with the path.
    if (const char* refusal = pidlock_refusal(errno)) {
      stderr_warnx("cannot open pid file: %s %s", abs, refusal);
    } else {
      stderr_warn("cannot open pid file");
    }
  }
  return pl;
}

// Whether two paths made absolute name one file: the same text, one file
// under both (a hard link, or the same entry), or the same name in one
// directory reached by two ways (a link or ".." on the way), which is found
// even before the file exists. An empty path names no file.
bool same_file(const char* a, const char* b) {
  if (a[0] == '\0' || b[0] == '\0') return false;
  if (strcmp(a, b) == 0) return true;
  struct stat sa, sb;
  if (lstat(a, &sa) == 0 && lstat(b, &sb) == 0) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  const char* slash_a = strrchr(a, '/');
  const char* slash_b = strrchr(b, '/');
  if (slash_a == nullptr || slash_b == nullptr) return false;
  const char* name_a = slash_a + 1;
  const char* name_b = slash_b + 1;
  if (strcmp(name_a, name_b) != 0) return false;
  // The directory parts, "/" for a file at the root.
  char dir_a[METRICS_PATH_MAX + PIDLOCK_PATH_MAX];
  char dir_b[sizeof dir_a];
  snprintf(dir_a, sizeof dir_a, "%.*s", name_a - a > 1 ? static_cast<int>(name_a - a - 1) : 1, a);
  snprintf(dir_b, sizeof dir_b, "%.*s", name_b - b > 1 ? static_cast<int>(name_b - b - 1) : 1, b);
  return stat(dir_a, &sa) == 0 && stat(dir_b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// The metrics path, checked at the start where a refusal is seen, and made
// absolute into out (as the PID file's path is). Refused with 64: an empty
// path; one as long as the writer would refuse it at every cycle; one that
// names a device, FIFO, socket or directory, which the writer's rename
// would replace. A symbolic link there is replaced, its target left alone.
void check_metrics_path(const char* given, char* out, size_t size) {
  if (given[0] == '\0') fatal_errx(EX_USAGE, "metrics file path is empty");
  if (!absolute_path(given, out, size)) fatal_err(EX_USAGE, "metrics file %s", given);
  struct stat st;
  if (lstat(out, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
    fatal_errx(EX_USAGE, "metrics file %s is not a regular file", given);
}

// Standard input, output and error closed by whoever started us would
// hand their numbers to the PID file or the control socket; daemon() would
// then put the null device over them (dropping the lock), and printed lines
// would go into them. The null device holds the three places instead.
void hold_standard_descriptors() {
  for (;;) {
    int fd = open("/dev/null", O_RDWR);
    if (fd < 0) return;
    if (fd > 2) {
      close(fd);
      return;
    }
  }
}

// The first contact with the firewall, made before detaching so that a
// start that cannot work is refused where its caller sees the message and
// the status: the control socket is opened and the table's info record
// asked for, exactly as the first cycle would. A failure ends the process
// as it would end it there (the PID file taken at start is removed, as on
// every fatal error).
void check_table_before_start(ipfw_xtable_info* info) {
  if (fwctl_open() != 0) fatal_err(EX_UNAVAILABLE, "socket");
  ipfw_obj_header oh;
  memset(&oh, 0, sizeof oh);
  init_request_header(&oh, table_name, 0);
  if (request_table_info(&oh, info) != 0) fatal_err(EX_OSERR, "failed to request table info");
}

// The daemon's warnings and notices while it runs (the metrics file's, the
// PID file's when its PID cannot be written, the table's comings and
// goings) go to syslog, and to standard error too while attached (a line
// there gives way to a stop).
bool warnings_on_stderr = false;
void log_event(int priority, const char* text) {
  platform_log(priority, text);
  if (warnings_on_stderr) stderr_warnx("%s", text);
}

// The metrics file's warnings: one per streak of failures.
void warn_metrics(const char* text) { log_event(LOG_WARNING, text); }

// The warning of a kernel without capability mode.
void warn_sandbox_unavailable(const char* text) { log_event(LOG_WARNING, text); }

// The comings and goings of the table: "table NAME" and what became of it,
// the table named by the text the commands name it by.
void log_table_event(int priority, const char* what) {
  char text[256];
  snprintf(text, sizeof text, "table %s %s", table_name, what);
  log_event(priority, text);
}

// Asks for the table's info record as a cycle's first request does, and
// returns when the table is there. A table still missing abandons the
// cycle (the guard waits for it); any other failure ends the daemon as the
// cycle's own request would.
ipfw_xtable_info ask_table_info() {
  ipfw_obj_header oh;
  memset(&oh, 0, sizeof oh);
  init_request_header(&oh, table_name, 0);
  ipfw_xtable_info info;
  fetch_table_info(&oh, &info);
  return info;
}

// The table whose values were last looked at for a field that cannot hold
// a time: the fields that tell one table from another of the same name.
listed_table values_looked_at;

// An address table whose values begin with a field that cannot hold a time
// (fwtable/value_fields.h) has entries the sweep never removes, which is
// said once per table: at the start, after the table comes back (forget is
// then true), and when a cycle lists a table made again under the name.
void warn_if_values_untimed(const listed_table& table, bool forget) {
  if (forget) values_looked_at = {};
  if (!table.known) return;
  const listed_table& seen = values_looked_at;
  if (seen.known && seen.type == table.type && seen.vmask == table.vmask && seen.kidx == table.kidx) return;
  values_looked_at = table;
  if (table.type != IPFW_TABLE_ADDR) return;
  const value_field* lead = leading_value_field(fw_built::value_layout, table.vmask);
  if (lead == nullptr || lead->kind != value_kind::number || value_field_holds_time(*lead)) return;
  char text[256];
  snprintf(text, sizeof text,
           "table %s: its values begin with %s, which cannot hold a time; its entries are never removed",
           table_name, lead->word);
  log_event(LOG_WARNING, text);
}

listed_table table_of(const ipfw_xtable_info& info) { return {true, info.type, info.vmask, info.kidx}; }

// A table that outgrows its listing in this many cycles in a row ends the
// daemon. A dropped cycle deletes nothing and loses nothing guarded: it
// only leaves due entries for a later cycle. Growth that outruns all eight
// attempts of a listing is a burst (a flood of additions), which a few
// cycles outlast; ten cycles in a row (fifty seconds at the default pause)
// is a table that cannot be listed at all, and the daemon then ends as it
// did at the first, with 71, so that whoever runs it learns that the table
// is no longer swept.
constexpr int OUTGROWN_CYCLES_MAX = 10;

// Takes the figures of the cycle just ended, a whole one (it listed the
// table and dealt with every entry of the listing), into *last: the one
// place the sweep loop keeps what the last whole cycle saw, which the
// metrics file shows.
void take_whole_cycle(sweep_metrics* last, int64_t started_ns) {
  const sweep_tally* t = sweep_tally_now();
  last->table = table_name;
  last->entries = t->entries;
  last->due = t->due;
  last->unremovable = t->unremovable;
  last->last_sweep_unix = platform_now();
  last->sweep_duration_ns = monotonic_ns() - started_ns;
  last->has_next_expiry = t->has_next;
  last->next_expiry_unix = t->next_expiry;
  last->no_sweep = false;
}

// Writes the metrics after a cycle: the figures of the last whole cycle
// (a cycle abandoned, or one that found the table gone, leaves them as they
// were), the table's presence, and the counters since the start (the
// deletions made before a cycle was abandoned stand).
void write_metrics(const metrics_file* file, metrics_reporter* reporter, bool table_missing,
                   sweep_metrics* shown) {
  shown->table_missing = table_missing;
  shown->removed_total = sweep_tally_now()->removed;
  shown->log_lines_dropped = system_log_dropped();
  metrics_report(reporter, file, shown, warn_metrics);
}

// At a stop, the metrics file is written once more when log lines were
// dropped since it was last written (a stop while syslogd was behind): the
// counters are brought up to date; the gauges keep the last whole cycle's
// figures, since the cycle the stop cut short counts nothing worth
// publishing.
void write_drops_at_stop(const metrics_file* file, metrics_reporter* reporter, sweep_metrics* shown) {
  if (system_log_dropped() == shown->log_lines_dropped) return;
  shown->removed_total = sweep_tally_now()->removed;
  shown->log_lines_dropped = system_log_dropped();
  metrics_report(reporter, file, shown, warn_metrics);
}

// The last whole cycle's figures and the counters since the start: what
// the metrics file shows and the line of state tells. A cycle abandoned
// part way leaves the figures as they were; the table's presence is the
// latest cycle's.
sweep_metrics shown = {};

// The answer to SIGINFO (SIGUSR1): the line of state, at LOG_INFO, and on
// standard error while attached.
void report_status() {
  daemon_status state;
  state.table = table_name;
  state.has_cycle = !shown.no_sweep;
  state.entries = shown.entries;
  state.due = shown.due;
  state.unremovable = shown.unremovable;
  state.ended_unix = shown.last_sweep_unix;
  state.duration_ns = shown.sweep_duration_ns;
  state.has_next = shown.has_next_expiry;
  state.next_expiry = static_cast<uint32_t>(shown.next_expiry_unix);
  state.table_missing = shown.table_missing;
  char line[STATUS_LINE_MAX];
  status_line_format(&state, sweep_tally_now()->removed, line, sizeof line);
  log_event(LOG_INFO, line);
}

// The cycle's look at the stop flag, before each entry of the listing,
// while a request waits for its reply and while a log line waits for room
// at syslogd: a request for the line of state is answered there first,
// unless a removal is in hand (its log line and its deletion go together;
// the next look answers it) or the line of state is itself being written
// (its own wait for room looks here too, and must not write it again).
bool look_at_stop() {
  static bool answering = false;
  // Nor while a line of output waits for room half written: the line of
  // state would be written into its middle.
  if (!removal_in_hand() && !answering && !output_line_open()) {
    answering = true;
    answer_status_request(report_status);
    answering = false;
  }
  return stop_requested();
}

// A line that a stop cut short while standard output was blocked (a pipe
// nobody reads) is dropped, so that the exit does not block on it again.
void drop_unwritten_output() {
  if (!ferror(stdout)) return;
#if defined(__GLIBC__)
  __fpurge(stdout);
#elif defined(__FreeBSD__) || defined(__APPLE__)
  fpurge(stdout);
#endif
}

// The PID file taken at the start, while it is held: removed on every path
// that ends the process, a stop's and a fatal error's alike.
pidlock* held_pid_file = nullptr;

void remove_pid_file() {
  if (held_pid_file == nullptr) return;
  pidlock_remove(held_pid_file, true);
  held_pid_file = nullptr;
}

// The ordinary end of the daemon, after a stop: what a line cut short left
// is dropped, the PID file removed, the log closed; status 0.
int stop_cleanly() {
  drop_unwritten_output();
  remove_pid_file();
  system_log_close();
  return 0;
}

// The end of the process on a fatal error, once the stop handling is in
// place (the platform's exit): what a stop cut short of standard output is
// dropped, so that the exit does not block on it again, and the PID file
// is removed.
void end_on_fatal(int status) {
  drop_unwritten_output();
  remove_pid_file();
  exit(status);
}

}  // namespace

int main(int argc, char** argv) {
  hold_standard_descriptors();
  // The version is a question from the command line too, answered whatever
  // else it holds.
  if (asks_for_version(argc, argv)) print_version();
  if (argc <= 2) show_usage();
  // Adding entries (-a) is a mode of its own: daemon/add_entries.h.
  if (asks_for_adding(argc, argv)) return add_entries_main(argc, argv);

  // A listing is a question from the command line: it logs nothing. A
  // start opens the log here; its first line, "starting....", is sent once
  // the daemon has started (below).
  const bool listing = asks_for_listing(argc, argv);
  if (!listing) system_log_open("hostreapd", LOG_PID | LOG_NDELAY, LOG_AUTH);

  daemon_options opts;
  read_options(argc, argv, &opts);
  // A kernel of the other release would refuse every request: said plainly,
  // before any is sent.
  refuse_other_release(fwctl_kernel_release());

  if (opts.list_only) {
    // The listing's requests need only the control socket, opened here as
    // its first request would open it.
    if (fwctl_open() != 0) fatal_err(EX_UNAVAILABLE, "socket");
    sandbox_keep keep;
    keep.control = fwctl_socket_fd();
    enter_sandbox(keep, nullptr);  // the listing logs nothing
    return print_expiry_listing(table_name);
  }

  char metrics_path[METRICS_PATH_MAX];
  // Its directory, opened now: every write goes through it.
  metrics_file metrics;
  if (opts.metrics_path != nullptr) {
    check_metrics_path(opts.metrics_path, metrics_path, sizeof metrics_path);
    if (metrics_file_open(&metrics, metrics_path) != 0)
      fatal_err(EX_USAGE, "metrics file %s", opts.metrics_path);
  }
  // One byte more than the PID-file library keeps, so that a path too long
  // for it reaches it whole and is refused there with ENAMETOOLONG.
  char pid_path[PIDLOCK_PATH_MAX + 2];
  const bool pid_path_ok =
      opts.pid_path != nullptr && absolute_path(opts.pid_path, pid_path, sizeof pid_path);
  const int pid_path_err = errno;
  // The metrics file's rename would replace the PID file, and with it the
  // lock against a second instance.
  if (pid_path_ok && opts.metrics_path != nullptr && same_file(pid_path, metrics_path))
    fatal_errx(EX_USAGE, "metrics file %s is the pid file", opts.metrics_path);

  install_stop_handling();

  // From here on every request goes through the guard: a request that a
  // stop cuts short ends the daemon as a stop does, not as a failure.
  cycle_guard guard;
  platform guarded = guarded_platform(current_platform(), &guard, look_at_stop);
  guarded.exit = end_on_fatal;
  platform_scope guarded_scope(guarded);
  // The requests of a batch of deletions whose lines were logged are
  // carried through a stop: every entry logged is deleted.
  guard.carry_through = removal_in_hand;

  if (opts.pid_path != nullptr) {
    errno = pid_path_err;
    held_pid_file = open_pid_file(pid_path_ok ? pid_path : nullptr);
  }

  // A start already stopped sweeps nothing, so it need not reach the
  // firewall either.
  listed_table at_start;
  try {
    if (!stop_requested()) {
      ipfw_xtable_info info;
      check_table_before_start(&info);
      at_start = table_of(info);
    }
  } catch (const cycle_abandoned&) {
    // The guard does not wait for a table yet, so only a stop gets here:
    // a table missing at the start is refused with 71.
    return stop_cleanly();
  }

  // What the daemon keeps after its start-up. Limited now, where a refusal
  // still reaches whoever started it; the standard descriptors and the PID
  // file (written after detaching) once detached.
  sandbox_keep keep;
  keep.control = fwctl_socket_fd();
  keep.log_socket = system_log_socket_fd();
  keep.log_directory = system_log_directory_fd();
  keep.metrics_directory = metrics.dir_fd;
  keep.pid_directory = held_pid_file != nullptr ? held_pid_file->dir_fd : -1;
  keep.standard = false;
  fd_use refused;
  // A refusal ends the start as a fatal error does, the PID file removed.
  if (limit_descriptors(keep, &refused) != 0) fatal_limit_refused(refused);

  if (opts.detach) {
    if (daemon(0, 0) == -1) fatal_errx(EX_OSERR, "Failed to become a daemon");
  }
  // The detached process is another: its log lines carry its PID.
  system_log_refresh();
  // Detached, standard error is the null device: from here on fatal
  // messages go to the log as well.
  platform detached = current_platform();
  detached.fatal_to_log = opts.detach;
  platform_scope detached_scope(detached);
  if (!opts.detach) {
    // Each foreground line is written as it is made.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    warnings_on_stderr = true;
  }
  // The start line comes from the process that sweeps, whose PID the PID
  // file holds (a detached daemon is another process than its starter), and
  // after the stop and status handlers are in place: a syslogd that is not
  // reading holds it, and a stop then still ends the daemon as a stop does.
  platform_log(LOG_INFO, "starting....");
  if (opts.dry_run) platform_log(LOG_INFO, "dry run: nothing is removed");
  warn_if_values_untimed(at_start, false);

  // The detached process's PID. A file that cannot take it stays locked:
  // it still refuses a second instance.
  if (held_pid_file != nullptr && pidlock_write(held_pid_file) != 0) {
    char text[PIDLOCK_PATH_MAX + 200];
    snprintf(text, sizeof text, "cannot write pid file %s: %s", pid_path, strerror(errno));
    log_event(LOG_WARNING, text);
  }

  // The start-up is done: from here on the daemon holds only what it keeps,
  // limited to what it does with it, in capability mode.
  keep.log_socket = system_log_socket_fd();
  keep.pid_file = held_pid_file != nullptr ? held_pid_file->fd : -1;
  keep.standard = true;
  enter_sandbox(keep, warn_sandbox_unavailable);

  char table_word[] = "table";
  char list_word[] = "list";
  malloc_ptr<char*> list_vector(static_cast<char**>(calloc(3, sizeof(char*))));
  if (!list_vector) fatal_err(EX_OSERR, "cannot allocate the list command");
  list_vector.get()[0] = table_word;
  list_vector.get()[1] = table_name;
  list_vector.get()[2] = list_word;

  // The cycle's clock is read right before its list request: every due
  // test of the cycle uses that one time. A listing outgrown at every
  // attempt drops the cycle, and so does one whose buffer the system would
  // not give, except for a single one (-1), which ends as the listing's
  // failure does.
  listing_handler sweep = sweep_listing_handler(opts.dry_run ? report_if_due : expire_if_due, look_at_stop);
  if (!opts.once) {
    sweep.outgrown = abandon_outgrown_listing;
    sweep.no_memory = abandon_listing_without_memory;
  }
  metrics_reporter reporter = {};
  shown.table = table_name;
  // The pause tells a reader of the metrics how old the last sweep may
  // grow; a single cycle has none (whatever runs it again decides).
  shown.interval_seconds = opts.once ? 0 : static_cast<uint32_t>(opts.sleep_seconds);
  shown.no_sweep = true;
  int outgrown_in_a_row = 0;  // cycles in a row whose listing was outgrown

  // With -w a table that goes away, found by any request of a cycle, ends
  // the cycle instead of the daemon; the start has found the table. A
  // single cycle (-1) ends as without -w.
  guard.wait_for_table = opts.wait_for_table && !opts.once;
  bool table_missing = false;  // the last cycle found the table gone

  // From here on a request for the line of state is answered during the
  // cycles too.
  open_status_requests();
  while (!stop_requested()) {
    // The host's name the log lines carry, read once a cycle.
    system_log_refresh();
    sweep_tally_start_cycle();
    cycle_guard_start_cycle(&guard);
    const int64_t started = monotonic_ns();
    bool whole = false;  // the cycle listed the table and dealt with the listing
    try {
      if (table_missing) {
        // Said before anything of the sweep that follows is logged.
        const ipfw_xtable_info back = ask_table_info();
        table_missing = false;
        log_table_event(LOG_NOTICE, "is back");
        warn_if_values_untimed(table_of(back), true);
      }
      run_table_command(3, list_vector.get(), &sweep);
      whole = true;
      outgrown_in_a_row = 0;
      warn_if_values_untimed(guard.listed, false);
    } catch (const cycle_abandoned& a) {
      // A stop came while a request waited: the cycle ends here.
      if (a.reason == abandon_reason::stop) break;
      if (a.reason != abandon_reason::table_grew) outgrown_in_a_row = 0;
      // The table was made again under its name while the cycle deleted
      // from its listing: the listing no longer says what the table holds
      // or how its keys read, so nothing more is deleted from it. What was
      // deleted before stays deleted; the next cycle lists the new table.
      if (a.reason == abandon_reason::table_changed) {
        log_table_event(LOG_NOTICE, "changed during the sweep; sweeping it again next cycle");
        shown.abandoned_changed++;
      } else if (a.reason == abandon_reason::table_grew) {
        // Every attempt of the listing found the table grown past the
        // buffer: nothing of it was deleted, and the next cycle lists it
        // anew, until it has done so too often in a row.
        if (++outgrown_in_a_row >= OUTGROWN_CYCLES_MAX) {
          errno = ENOMEM;
          fatal_err(EX_OSERR, "Error requesting table %s list", table_name);
        }
        log_table_event(LOG_WARNING, "grew faster than it could be listed; sweeping it again next cycle");
        shown.abandoned_grew++;
      } else if (a.reason == abandon_reason::no_memory) {
        // The system would not give the memory for the listing's buffer
        // (a limit on the process, or a size no memory holds): nothing of
        // the table was deleted, and the next cycle asks again.
        log_table_event(LOG_WARNING,
                        "could not be listed: no memory for its listing; sweeping it again next cycle");
        shown.abandoned_memory++;
      } else {
        // The table is gone: the rest of the cycle is dropped (what it
        // deleted before stays deleted), and the next cycles look for the
        // table again. One warning for each time it goes.
        if (!table_missing) log_table_event(LOG_WARNING, "is gone; waiting for it to come back");
        table_missing = true;
        shown.abandoned_gone++;
      }
    }
    // A cycle a stop cut short counts nothing worth publishing.
    if (stop_requested()) break;
    if (whole) take_whole_cycle(&shown, started);
    shown.table_missing = table_missing;
    if (opts.metrics_path != nullptr) write_metrics(&metrics, &reporter, table_missing, &shown);
    if (opts.once) break;
    if (pause_between_cycles(static_cast<unsigned>(opts.sleep_seconds), report_status) == wake_reason::stop)
      break;
  }

  list_vector.reset();
  if (opts.metrics_path != nullptr) write_drops_at_stop(&metrics, &reporter, &shown);
  return stop_cleanly();
}
