// The expiry decision for one address entry: the entry's value is the Unix
// time after which it is no longer wanted. When that time has passed, the
// removal is logged ("Removing host %s from table %d", LOG_INFO) and the
// entry is deleted through the table command interpreter.
//
// Owns: the delete command vector of one call (released before it returns)
// and the clock seam (set once; the daemon uses the real clock).
// Failure: reports nothing; a failed deletion is dealt with (and may end the
// process) inside the interpreter.
#pragma once

#include <cstdint>

// Key text (writable; the deletion may cut it) and expiry in seconds since
// the epoch. Due when the clock is strictly past the expiry. Returns 0.
int expire_if_due(char* key_text, uint32_t expiry);

// The clock the decision reads: seconds since the epoch. nullptr restores
// the real clock (time(3)).
using expiry_clock_fn = int64_t (*)();
void set_expiry_clock(expiry_clock_fn clock);
