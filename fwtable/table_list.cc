#include "fwtable/table_list.h"
#include "fwtable/fatal.h"
void fetch_table_info(const ipfw_obj_header*, ipfw_xtable_info*) { fatal_errx(70, "listing not built yet"); }
void list_table_entries(const ipfw_xtable_info*, address_entry_fn) { fatal_errx(70, "listing not built yet"); }
