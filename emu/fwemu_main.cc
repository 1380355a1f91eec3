// fwemu: the emulator of the kernel's table interface, and the tool that
// administers it. "fwemu serve" holds the tables; every other verb is sent
// to the running server and its answer printed.
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
          "usage: fwemu [-s PATH] serve\n"
          "       fwemu [-s PATH] create NAME [type addr|iface|number|flow:FIELD,...|mac]\n"
          "                       [valtype legacy|TYPE,...] [limit N] [set N]\n"
          "       fwemu [-s PATH] add NAME KEY [VALUE] | delete NAME KEY\n"
          "       fwemu [-s PATH] list NAME | info NAME | lock NAME | unlock NAME\n"
          "       fwemu [-s PATH] flush NAME | destroy NAME | fault ... | stats | help\n"
          "       fwemu -V\n");
  return EX_USAGE;
}

int version() {
  if (printf("fwemu %s\n", HOSTREAPD_VERSION) < 0 || fflush(stdout) != 0)
    fatal_err(EX_IOERR, "cannot write the version");
  return 0;
}

struct store_owner {
  emu_store* store = emu_store_new();
  ~store_owner() { emu_store_free(store); }
};

int serve(const char* path) {
  signal(SIGPIPE, SIG_IGN);
  emu_listener listener;
  std::string why;
  if (int st = emu_listen(path, &listener, &why)) fatal_errx(st, "%s", why.c_str());
  store_owner owner;
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
    if (i + 1 != argc) return usage();
    return serve(path);
  }
  return command(path, std::vector<std::string>(argv + i, argv + argc));
}
