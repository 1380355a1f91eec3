// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/command_line.h"

#include <err.h>
#include <sysexits.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "daemon/process_state.h"
#include "fwtable/fatal.h"
#include "fwtable/table_command.h"

namespace {

constexpr char usage_text[] =
    "\nUsage: hostreapd -t table [-s seconds]\n"
    "       -t          set the IPFW table number or name\n"
    "       -s          set the sleep time between cycles, default: 5sec\n"
    "       -p          PID file path, default: none\n"
    "       -f          run the daemon in the foreground (do not daemonize)\n"
    "       -h          print this message.\n"
    "       -l          list the entries with their expiry times and exit\n"
    "       -n          dry run: show what would be removed, remove nothing (with -f)\n"
    "       -w          wait for the table to come back when it goes away\n"
    "       -1          sweep once and exit\n"
    "       -m          metrics file path, default: none\n"
    "       -V          print the version and exit\n"
    "       -a          add or renew the keys given (- reads them from standard input) for a lifetime:\n"
    "                   3600, 1h30m, 7d or @UNIXTIME\n\n";

// GNU getopt reorders the arguments unless told not to; reading must stop
// at the first operand.
#ifdef __GLIBC__
constexpr char option_string[] = "+t:s:hfp:lnw1m:Va:";
#else
constexpr char option_string[] = "t:s:hfp:lnw1m:Va:";
#endif

// Whether the options, read as getopt will read them (up to the first
// operand, an option's argument skipped), include the one given.
bool options_include(int argc, char** argv, char option) {
  for (int i = 1; i < argc; i++) {
    const char* arg = argv[i];
    if (arg[0] != '-' || arg[1] == '\0' || strcmp(arg, "--") == 0) return false;
    for (const char* p = arg + 1; *p != '\0'; p++) {
      if (*p == option) return true;
      const char* known = *p == ':' ? nullptr : strchr(option_string, *p);
      if (known != nullptr && known[1] == ':') {
        if (p[1] == '\0') i++;  // the argument is the next word
        break;
      }
    }
  }
  return false;
}

// A whole decimal number from low to high: digits only, nothing before or
// after them. Anything else (empty, a sign, a blank, letters, a number out
// of range however long) gives -1. A forgotten or garbled number must not
// quietly become 0: table 0 would be swept, and a pause of 0 would list the
// table without rest.
long whole_number(const char* text, long low, long high) {
  long n = 0;
  if (*text == '\0') return -1;
  for (const char* p = text; *p != '\0'; p++) {
    if (*p < '0' || *p > '9') return -1;
    n = n * 10 + (*p - '0');
    if (n > high) return -1;
  }
  return n < low ? -1 : n;
}

// The largest table number: numbered tables are named by their number, and
// the kernel's table indices stop below 65535.
constexpr long TABLE_NUMBER_MAX = 65534;

// A -t text of digits alone is a table number; any other names the table
// (as the kernel takes names: anything the interpreter's name check lets
// through, "200x", "1abc" and "_x" among them). A number is kept as its
// digits are printed ("007" is table 7), so that a numbered table is asked
// for exactly as it always was.
void take_table(const char* text) {
  if (text[0] == '\0' || strspn(text, "0123456789") != strlen(text)) {
    if (validate_table_name(text) != 0) fatal_errx(EX_USAGE, "table name %s is invalid", text);
    snprintf(table_name, sizeof table_name, "%s", text);
    return;
  }
  long t = whole_number(text, 0, TABLE_NUMBER_MAX);
  if (t < 0) fatal_errx(EX_USAGE, "table number can be from 0 to 65534");
  snprintf(table_name, sizeof table_name, "%ld", t);
}

}  // namespace

void show_usage() {
  fwrite(usage_text, 1, sizeof usage_text - 1, stderr);
  exit(1);
}

void print_version() {
  if (printf("hostreapd %s\n", HOSTREAPD_VERSION) < 0 || fflush(stdout) != 0)
    fatal_err(EX_IOERR, "cannot write the version");
  exit(0);
}

void read_options(int argc, char** argv, daemon_options* opts) {
  int ch;
  int sweep_option = 0;  // the first option given that only a sweep takes
  while ((ch = getopt(argc, argv, option_string)) != -1) {
    if (sweep_option == 0 && strchr("spwl1m", ch) != nullptr) sweep_option = ch;
    switch (ch) {
      case 't':
        take_table(optarg);
        break;
      case 's': {
        long s = whole_number(optarg, 1, 86400);
        if (s < 0) fatal_errx(EX_USAGE, "sleep time can be from 1 to 86400 seconds");
        opts->sleep_seconds = static_cast<int>(s);
        break;
      }
      case 'p':
        opts->pid_path = optarg;
        break;
      case 'f':
        opts->detach = false;
        break;
      case 'l':
        opts->list_only = true;
        break;
      case 'n':
        opts->dry_run = true;
        break;
      case 'w':
        opts->wait_for_table = true;
        break;
      case '1':
        opts->once = true;
        break;
      case 'm':
        opts->metrics_path = optarg;
        break;
      case 'a':
        opts->add_lifetime = optarg;
        break;
      case 'V':
        print_version();
      default:  // -h, an unknown option, a missing argument
        show_usage();
    }
  }
  opts->first_operand = optind;
  if (table_name[0] == '\0') {
    warnx("table number required");
    show_usage();
  }
  // The writer adds and ends: nothing of a sweep goes with it.
  if (opts->add_lifetime != nullptr && sweep_option != 0)
    fatal_errx(EX_USAGE, "-a cannot be used with -%c", sweep_option);
  // A detached dry run would show its findings to the null device; the
  // writer's never detaches.
  if (opts->dry_run && opts->detach && !opts->list_only && opts->add_lifetime == nullptr) {
    warnx("a dry run needs -f");
    show_usage();
  }
}

bool asks_for_listing(int argc, char** argv) { return options_include(argc, argv, 'l'); }

bool asks_for_version(int argc, char** argv) { return options_include(argc, argv, 'V'); }

bool asks_for_adding(int argc, char** argv) { return options_include(argc, argv, 'a'); }
