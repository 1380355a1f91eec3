#include "daemon/command_line.h"

#include <err.h>
#include <sysexits.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "daemon/process_state.h"
#include "fwtable/fatal.h"

namespace {

constexpr char usage_text[] =
    "\nUsage: hostreapd -t table [-s seconds]\n"
    "       -t          set the IPFW table number\n"
    "       -s          set the sleep time between cycles, default: 5sec\n"
    "       -p          PID file path, default: none\n"
    "       -f          run the daemon in the foreground (do not daemonize)\n"
    "       -h          print this message.\n\n";

// GNU getopt reorders the arguments unless told not to; reading must stop
// at the first operand.
#ifdef __GLIBC__
constexpr char option_string[] = "+t:s:hfp:";
#else
constexpr char option_string[] = "t:s:hfp:";
#endif

// atoi's result, without its undefined behaviour on overflow: the leading
// decimal number as strtol reads it, cut to an int as atoi would.
int atoi_int(const char* text) { return static_cast<int>(strtol(text, nullptr, 10)); }

}  // namespace

void show_usage() {
  fwrite(usage_text, 1, sizeof usage_text - 1, stderr);
  exit(1);
}

void read_options(int argc, char** argv, daemon_options* opts) {
  int ch;
  while ((ch = getopt(argc, argv, option_string)) != -1) {
    switch (ch) {
      case 't': {
        int t = atoi_int(optarg);
        if (static_cast<uint32_t>(t) >= 128) fatal_errx(EX_USAGE, "table number can be from 0 to 127");
        table_number = t;
        break;
      }
      case 's':
        opts->sleep_seconds = atoi_int(optarg);
        break;
      case 'p':
        opts->pid_path = optarg;
        break;
      case 'f':
        opts->detach = false;
        break;
      default:  // -h, an unknown option, a missing argument
        show_usage();
    }
  }
  if (table_number == -1) {
    warnx("table number required");
    show_usage();
  }
}
