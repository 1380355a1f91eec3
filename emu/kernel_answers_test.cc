// SPDX-License-Identifier: BSD-2-Clause
// The emulator against the table of kernel answers (conform/kernel_answers.h):
// each row tried against a store emulating FreeBSD 14 and one emulating 15
// (rows of one release against that release's only), with the request built
// in that kernel's layout. The rows' tables are made with ipfw(8)'s words,
// through the emulator's ipfw command, as fwconform's are when it runs
// against a fwemu server (`fwemu ipfw` as its ADMIN).
#include "conform/kernel_answers.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "conform/answer_run.h"
#include "conform/conform_target.h"
#include "emu/store_state.h"
#include "emu/table_store.h"

namespace {

using words_t = std::vector<std::string>;

struct store_deleter {
  void operator()(emu_store* s) const { emu_store_free(s); }
};

int store_get(void* ctx, void* buf, uint32_t* len) {
  return emu_store_get(static_cast<emu_store*>(ctx), buf, len);
}

TEST(KernelAnswers, EachRowUnderFreeBSD14And15) {
  const std::vector<kernel_answer>& rows = kernel_answers();
  for (size_t i = 0; i < rows.size(); i++) {
    for (int abi : {14, 15}) {
      if (!kernel_answer_applies(rows[i], abi)) continue;
      SCOPED_TRACE("row " + std::to_string(i + 1) + ": " + rows[i].what + " (FreeBSD " + std::to_string(abi) +
                   ")");
      std::unique_ptr<emu_store, store_deleter> store{emu_store_new(abi)};
      conform_target t{abi, "k", store_get, store.get(), [&](const words_t& words) {
                         words_t command = {"ipfw"};
                         command.insert(command.end(), words.begin(), words.end());
                         std::string out;
                         return emu_store_admin(store.get(), command, &out);
                       }};
      EXPECT_EQ(run_kernel_answer(rows[i], t), "");
      conform_clean(t);
      EXPECT_TRUE(store->tables.empty()) << "a row's tables are all removed after it";
    }
  }
}

}  // namespace
