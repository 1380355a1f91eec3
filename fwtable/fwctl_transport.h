// SPDX-License-Identifier: BSD-2-Clause
// The transport under the control channel, one implementation chosen at
// build time:
//  - fwctl_transport_freebsd.cc: a raw IPv4 socket and getsockopt at
//    IPPROTO_IP, option IP_FW3. The default on FreeBSD.
//  - fwctl_transport_emu.cc: a Unix-domain stream socket to the fwemu
//    emulator (path from FWEMU_SOCKET, default FWEMU_DEFAULT_SOCKET), which
//    carries the buffer, the length in and out, the result and errno exactly
//    as getsockopt would. The default everywhere else. A wait for a reply
//    given up because the program was asked to stop returns FWCTL_GIVEN_UP
//    (errno ECANCELED; fwtable/platform.h).
//
// Owns: nothing; the descriptor belongs to fwctl.cc.
// Failure: errno-style; both functions print nothing.
#pragma once

#include <cstdint>

// Opens the control socket. Returns the descriptor, or -1 with errno set.
int fwctl_transport_open();

// One get request on the open control socket, with getsockopt's contract:
// the request in buf[0..*len), the reply written over it; on success *len
// set to the length reported back, on failure *len left as passed. Returns
// 0, or -1 with errno set, or FWCTL_GIVEN_UP for a wait given up for a stop.
int fwctl_transport_get(int fd, void* buf, uint32_t* len);
