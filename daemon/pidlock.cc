#include "daemon/pidlock.h"
pidlock* pidlock_open(const char*, mode_t, int32_t*) { errno = ENOSYS; return nullptr; }
int pidlock_write(pidlock*) { errno = ENOSYS; return -1; }
int pidlock_remove(pidlock*, bool) { errno = ENOSYS; return -1; }
