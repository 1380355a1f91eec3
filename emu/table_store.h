// The emulator's table store: tables held in memory that answer the IPFW
// table requests (info 93, list 89, delete 87, add 86) in the kernel's byte
// layouts and with its error behaviour, plus the administrative commands of
// the fwemu tool and fault injection for tests. Used by the fwemu server and,
// in-process, by unit tests (as the platform's control channel).
//
// Owns: every table and entry, and the pending faults.
// Failure: emu_store_get has getsockopt's contract (0, or -1 with errno);
// emu_store_admin returns an exit status (emu/admin_status.h) with a
// message in its text.
// Malformed requests are EINVAL; nothing a client sends crashes it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct emu_store;

emu_store* emu_store_new();
void emu_store_free(emu_store* store);

// One get request: the opcode in the op header at the start of buf, the
// request in buf[0..*len), the reply written over it (never past *len),
// *len set to the reported length.
int emu_store_get(emu_store* store, void* buf, uint32_t* len);

// The platform's control request (platform_fwctl_fn); ctx is the emu_store.
int emu_store_fwctl_handler(void* ctx, void* buf, uint32_t* len);

// One administrative command, as the words of the fwemu tool after the
// program name ("create", "t5", "type", "addr"). Returns the exit status
// (0 on success) and the text to print in *out.
int emu_store_admin(emu_store* store, const std::vector<std::string>& words, std::string* out);
