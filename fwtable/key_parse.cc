#include "fwtable/key_parse.h"
#include "fwtable/fatal.h"
void parse_entry_key(const ipfw_obj_header*, ipfw_obj_tentry*, char*, int, uint8_t*, uint32_t*, ipfw_xtable_info*) {
  fatal_errx(70, "key parsing not built yet");
}
