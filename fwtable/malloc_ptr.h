// SPDX-License-Identifier: BSD-2-Clause
// The one owning pointer for memory from malloc(3), calloc(3) or
// realloc(3): a unique_ptr that gives the memory back with free(3).
//
// Owns: the block it holds, freed when it dies or is reset.
// Failure: none; a null pointer holds nothing.
#pragma once

#include <cstdlib>
#include <memory>

struct free_deleter {
  void operator()(void* p) const { free(p); }
};

template <typename T>
using malloc_ptr = std::unique_ptr<T, free_deleter>;
