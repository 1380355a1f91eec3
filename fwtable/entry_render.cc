#include "fwtable/entry_render.h"
void format_entry_value(uint32_t, const ipfw_table_value*, char* buf) { buf[0] = '\0'; }
void format_address_key(const ipfw_obj_tentry*, char* buf) { buf[0] = '\0'; }
void render_table_entry(const ipfw_xtable_info*, const ipfw_obj_tentry*, address_entry_fn) {}
