// SPDX-License-Identifier: BSD-2-Clause
// platform_scope: scopes nest and each puts back the platform it found;
// one ended while a scope started after it is still in force aborts, since
// the platform in force would point into the ended one.
#include "fwtable/platform.h"

#include <gtest/gtest.h>

#include <memory>
#include <type_traits>

namespace {

static_assert(!std::is_copy_constructible_v<platform_scope> && !std::is_copy_assignable_v<platform_scope>);
static_assert(!std::is_move_constructible_v<platform_scope> && !std::is_move_assignable_v<platform_scope>);

int64_t at_one() { return 1; }
int64_t at_two() { return 2; }

platform with_clock(int64_t (*now)()) {
  platform p = current_platform();
  p.now = now;
  return p;
}

TEST(PlatformScope, NestedScopesPutBackWhatTheyFound) {
  const platform* before = &current_platform();
  {
    platform_scope outer(with_clock(at_one));
    EXPECT_EQ(platform_now(), 1);
    {
      platform_scope inner(with_clock(at_two));
      EXPECT_EQ(platform_now(), 2);
    }
    EXPECT_EQ(platform_now(), 1);
  }
  EXPECT_EQ(&current_platform(), before);
}

TEST(PlatformScopeDeathTest, EndingAnOuterScopeFirstAborts) {
  EXPECT_DEATH(
      {
        auto outer = std::make_unique<platform_scope>(with_clock(at_one));
        platform_scope inner(with_clock(at_two));
        outer.reset();
      },
      "platform_scope: a scope ended while one started after it was still in force");
}

}  // namespace
