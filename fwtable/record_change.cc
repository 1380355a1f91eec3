#include "fwtable/record_change.h"
#include "fwtable/fatal.h"
void change_table_records(ipfw_obj_header*, int, int, int, char**) { fatal_errx(70, "record change not built yet"); }
