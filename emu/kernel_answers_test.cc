// SPDX-License-Identifier: BSD-2-Clause
// The emulator against the table of kernel answers (conform/kernel_answers.h):
// each row tried against a store emulating FreeBSD 14 and one emulating 15
// (rows of one release against that release's only), with the request built
// in that kernel's layout. The rows' tables are made with ipfw(8)'s words,
// turned here into the emulator's administrative commands as the shim of
// the fwconform test turns them (tests/support/ipfw_to_fwemu.sh).
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

// ipfw(8)'s words as the emulator's commands: "[set N] table NAME create
// OPTIONS" is "create NAME OPTIONS [set N]"; "table NAME add K [V] [K V]..."
// one "add NAME K V" a pair; "table NAME VERB" is "VERB NAME". Empty for
// words it does not know.
std::vector<words_t> emulator_commands(const words_t& w) {
  words_t set;
  size_t at = 0;
  if (w.size() >= 2 && w[0] == "set") {
    set = {"set", w[1]};
    at = 2;
  }
  if (w.size() < at + 3 || w[at] != "table") return {};
  const std::string& name = w[at + 1];
  const std::string& verb = w[at + 2];
  const words_t rest(w.begin() + static_cast<ptrdiff_t>(at) + 3, w.end());
  if (verb == "create") {
    words_t c = {"create", name};
    c.insert(c.end(), rest.begin(), rest.end());
    c.insert(c.end(), set.begin(), set.end());
    return {c};
  }
  if (!set.empty()) return {};
  if (verb == "add" && !rest.empty()) {
    std::vector<words_t> adds;
    for (size_t i = 0; i < rest.size(); i += 2) {
      words_t a = {"add", name, rest[i]};
      if (i + 1 < rest.size()) a.push_back(rest[i + 1]);
      adds.push_back(a);
    }
    return adds;
  }
  if ((verb == "lock" || verb == "unlock" || verb == "destroy") && rest.empty()) return {{verb, name}};
  return {};
}

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
                         std::vector<words_t> commands = emulator_commands(words);
                         if (commands.empty()) return 64;
                         std::string out;
                         for (const words_t& c : commands)
                           if (int st = emu_store_admin(store.get(), c, &out)) return st;
                         return 0;
                       }};
      EXPECT_EQ(run_kernel_answer(rows[i], t), "");
      conform_clean(t);
      EXPECT_TRUE(store->tables.empty()) << "a row's tables are all removed after it";
    }
  }
}

}  // namespace
