// hostreapd: keeps one IPFW lookup table free of stale entries. The value of
// each address entry is the Unix time after which it is no longer wanted;
// every few seconds the table is listed, and every entry whose time has
// passed is logged to syslog and deleted.
//
// Start-up, the sweep loop and shutdown live here; the table work is done by
// the table command interpreter, the expiry decision by expire_if_due, the
// single-instance lock by the PID-file library.
#include <fcntl.h>
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
#include <err.h>

#include "daemon/command_line.h"
#include "daemon/expire.h"
#include "daemon/expiry_listing.h"
#include "daemon/metrics.h"
#include "daemon/pidlock.h"
#include "daemon/process_state.h"
#include "daemon/stop_signals.h"
#include "fwtable/fatal.h"
#include "fwtable/fwctl.h"
#include "fwtable/malloc_ptr.h"
#include "fwtable/platform.h"
#include "fwtable/table_command.h"
#include "fwtable/table_list.h"

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
// reaches the caller.
pidlock* open_pid_file(const char* path) {
  // One byte more than the library keeps, so that a path too long for it
  // reaches it whole and is refused there with ENAMETOOLONG.
  char abs[PIDLOCK_PATH_MAX + 2];
  if (!absolute_path(path, abs, sizeof abs)) {
    warn("cannot open pid file");
    return nullptr;
  }
  int32_t other = 0;
  pidlock* pl = pidlock_open(abs, 0600, &other);
  if (pl == nullptr) {
    if (errno == EEXIST) fatal_errx(1, "hostreapd already running, pid: %d", other);
    // A file refused for what it is is named, with the path.
    if (const char* refusal = pidlock_refusal(errno)) {
      warnx("cannot open pid file: %s %s", abs, refusal);
    } else {
      warn("cannot open pid file");
    }
  }
  return pl;
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
// as it would end it there, after the PID file taken at start is removed.
void check_table_before_start(pidlock* pl, const char* number_text) {
  if (fwctl_open() != 0) {
    int saved = errno;
    if (pl != nullptr) pidlock_remove(pl, true);
    errno = saved;
    fatal_err(EX_UNAVAILABLE, "socket");
  }
  ipfw_obj_header oh;
  memset(&oh, 0, sizeof oh);
  init_request_header(&oh, number_text, 0);
  ipfw_xtable_info info;
  if (request_table_info(&oh, &info) != 0) {
    int saved = errno;
    if (pl != nullptr) pidlock_remove(pl, true);
    errno = saved;
    fatal_err(EX_OSERR, "failed to request table info");
  }
}

// The metrics file's warnings: one in syslog per streak of failures (and on
// standard error too while attached).
bool metrics_warn_on_stderr = false;
void warn_metrics(const char* text) {
  platform_log(LOG_WARNING, text);
  if (metrics_warn_on_stderr) warnx("%s", text);
}

void write_metrics(const char* path, metrics_reporter* reporter, int64_t started_ns) {
  const sweep_tally* t = sweep_tally_now();
  sweep_metrics m = {};
  m.table = table_number;
  m.entries = t->entries;
  m.due = t->due;
  m.removed_total = t->removed;
  m.last_sweep_unix = platform_now();
  m.sweep_duration_ns = monotonic_ns() - started_ns;
  m.has_next_expiry = t->has_next;
  m.next_expiry_unix = t->next_expiry;
  metrics_report(reporter, path, &m, warn_metrics);
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

}  // namespace

int main(int argc, char** argv) {
  hold_standard_descriptors();
  // The version is a question from the command line too, answered whatever
  // else it holds.
  if (asks_for_version(argc, argv)) print_version();
  if (argc <= 2) show_usage();

  // A listing is a question from the command line: it logs nothing.
  const bool listing = asks_for_listing(argc, argv);
  if (!listing) {
    openlog("hostreapd", LOG_PID | LOG_NDELAY, LOG_AUTH);
    platform_log(LOG_INFO, "starting....");
  }

  daemon_options opts;
  read_options(argc, argv, &opts);

  char number_text[100] = {};
  snprintf(number_text, sizeof number_text, "%d", table_number);
  if (opts.list_only) return print_expiry_listing(number_text);

  // The metrics path is kept absolute, as the PID file's is, and refused
  // here when it is as long as the writer would refuse it at every cycle.
  char metrics_path[METRICS_PATH_MAX];
  if (opts.metrics_path != nullptr && !absolute_path(opts.metrics_path, metrics_path, sizeof metrics_path))
    fatal_err(EX_USAGE, "metrics file %s", opts.metrics_path);

  install_stop_handling();

  pidlock* pl = opts.pid_path != nullptr ? open_pid_file(opts.pid_path) : nullptr;

  // A start already stopped sweeps nothing, so it need not reach the
  // firewall either.
  if (!stop_requested()) check_table_before_start(pl, number_text);

  if (opts.detach) {
    if (daemon(0, 0) == -1) {
      if (pl != nullptr) pidlock_remove(pl, true);
      fatal_errx(EX_OSERR, "Failed to become a daemon");
    }
  }
  // Detached, standard error is the null device: from here on fatal
  // messages go to the log as well.
  platform detached = current_platform();
  detached.fatal_to_log = opts.detach;
  platform_scope detached_scope(detached);
  if (!opts.detach) {
    // Each foreground line is written as it is made.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    metrics_warn_on_stderr = true;
  }
  if (opts.dry_run) platform_log(LOG_INFO, "dry run: nothing is removed");

  if (opts.pid_path != nullptr) pidlock_write(pl);  // the detached process's PID

  char table_word[] = "table";
  char list_word[] = "list";
  malloc_ptr<char*> list_vector(static_cast<char**>(calloc(3, sizeof(char*))));
  if (!list_vector) fatal_err(EX_OSERR, "cannot allocate the list command");
  list_vector.get()[0] = table_word;
  list_vector.get()[1] = number_text;
  list_vector.get()[2] = list_word;

  const listing_handler sweep = {opts.dry_run ? report_if_due : expire_if_due, expiry_is_due, stop_requested};
  metrics_reporter reporter = {};

  while (!stop_requested()) {
    snprintf(number_text, sizeof number_text, "%d", table_number);
    sweep_tally_start_cycle();
    const int64_t started = monotonic_ns();
    run_table_command(3, list_vector.get(), &sweep);
    // A cycle a stop cut short counts nothing worth publishing.
    if (stop_requested()) break;
    if (opts.metrics_path != nullptr) write_metrics(metrics_path, &reporter, started);
    if (opts.once) break;
    if (pause_between_cycles(static_cast<unsigned>(opts.sleep_seconds)) == wake_reason::stop) break;
  }

  drop_unwritten_output();
  if (pl != nullptr) pidlock_remove(pl, true);
  list_vector.reset();
  closelog();
  return 0;
}
