// SPDX-License-Identifier: BSD-2-Clause
#include "emu/server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <list>
#include <vector>

#include "emu/admin_status.h"
#include "emu/frame_reader.h"
#include "emu/store_state.h"
#include "fwtable/fw_records.h"
#include "fwtable/fwemu_io.h"

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0
#endif

namespace {

volatile sig_atomic_t stop_requested = 0;

void on_stop_signal(int) { stop_requested = 1; }

struct client {
  int fd;
  emu_frame_reader reader;
  std::vector<uint8_t> out;
  size_t out_done = 0;
  // Bytes of the next request that came with the last one; taken up once
  // the reply to that one is out.
  std::vector<uint8_t> pending;
  bool close_after_reply = false;
  bool gone = false;
  // A reply a fault paces: nothing more of it goes out before next_byte_ms
  // (CLOCK_MONOTONIC milliseconds). One held back (fault hold) then goes
  // out whole; one that drips (fault drip) one byte every drip_ms.
  bool paced = false;
  uint32_t drip_ms = 0;
  int64_t next_byte_ms = 0;
};

void put_reply(client* c, const fwemu_reply_head& rep, const uint8_t* data) {
  c->out.resize(sizeof rep + rep.data);
  memcpy(c->out.data(), &rep, sizeof rep);
  if (rep.data > 0) memcpy(c->out.data() + sizeof rep, data, rep.data);
  c->out_done = 0;
}

void answer_get(emu_store* store, client* c) {
  const fwemu_request_head& h = c->reader.head;
  fwemu_reply_head rep{FWEMU_MAGIC, -1, ENOMEM, h.optlen, 0};
  if (c->reader.no_memory) {
    put_reply(c, rep, nullptr);
    return;
  }
  uint8_t* buf = c->reader.body.get();
  uint32_t len = h.optlen;
  errno = 0;
  int rc = emu_store_get(store, buf, &len);
  rep.result = rc == 0 ? 0 : -1;
  rep.error = rc == 0 ? 0 : (errno != 0 ? errno : EIO);
  // A failed getsockopt does not copy the length back: the client's own
  // goes back with the failure.
  rep.optlen = rc == 0 ? len : h.optlen;
  // Back go the bytes the client sent (its copy of them may differ now) and
  // those the store wrote, a failed request's too (a list buffer too small
  // for the listing carries the info record); past both, the client's
  // buffer and this one are zero alike.
  rep.data = std::min(h.optlen, std::max(h.sent, store->written_end));
  uint32_t most;
  if (emu_fault_take_short_data(&store->faults, &most)) rep.data = std::min(rep.data, most);
  put_reply(c, rep, buf);
  const int64_t now = fwemu_monotonic_ms();
  c->next_byte_ms = now;
  uint32_t hold;
  if (emu_fault_take_hold(&store->faults, &hold)) {
    c->paced = true;
    c->next_byte_ms = now + hold;
  }
  uint32_t drip;
  if (emu_fault_take_drip(&store->faults, &drip)) {
    // After a hold, the first byte drips once the hold is over.
    c->paced = true;
    c->drip_ms = drip;
    c->next_byte_ms += drip;
  }
}

void answer_admin(emu_store* store, client* c) {
  const uint8_t* body = c->reader.body.get();
  size_t n = c->reader.head.sent;
  std::string text;
  int status;
  if (c->reader.no_memory) {
    status = EMU_SYSTEM;
    text = strerror(ENOMEM);
  } else if (n > 0 && body[n - 1] != 0) {
    status = EMU_USAGE;
    text = "malformed command: every word must end with a NUL";
  } else {
    std::vector<std::string> words;
    for (size_t at = 0; at < n;) {
      size_t len = strlen(reinterpret_cast<const char*>(body + at));
      words.emplace_back(reinterpret_cast<const char*>(body + at), len);
      at += len + 1;
    }
    status = emu_store_admin(store, words, &text);
  }
  fwemu_reply_head rep{FWEMU_MAGIC, status, 0, 0, static_cast<uint32_t>(text.size())};
  put_reply(c, rep, reinterpret_cast<const uint8_t*>(text.data()));
}

void answer_bad_frame(client* c) {
  fwemu_reply_head rep{FWEMU_MAGIC, -1, EPROTO, 0, 0};
  put_reply(c, rep, nullptr);
  c->close_after_reply = true;
}

// Takes the client's bytes up to the end of its next request and answers
// that; what follows waits in `pending` until the reply is out.
void take_bytes(emu_store* store, client* c, const uint8_t* data, size_t n) {
  size_t at = 0;
  while (at < n && c->out.empty() && !c->close_after_reply) {
    size_t used;
    emu_feed f = emu_frame_feed(&c->reader, data + at, n - at, &used);
    at += used;
    if (f == emu_feed::more) continue;
    if (f == emu_feed::bad) {
      answer_bad_frame(c);
    } else if (c->reader.head.kind == FWEMU_KIND_GET) {
      answer_get(store, c);
    } else {
      answer_admin(store, c);
    }
    emu_frame_reset(&c->reader);
  }
  if (!c->close_after_reply) c->pending.insert(c->pending.end(), data + at, data + n);
}

// Reads what the client has sent (only while no reply waits for it).
void read_client(emu_store* store, client* c) {
  uint8_t chunk[64 * 1024];
  ssize_t n = recv(c->fd, chunk, sizeof chunk, 0);
  if (n < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) c->gone = true;
    return;
  }
  if (n == 0) {
    c->gone = true;
    return;
  }
  take_bytes(store, c, chunk, static_cast<size_t>(n));
}

