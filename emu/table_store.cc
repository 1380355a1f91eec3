#include "emu/table_store.h"
#include <cerrno>
struct emu_store {};
emu_store* emu_store_new() { return new emu_store; }
void emu_store_free(emu_store* s) { delete s; }
int emu_store_get(emu_store*, void*, uint32_t*) { errno = ENOSYS; return -1; }
int emu_store_fwctl_handler(void* ctx, void* buf, uint32_t* len) { return emu_store_get(static_cast<emu_store*>(ctx), buf, len); }
int emu_store_admin(emu_store*, const std::vector<std::string>&, std::string* out) { *out = "not built yet"; return 70; }
