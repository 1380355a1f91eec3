#include "fwtable/table_command.h"
#include "fwtable/fatal.h"
void run_table_command(int, char**) { fatal_errx(70, "interpreter not built yet"); }
void set_address_entry_handler(address_entry_fn) {}
address_entry_fn address_entry_handler() { return nullptr; }
