// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include "tests/support/support_failure.h"

void support_failure(const std::string& what) { ADD_FAILURE() << what; }
