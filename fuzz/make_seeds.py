#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are committed; run this again only after changing it. Each seed
follows the input layout described at the top of its target's source.
"""
import ipaddress
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")

ADDR, IFACE, NUMBER, FLOW, MAC = 1, 2, 3, 4, 5
SRCIP, DSTIP, SRCPORT, DSTPORT, PROTO = 0x01, 0x02, 0x04, 0x08, 0x10
AF_INET, AF_LINK, AF_INET6 = 2, 18, 28
LEGACY = 0xFFFFFFFF
SKIPTO, PIPE, FIB, NAT, DSCP, TAG, DIVERT, NETGRAPH, LIMIT, NH4, NH6 = (1 << i for i in range(11))

ENOMEM_ANSWER, REPLY_AS_WRITTEN, REPLY_WITH_LENGTH, REFUSED = 1, 0, 2, 3


def write_corpus(target, seeds):
    d = os.path.join(CORPUS, target)
    shutil.rmtree(d, ignore_errors=True)
    os.makedirs(d)
    for name, data in seeds.items():
        with open(os.path.join(d, name), "wb") as f:
            f.write(data)


# ---- records, host (little-endian) order --------------------------------

def xtable_info(type_=ADDR, tflags=0, vmask=LEGACY, set_=0, count=0, size=0, name=b"t5"):
    return struct.pack("<BBHH6sIIIIIII64s64s32s", type_, tflags, 0, 0, b"", vmask, set_, 1, 1,
                       count, size, 0, name, b"addr:radix", b"")


def value(tag=0, pipe=0, divert=0, skipto=0, netgraph=0, nat=0, nh4=0, fib=0, dscp=0, nh6=b"",
          limit=0, zoneid=0):
    return struct.pack("<IHHIIIIHBB4s16sII8s", tag, pipe, divert, skipto, netgraph, nat, nh4, fib, dscp, 0,
                       b"", nh6, limit, zoneid, b"")


def tentry(family, masklen, key, val=None, length=120):
    return struct.pack("<HHIBBBBI40s64s", 0, 0, length, family, masklen, 0, 0, 1, key, val or value())


def v4(text):
    return ipaddress.IPv4Address(text).packed


def v6(text):
    return ipaddress.IPv6Address(text).packed


def flow_key(af, proto=0, sport=0, dport=0, src=b"", dst=b""):
    addr = src + dst if af == AF_INET else src.ljust(16, b"\0") + dst
    return struct.pack("<BBHHH32s", af, proto, 0, struct.unpack("<H", struct.pack(">H", sport))[0],
                       struct.unpack("<H", struct.pack(">H", dport))[0], addr)


# ---- key_parse_fuzz: type byte, flow-field byte, key text ---------------

def key_seeds():
    def seed(type_, text, tflags=0):
        return bytes([type_, tflags]) + text.encode()

    return {
        "addr_v4": seed(ADDR, "192.0.2.1"),
        "addr_v4_width": seed(ADDR, "192.0.2.0/24"),
        "addr_v6": seed(ADDR, "2001:db8::1"),
        "addr_v6_width": seed(ADDR, "2001:db8::/64"),
        "addr_short_v4": seed(ADDR, "10.1/99"),
        "addr_host": seed(ADDR, "localhost"),
        "iface": seed(IFACE, "em0"),
        "number": seed(NUMBER, "42"),
        "flow_v4": seed(FLOW, "192.0.2.1,tcp,ssh,192.0.2.2,80", SRCIP | PROTO | SRCPORT | DSTIP | DSTPORT),
        "flow_v6": seed(FLOW, "2001:db8::1,2001:db8::2,443", SRCIP | DSTIP | DSTPORT),
        "mac": seed(MAC, "00:11:22:33:44:55/48"),
        "mac_wide": seed(MAC, "00:11:22:33:44:55/49"),
        "addr_v4_wide": seed(ADDR, "192.0.2.0/33"),
        "addr_v6_wide": seed(ADDR, "2001:db8::/129"),
        "addr_v4_compatible": seed(ADDR, "::192.0.2.1"),
        "flow_proto_wrap": seed(FLOW, "-1", PROTO),
        "flow_port_wrap": seed(FLOW, "192.0.2.1,70000", SRCIP | DSTPORT),
        "flow_dst_missing": seed(FLOW, "192.0.2.1", SRCIP | DSTIP | DSTPORT),
        "missing_table": seed(ADDR | 12 << 4, "192.0.2.1"),
        "add_missing_table": seed(ADDR | 1 << 3 | 12 << 4, "192.0.2.1"),
    }


# ---- list_reply_fuzz: info answer, info record, list answers ------------

def list_script(info, answers, reply, sweep_below=None):
    out = bytes([0 if sweep_below is None else 1]) + struct.pack("<I", sweep_below or 0)
    out += bytes([0]) + struct.pack("<I", 0) + info
    for code, length in answers:
        out += bytes([code]) + struct.pack("<I", length)
    return out + struct.pack("<H", len(reply)) + reply if reply else out


def list_seeds():
    expiries = [1700000000, 4000000000, 1]
    keys = [(AF_INET, 32, v4("192.0.2.7")), (AF_INET6, 64, v6("fd00:1::")), (AF_INET6, 128, v6("fd00::5"))]
    entries = b"".join(tentry(f, m, k, value(tag=t)) for (f, m, k), t in zip(keys, expiries))
    size = 296 + len(entries)
    addr_info = xtable_info(ADDR, count=3, size=size)
    addr_reply = xtable_info(ADDR, count=3, size=size) + entries

    # The table grew between the info request and the listing: ENOMEM with
    # the length needed, then the reply.
    grown = entries + tentry(AF_INET, 24, v4("198.51.100.0"), value(tag=5))
    grown_info = xtable_info(ADDR, count=4, size=296 + len(grown))
    grown_reply = grown_info + grown

    number_entries = tentry(0, 32, struct.pack("<I", 80), value(tag=0)) + \
        tentry(0, 32, struct.pack("<I", 443), value(tag=9))
    number_info = xtable_info(NUMBER, count=2, size=296 + len(number_entries))
    number_reply = number_info + number_entries

    # Entries of their own, longer length: stepped over by it.
    long_entry = tentry(AF_INET, 32, v4("192.0.2.9"), value(tag=7), length=136) + b"\0" * 16
    long_info = xtable_info(ADDR, count=1, size=296 + len(long_entry))

    # An entry of a family that has no key text among address entries.
    mixed = tentry(AF_INET, 32, v4("192.0.2.8"), value(tag=2)) + tentry(0, 0, b"", value(tag=3))
    mixed_info = xtable_info(ADDR, count=2, size=296 + len(mixed))

    return {
        "addresses": list_script(addr_info, [(REPLY_AS_WRITTEN, 0)], addr_reply),
        "address_without_family": list_script(mixed_info, [(REPLY_AS_WRITTEN, 0)], mixed_info + mixed),
        "enomem_then_reply": list_script(addr_info, [(ENOMEM_ANSWER, 296 + len(grown) + 200),
                                                     (REPLY_AS_WRITTEN, 0)], grown_reply),
        "empty_table": list_script(xtable_info(ADDR, size=296), [(REPLY_AS_WRITTEN, 0)], xtable_info(ADDR, size=296)),
        "numbers": list_script(number_info, [(REPLY_AS_WRITTEN, 0)], number_reply),
        "long_entry": list_script(long_info, [(REPLY_AS_WRITTEN, 0)], long_info + long_entry),
        "refused": list_script(addr_info, [(REFUSED, 0)], b""),
        # Listings one after another through the kept buffer: larger, then
        # smaller (an earlier reply still lies past the new one), a refused
        # one, then a sweep of which one entry is due.
        "listings_of_different_sizes": list_script(grown_info, [(REPLY_AS_WRITTEN, 0)], grown_reply)
        + list_script(number_info, [(REPLY_AS_WRITTEN, 0)], number_reply)
        + list_script(addr_info, [(REFUSED, 0)], b"")
        + list_script(addr_info, [(REPLY_AS_WRITTEN, 0)], addr_reply, sweep_below=1700000000),
    }


# ---- value_format_fuzz: mask, type, flow fields, entry ------------------

def value_seeds():
    def seed(vmask, type_, entry, tflags=0):
        return struct.pack("<IBB", vmask, type_, tflags) + entry

    every_field = value(tag=4294967295, pipe=65535, divert=65535, skipto=4294967295, netgraph=4294967295,
                        nat=4294967295, nh4=0xC0000201, fib=65535, dscp=255,
                        nh6=v6("fe80:1234:5678:9abc:def0:1234:5678:9abc"), limit=4294967295, zoneid=4294967295)
    addr = tentry(AF_INET, 32, v4("192.0.2.7"), value(tag=500))
    return {
        "legacy_addr": seed(LEGACY, ADDR, addr),
        "addr_no_family": seed(LEGACY, ADDR, tentry(0, 32, v4("192.0.2.7"), value(tag=1))),
        "addr_v4_prefix": seed(LEGACY, ADDR, tentry(AF_INET, 24, v4("198.51.100.0"), value(tag=1))),
        "addr_v4_compatible": seed(LEGACY, ADDR, tentry(AF_INET6, 128, v6("::192.0.2.1"), value(tag=1))),
        "addr_v4_mask_33": seed(LEGACY, ADDR, tentry(AF_INET, 33, v4("192.0.2.7"), value(tag=1))),
        "addr_v6_mask_129": seed(LEGACY, ADDR, tentry(AF_INET6, 129, v6("fd00::5"), value(tag=1))),
        "skipto_tag": seed(SKIPTO | TAG, ADDR, tentry(AF_INET6, 64, v6("fd00:1::"), value(skipto=100, tag=5))),
        "pipe_nh4_nh6": seed(PIPE | NH4 | NH6, NUMBER,
                             tentry(0, 32, struct.pack("<I", 80), value(pipe=3, nh4=0xC0000201, nh6=v6("2001:db8::1")))),
        "every_field": seed(0x7FF, ADDR, tentry(AF_INET6, 128, v6("fd00::5"), every_field)),
        "high_bits_only": seed(0x7FFFF800, IFACE, tentry(0, 128, b"em0", value(tag=1))),
        "flow": seed(LEGACY, FLOW, tentry(AF_INET, 0, flow_key(AF_INET, 6, 0, 22, v4("192.0.2.1"), v4("192.0.2.2")),
                                          value(tag=7)), SRCIP | PROTO | DSTPORT),
        "mac": seed(LEGACY, MAC, tentry(AF_LINK, 48, bytes.fromhex("001122334455"), value(tag=9))),
    }


if __name__ == "__main__":
    write_corpus("key_parse_fuzz", key_seeds())
    write_corpus("list_reply_fuzz", list_seeds())
    write_corpus("value_format_fuzz", value_seeds())
