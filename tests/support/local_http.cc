// SPDX-License-Identifier: BSD-2-Clause
// Talking to the HTTP servers of process tests: see local_http.h.
#include "tests/support/local_http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <sstream>

std::string find_program(const std::string& name) {
  const char* path = getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

int listening_port(const child_process& server, int timeout_ms, std::string* why) {
  static const std::regex listening(R"(msg="Listening on" address=127\.0\.0\.1:([0-9]+))");
  int port = 0;
  bool ended = false;
  poll_until(
      [&] {
        std::smatch m;
        const std::string log = server.err();
        if (std::regex_search(log, m, listening)) port = atoi(m[1].str().c_str());
        ended = port == 0 && !process_alive(server.pid);
        return port > 0 || ended;
      },
      timeout_ms);
  if (port == 0) *why = (ended ? "it ended: " : "it did not say where it listens: ") + server.err();
  return port;
}

std::string http_get(int port, const std::string& path, std::string* why) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *why = std::string("socket: ") + strerror(errno);
    return "";
  }
  timeval limit{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    *why = std::string("connect: ") + strerror(errno);
  } else {
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
      *why = std::string("send: ") + strerror(errno);
    } else {
      char buf[65536];
      ssize_t n;
      while ((n = recv(fd, buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<size_t>(n));
      if (n < 0) *why = std::string("recv: ") + strerror(errno);
    }
  }
  close(fd);
  size_t body = reply.find("\r\n\r\n");
  if (reply.rfind("HTTP/1.", 0) != 0 || reply.find(" 200 ") == std::string::npos ||
      body == std::string::npos) {
    if (why->empty()) *why = "not a 200 answer: " + reply.substr(0, 200);
    return "";
  }
  return reply.substr(body + 4);
}
