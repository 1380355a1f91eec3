// SPDX-License-Identifier: BSD-2-Clause
// fwemu: the emulator of the kernel's table interface, and the tool that
// administers it. "fwemu serve" holds the tables and answers in the layout
// of FreeBSD 15's kernel, or of FreeBSD 14's with --abi 14; every other verb
// is sent to the running server and its answer printed.
#include <sys/socket.h>
#include <sysexits.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "emu/admin_client.h"
#include "emu/admin_status.h"
#include "emu/listen_socket.h"
#include "emu/server.h"
#include "emu/table_store.h"
#include "fwtable/fatal.h"
#include "fwtable/fwemu_wire.h"

namespace {

int usage() {
  fprintf(stderr,
          "usage: fwemu [-s PATH] serve [--abi 14|15]\n"
          "       fwemu [-s PATH] create NAME [type addr|iface|number|flow:FIELD,...|mac]\n"
          "                       [valtype legacy|TYPE,...] [limit N] [set N]\n"
          "       fwemu [-s PATH] add NAME KEY [VALUE] | delete NAME KEY\n"
          "       fwemu [-s PATH] list NAME | info NAME | lock NAME | unlock NAME\n"
          "       fwemu [-s PATH] flush NAME | destroy NAME | fault ... | stats | help\n"
          "       fwemu [-s PATH] ipfw [set N] table NAME create|add|lock|unlock|destroy|list|info ...\n"
          "       fwemu -V\n");
  return EX_USAGE;
}

int version() {
  if (printf("fwemu %s\n", HOSTREAPD_VERSION) < 0 || fflush(stdout) != 0)
    fatal_err(EX_IOERR, "cannot write the version");
  return 0;
}

struct store_owner {
  emu_store* store;
  explicit store_owner(int abi) : store(emu_store_new(abi)) {}
  ~store_owner() { emu_store_free(store); }
};

// abi: the kernel emulated, FreeBSD 14 or 15.
int serve(const char* path, int abi) {
  signal(SIGPIPE, SIG_IGN);
  // A stop that comes once the socket is there, before the server's own
  // handling is in place, is kept pending for it rather than ending the
  // process with the socket left behind; it stays blocked to the end.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigprocmask(SIG_BLOCK, &stops, nullptr);
  emu_listener listener;
  std::string why;
  if (int st = emu_listen(path, &listener, &why)) fatal_errx(st, "%s", why.c_str());
  store_owner owner(abi);
  int st = emu_serve(owner.store, listener, &why);
  emu_unlisten(&listener);
  if (st != 0) fatal_errx(st, "%s", why.c_str());
  return 0;
}

int command(const char* path, const std::vector<std::string>& words) {
  std::string text;
  int st = emu_admin_call(path, words, &text);
  if (st < 0) {
    if (errno == EPROTO) fatal_errx(EMU_PROTOCOL, "%s: the server's reply makes no sense", path);
    fatal_err(EMU_NO_SERVER, "cannot reach the server at %s", path);
  }
  if (st != 0) {
    fflush(stdout);
    fatal_errx(st, "%s", text.c_str());
  }
  fputs(text.c_str(), stdout);
  if (fflush(stdout) != 0) fatal_err(EX_IOERR, "stdout");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = fwemu_socket_path();
  int i = 1;
  if (i < argc && strcmp(argv[i], "-V") == 0) return i + 1 == argc ? version() : usage();
  if (i < argc && strcmp(argv[i], "-s") == 0) {
    if (i + 1 >= argc) return usage();
    path = argv[i + 1];
    i += 2;
  }
  if (i >= argc || strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) return usage();
  if (strcmp(argv[i], "serve") == 0) {
    // The kernel emulated is FreeBSD 15's unless --abi says otherwise.
    int abi = 15;
    if (i + 3 == argc && strcmp(argv[i + 1], "--abi") == 0) {
      if (strcmp(argv[i + 2], "14") == 0)
        abi = 14;
      else if (strcmp(argv[i + 2], "15") != 0)
        fatal_errx(EX_USAGE, "bad abi (14 or 15): %s", argv[i + 2]);
    } else if (i + 1 != argc) {
      return usage();
    }
    return serve(path, abi);
  }
  return command(path, std::vector<std::string>(argv + i, argv + argc));
}
