// The daemon's command line: getopt with "t:s:hfp:", the table number rule,
// and the usage text.
//
// Owns: nothing; the table number goes to the process-wide table_number,
// the other settings to the caller's daemon_options (the PID-file path
// points into argv, it is not copied).
// Failure: ends the process, as a command-line program does: status 1 with
// the usage text (after getopt's own diagnostic, or "table number
// required"); status 64 for a table number that is not a whole decimal
// number from 0 to 127, or a pause that is not one from 1 to 86400.
#pragma once

struct daemon_options {
  int sleep_seconds = 5;  // -s, 1 to 86400
  const char* pid_path = nullptr;  // -p
  bool detach = true;  // cleared by -f
};

// Writes the usage text to standard error in one piece and exits with 1.
[[noreturn]] void show_usage();

// Reads the options of argv (stopping at the first operand) into *opts and
// table_number. Returns only when a table number was given and accepted.
void read_options(int argc, char** argv, daemon_options* opts);
