// SPDX-License-Identifier: BSD-2-Clause
// The writer's mode: hostreapd -t table -a lifetime [-n] key ... adds each
// key to the table, or renews it in place where it is present, with the
// deadline its lifetime gives in the field the sweep reads as the entry's
// time (daemon/add_batch.h), and ends.
//
//   keys     the operands after the options, each an IPv4 or IPv6 host or
//            prefix (fwtable/address_key.h); they are all checked before
//            the firewall is asked anything, and one that is not a key
//            refuses the whole command ("KEY: REASON", status 65) with
//            nothing added
//   -        the one operand: keys are read from standard input, one a
//            line, each optionally followed by a lifetime of its own
//            (daemon/key_lines.h); a line that is not one is reported with
//            its number ("line N: ...") and passed over, and the status is
//            65 at the end
//
// Keys go to the kernel ENTRY_WRITE_MAX (256) a batch: a batch is sent when
// it is full, when the input ends, and when the input has nothing more to
// read at once (a writer feeding a pipe line by line has each key sent
// when it comes). Relative lifetimes count from the moment their line (or
// the command) is read. Memory is bounded whatever the input's length: one
// batch and one buffer of input.
//
// Nothing is logged but the additions and renewals (no "starting...."),
// through the daemon's own log sender; -n logs nothing and changes nothing
// and prints what would be done. SIGINT and SIGTERM are held off while a
// batch is sent (its request, its answer and its log lines go together);
// one ends the mode where it waits for or reads input, or after the last
// batch, once the keys read so far have been sent and logged, by the same
// signal. SIGPIPE is ignored.
//
// Owns: the batch and the input buffer (static storage).
// Failure: returns the exit status: 0; 65 when a line or an operand was
// refused; 71 when the kernel did not take a key (a full table); 74 when
// standard input or output could not be read or written. Ends the process
// itself: 64 for a bad lifetime, no key, or "-" beside other keys; what
// refuses the table (daemon/add_batch.h: 65, 71); 69 when the control
// socket cannot be opened; 78 on a kernel of the other release.
#pragma once

// argv as main has it, -a among its options.
int add_entries_main(int argc, char** argv);
