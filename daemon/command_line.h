// SPDX-License-Identifier: BSD-2-Clause
// The daemon's command line: getopt with "t:s:hfp:lnw1m:Va:", the rules for
// the table (a name or a number) and the pause, and the usage text.
//
// Owns: nothing; the table goes to the process-wide table_name, the other
// settings to the caller's daemon_options (the PID-file path points into
// argv, it is not copied).
// Failure: ends the process, as a command-line program does: status 1 with
// the usage text (after getopt's own diagnostic, or "table number
// required", or "a dry run needs -f"); status 64 for a -t text of digits
// alone that is not a table number from 0 to 65534 ("table number can be
// from 0 to 65534"), any other -t text that is no table name ("table name
// %s is invalid": 1 to 63 letters, digits, '-', '.', '_', not "all"), or a
// pause that is not one from 1 to 86400; status 64 too for -a beside an
// option of the sweep ("-a cannot be used with -X": -s, -p, -l, -w, -1,
// -m).
#pragma once

struct daemon_options {
  int sleep_seconds = 5;  // -s, 1 to 86400
  const char* pid_path = nullptr;  // -p
  bool detach = true;  // cleared by -f
  bool list_only = false;  // -l: list the table with the expiry times, then exit
  bool dry_run = false;  // -n: show what would be removed, remove nothing
  bool once = false;  // -1: one cycle, then the shutdown steps
  bool wait_for_table = false;  // -w: a table that goes away is waited for, not the end
  const char* metrics_path = nullptr;  // -m
  const char* add_lifetime = nullptr;  // -a: the writer's lifetime text
  int first_operand = 0;  // argv's first operand (the writer's keys)
};

// Writes the usage text to standard error in one piece and exits with 1.
[[noreturn]] void show_usage();

// Writes "hostreapd VERSION" to standard output and exits with 0 (74 when
// it cannot be written).
[[noreturn]] void print_version();

// Reads the options of argv (stopping at the first operand) into *opts and
// table_name. Returns only when a table was given and accepted.
void read_options(int argc, char** argv, daemon_options* opts);

// Whether the options (read as getopt will read them, up to the first
// operand) include -l. A listing logs nothing, not even the start, so this
// is asked before the log is opened.
bool asks_for_listing(int argc, char** argv);

// Whether the options (read the same way) include -a: the writer's mode
// (daemon/add_entries.h).
bool asks_for_adding(int argc, char** argv);

// Whether the options (read the same way) include -V. The version is asked
// for before anything else is checked, and logs nothing either.
bool asks_for_version(int argc, char** argv);
