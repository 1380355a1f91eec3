// SPDX-License-Identifier: BSD-2-Clause
#include "fwtable/table_command.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fwtable/fw_records.h"
#include "tests/support/fake_kernel.h"

namespace {

// A command vector built from words; entries the test wants missing are
// null.
struct vec {
  explicit vec(std::vector<const char*> words) {
    for (const char* w : words) store.push_back(w != nullptr ? std::string(w) : std::string());
    for (size_t i = 0; i < words.size(); i++) ptrs.push_back(words[i] != nullptr ? store[i].data() : nullptr);
  }
  int argc() const { return static_cast<int>(ptrs.size()); }
  char** argv() { return ptrs.data(); }
  std::vector<std::string> store;
  std::vector<char*> ptrs;
};

TEST(TableName, AcceptsOnlyShortAsciiNamesAndNeverAll) {
  struct row {
    std::string name;
    int want;
  } rows[] = {
      {"5", 0},
      {"a-b.c_D9", 0},
      {std::string(63, 'x'), 0},
      {"ALL", 0},
      {"alls", 0},
      {"all", 22},
      {"", 22},
      {std::string(64, 'x'), 22},
      {"x/y", 22},
      {"a b", 22},
      {"tab\x80le", 22},
      {"caf\xc3\xa9", 22},
      {"a+b", 22},
  };
  for (const auto& r : rows)
    EXPECT_EQ(validate_table_name(r.name.c_str()), r.want) << "name '" << r.name << "'";
}

TEST(MatchKeyword, SelectsTheOneKeywordAWordBegins) {
  struct row {
    const char* word;
    int token;
  } rows[] = {
      {"list", TOK_LIST}, {"li", TOK_LIST},       {"delete", TOK_DEL},   {"del", TOK_DEL},
      {"lock", TOK_LOCK}, {"unlock", TOK_UNLOCK}, {"ad", TOK_ADD},       {"at", TOK_ATOMIC},
      {"f", TOK_FLUSH},   {"looku", TOK_LOOKUP},  {"dest", TOK_DESTROY}, {"det", TOK_DETAIL},
  };
  for (const auto& r : rows)
    EXPECT_EQ(match_keyword(table_command_keywords, r.word, "table command"), r.token) << r.word;
}

TEST(MatchKeywordDeathTest, NoneOrSeveralMatchesEndWithAmbiguous) {
  // No early exit: "l" matches list, lookup and lock; "lists" matches nothing
  // because no keyword is that long; matching is case-sensitive.
  for (const char* word : {"l", "lo", "d", "de", "a", "lists", "LIST", "deletex", "x"}) {
    EXPECT_EXIT(match_keyword(table_command_keywords, word, "table command"), testing::ExitedWithCode(64),
                std::string(": ambiguous table command ") + word + "\n$")
        << word;
  }
  EXPECT_EXIT(match_keyword(table_command_keywords, "", "table command"), testing::ExitedWithCode(64),
              ": ambiguous table command \n$");
}

TEST(MatchKeywordDeathTest, NegativeTokenIsRefused) {
  const keyword_row rows[] = {{"neg", -5}, {"pos", 7}, {nullptr, 0}};
  EXPECT_EQ(match_keyword(rows, "po", "thing"), 7);
  EXPECT_EXIT(match_keyword(rows, "ne", "thing"), testing::ExitedWithCode(64), ": ambiguous thing ne\n$");
}

struct usage_case {
  std::vector<const char*> words;
  std::string message;  // what follows "name: " on standard error
};

TEST(TableCommandDeathTest, UsageErrorsEndWithStatus64InTheirOrder) {
  const std::string long_name(64, 'y');
  const usage_case cases[] = {
      {{"table"}, "table needs name"},
      {{"table", nullptr, "list"}, "table needs name"},
      {{"table", "5"}, "table needs command"},
      {{"table", "5", nullptr}, "table needs command"},
      {{"table", "", "list"}, "table name  is invalid"},
      {{"table", long_name.c_str(), "list"}, "table name " + long_name + " is invalid"},
      // The name is tested before the command word is looked at.
      {{"table", "x/y", "frobnicate"}, "table name x/y is invalid"},
      {{"table", "5", "l"}, "ambiguous table command l"},
      {{"table", "5", "lists"}, "ambiguous table command lists"},
      {{"table", "5", ""}, "ambiguous table command "},
      // The word is matched before the named flag is tested.
      {{"table", "all", "frob"}, "ambiguous table command frob"},
      {{"table", "all", "delete", "10.0.0.1"}, "table name required"},
      {{"table", "all", "add", "10.0.0.1"}, "table name required"},
      {{"table", "all", "lock"}, "table name required"},
  };
  for (const auto& c : cases) {
    vec v(c.words);
    EXPECT_EXIT(run_table_command(v.argc(), v.argv()), testing::ExitedWithCode(64), ": " + c.message + "\n$")
        << c.message;
  }
}

TEST(TableCommandDeathTest, AdministrationCommandsAreNotPartOfThisProgram) {
  for (const char* word : {"add", "create", "destroy", "flush", "modify", "swap", "info", "detail", "lookup",
                           "atomic", "lock", "unlock"}) {
    vec v({"table", "5", word, "x"});
    EXPECT_EXIT(run_table_command(v.argc(), v.argv()), testing::ExitedWithCode(64),
                std::string("table command ") + word + " is not supported")
        << word;
  }
  vec all({"table", "all", "list"});
  EXPECT_EXIT(run_table_command(all.argc(), all.argv()), testing::ExitedWithCode(64), "is not supported");
}

TEST(TableCommand, ListAndItsAbbreviationListTheNamedTable) {
  for (const char* word : {"list", "li"}) {
    fake_kernel k;
    k.admin("create 5 type addr");
    vec v({"table", "5", word});
    run_table_command(v.argc(), v.argv());
    ASSERT_EQ(k.requests.size(), 2u) << word;
    EXPECT_EQ(k.requests[0].opcode, IP_FW_TABLE_XINFO);
    EXPECT_EQ(k.requests[1].opcode, IP_FW_TABLE_XLIST);
    // The info request names the table, set 0, in an object header built
    // by init_request_header.
    ipfw_obj_header oh;
    ASSERT_GE(k.requests[0].bytes.size(), sizeof oh);
    memcpy(&oh, k.requests[0].bytes.data(), sizeof oh);
    EXPECT_STREQ(oh.ntlv.name, "5");
    EXPECT_EQ(oh.ntlv.set, 0);
    EXPECT_EQ(oh.idx, 1u);
    EXPECT_EQ(oh.ntlv.type, 0);
  }
}

TEST(TableCommand, DeleteHandsItsKeysToTheRecordChange) {
  fake_kernel k;
  k.admin("create 5 type addr");
  k.admin("add 5 192.0.2.1 7");
  vec v({"table", "5", "del", "192.0.2.1"});
  run_table_command(v.argc(), v.argv());
  ASSERT_EQ(k.requests_of(IP_FW_TABLE_XDEL).size(), 1u);
  EXPECT_EQ(k.admin("list 5"), "");
}

TEST(TableCommandDeathTest, DeleteWithoutKeyNeedsAnAddress) {
  fake_kernel k;
  k.admin("create 5 type addr");
  vec v({"table", "5", "delete"});
  EXPECT_EXIT(run_table_command(v.argc(), v.argv()), testing::ExitedWithCode(64), ": address required\n$");
}

}  // namespace
