// SPDX-License-Identifier: BSD-2-Clause
// Stand-ins for the C library's name lookups in the fuzz targets that
// parse key texts. Include this in exactly one source of a fuzz executable:
// it defines the functions, it does not just declare them.
//
// Owns: the static records each lookup returns, as the C library's do.
// Failure: an unknown name gives nullptr (and HOST_NOT_FOUND in h_errno).
#pragma once

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

// The parser's name lookups. A definition in this executable takes the
// place of the C library's (the static link resolves the parser's calls to
// it), so random text never reaches the resolver, which has no network here
// and may stall, and the services and protocols databases, which cost a
// file read per call (about 20 and 13 microseconds measured, several times
// a whole parse) and differ from machine to machine. Each answers from a
// tiny fixed list. Defined here, in a header that one source includes.
// NOLINTBEGIN(misc-definitions-in-headers)
extern "C" hostent* gethostbyname(const char* name) {
  static char loopback[4] = {127, 0, 0, 1};
  static char* addresses[] = {loopback, nullptr};
  static char* aliases[] = {nullptr};
  static char official[] = "localhost";
  static hostent host = {official, aliases, AF_INET, 4, addresses};
  if (strcmp(name, "localhost") != 0) {
    h_errno = HOST_NOT_FOUND;
    return nullptr;
  }
  return &host;
}

extern "C" servent* getservbyname(const char* name, const char* proto) {
  struct known {
    const char* name;
    uint16_t port;
  };
  static const known services[] = {{"ssh", 22}, {"domain", 53}, {"http", 80}, {"https", 443}};
  static char* aliases[] = {nullptr};
  static char tcp[] = "tcp";
  static char found_name[16];
  static servent found;
  if (proto != nullptr && strcmp(proto, "tcp") != 0) return nullptr;
  for (const known& s : services) {
    if (strcmp(name, s.name) != 0) continue;
    snprintf(found_name, sizeof found_name, "%s", s.name);
    found = {found_name, aliases, htons(s.port), tcp};
    return &found;
  }
  return nullptr;
}

extern "C" protoent* getprotobyname(const char* name) {
  struct known {
    const char* name;
    int number;
  };
  static const known protocols[] = {{"icmp", 1}, {"tcp", 6}, {"udp", 17}, {"ipv6-icmp", 58}};
  static char* aliases[] = {nullptr};
  static char found_name[16];
  static protoent found;
  for (const known& p : protocols) {
    if (strcmp(name, p.name) != 0) continue;
    snprintf(found_name, sizeof found_name, "%s", p.name);
    found = {found_name, aliases, p.number};
    return &found;
  }
  return nullptr;
}
// NOLINTEND(misc-definitions-in-headers)