// Writes what the socket takes of the pending reply; of a held one,
// nothing until its time has come; of a dripping one, the next byte once
// its time has come.
void write_client(client* c) {
  while (c->out_done < c->out.size()) {
    size_t want = c->out.size() - c->out_done;
    if (c->paced) {
      if (fwemu_monotonic_ms() < c->next_byte_ms) return;
      if (c->drip_ms > 0)
        want = 1;
      else
        c->paced = false;  // held, and now due: the rest as the socket takes it
    }
    ssize_t n = send(c->fd, c->out.data() + c->out_done, want, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) c->gone = true;
      return;
    }
    c->out_done += static_cast<size_t>(n);
    if (c->drip_ms > 0) c->next_byte_ms = fwemu_monotonic_ms() + c->drip_ms;
  }
  c->out.clear();
  c->out_done = 0;
  c->paced = false;
  c->drip_ms = 0;
  if (c->close_after_reply) c->gone = true;
}

// How long the poll may wait: until a held reply or the next byte of a
// dripping one is due, or for ever (null) when none is paced.
const timespec* poll_timeout(const std::list<client>& clients, timespec* ts) {
  int64_t first = -1;
  for (const client& c : clients)
    if (c.paced && !c.out.empty() && (first < 0 || c.next_byte_ms < first)) first = c.next_byte_ms;
  if (first < 0) return nullptr;
  int64_t left = std::max<int64_t>(0, first - fwemu_monotonic_ms());
  ts->tv_sec = static_cast<time_t>(left / 1000);
  ts->tv_nsec = static_cast<long>(left % 1000) * 1000000L;
  return ts;
}

// After a reply: answers the requests that arrived with the last one.
void take_pending(emu_store* store, client* c) {
  while (!c->gone && c->out.empty() && !c->pending.empty()) {
    std::vector<uint8_t> bytes;
    bytes.swap(c->pending);
    take_bytes(store, c, bytes.data(), bytes.size());
    if (!c->out.empty()) write_client(c);
  }
}

void accept_clients(emu_store* store, int listen_fd, std::list<client>* clients) {
  for (;;) {
    int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;  // EAGAIN, or a failure that the next poll retries
#ifdef SO_NOSIGPIPE
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    emu_store_count_connection(store);
    clients->push_back(client{fd, {}, {}, 0, {}, false, false, false, 0, 0});
  }
}

struct signal_guard {
  struct sigaction old_int, old_term;
  sigset_t old_mask;
  sigset_t wait_mask;  // the mask while polling: stop signals let through

  signal_guard() {
    stop_requested = 0;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &old_int);
    sigaction(SIGTERM, &sa, &old_term);
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigprocmask(SIG_BLOCK, &block, &old_mask);
    wait_mask = old_mask;
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGTERM);
  }
  ~signal_guard() {
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGTERM, &old_term, nullptr);
  }
};

}  // namespace

int emu_serve(emu_store* store, const emu_listener& listener, std::string* why) {
  signal_guard signals;
  std::list<client> clients;
  int status = 0;
  std::vector<pollfd> fds;
  while (!stop_requested) {
    fds.clear();
    fds.push_back(pollfd{listener.fd, POLLIN, 0});
    // A held or dripping reply is written when it (or its next byte) is
    // due, not when the socket has room.
    for (const client& c : clients)
      fds.push_back(pollfd{c.fd, static_cast<short>(c.out.empty() ? POLLIN : c.paced ? 0 : POLLOUT), 0});
    timespec ts;
    if (ppoll(fds.data(), fds.size(), poll_timeout(clients, &ts), &signals.wait_mask) < 0) {
      if (errno == EINTR) continue;
      *why = std::string("poll: ") + strerror(errno);
      status = EMU_SYSTEM;
      break;
    }
    size_t i = 1;
    for (client& c : clients) {
      short ev = fds[i++].revents;
      // A client gone while its reply is held or drips is dropped at once.
      if ((ev & (POLLERR | POLLNVAL)) || (c.paced && (ev & POLLHUP)))
        c.gone = true;
      else if (!c.out.empty() && (ev & (POLLOUT | POLLHUP)))
        write_client(&c);
      else if (ev & (POLLIN | POLLHUP))
        read_client(store, &c);
      if (!c.gone && !c.out.empty()) write_client(&c);
      take_pending(store, &c);
    }
    clients.remove_if([](const client& c) {
      if (c.gone) close(c.fd);
      return c.gone;
    });
    if (fds[0].revents & POLLIN) accept_clients(store, listener.fd, &clients);
  }
  for (client& c : clients) close(c.fd);
  return status;
}
