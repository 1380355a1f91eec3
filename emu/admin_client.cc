// SPDX-License-Identifier: BSD-2-Clause
#include "emu/admin_client.h"

#include <unistd.h>

#include <cerrno>

#include "emu/frame_reader.h"
#include "fwtable/fwemu_io.h"
#include "fwtable/fwemu_wire.h"
#include "fwtable/write_all.h"

namespace {

// A reply text longer than this is taken for a broken server.
constexpr uint32_t MAX_TEXT = 1u << 30;

struct fd_closer {
  int fd;
  ~fd_closer() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

int emu_admin_call(const char* path, const std::vector<std::string>& words, std::string* text) {
  std::string body;
  for (const std::string& w : words) {
    body += w;
    body += '\0';
  }
  if (body.size() > EMU_ADMIN_MAX) {
    errno = E2BIG;
    return -1;
  }
  fd_closer conn{fwemu_connect(path)};
  if (conn.fd < 0) return -1;
  fwemu_request_head req{FWEMU_MAGIC, FWEMU_KIND_ADMIN, 0, static_cast<uint32_t>(body.size())};
  if (write_all(conn.fd, &req, sizeof req) != 0 || write_all(conn.fd, body.data(), body.size()) != 0)
    return -1;
  fwemu_reply_head rep;
  if (fwemu_read_all(conn.fd, &rep, sizeof rep) != 0) return -1;
  if (rep.magic != FWEMU_MAGIC || rep.result < 0 || rep.data > MAX_TEXT) {
    errno = EPROTO;
    return -1;
  }
  text->assign(rep.data, '\0');
  if (rep.data > 0 && fwemu_read_all(conn.fd, text->data(), rep.data) != 0) return -1;
  return rep.result;
}
