// SPDX-License-Identifier: BSD-2-Clause
// Runs one row of kernel answers against a target: makes the tables it
// needs, sends its request in the target's layout and compares what came
// back with what the kernel answers.
//
// Owns: nothing; the tables it made stay for conform_clean
// (conform/conform_target.h).
// Failure: the verdict is the return value, "" when the target answered as
// the row says, else what differed (a setup command that failed included).
#pragma once

#include <string>

#include "conform/conform_target.h"
#include "conform/kernel_answers.h"

std::string run_kernel_answer(const kernel_answer& row, const conform_target& t);
