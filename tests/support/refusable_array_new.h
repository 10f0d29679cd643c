// Replaces the array forms of operator new and delete for the binary that compiles
// refusable_array_new.cpp, so that a test can make the program's buffer allocation fail.
//
// The file must be a source of the executable itself, not part of a static library: the
// linker would take the C++ library's operators instead and never pull it in.
#pragma once

#include <cstddef>

// Defined by each binary that compiles refusable_array_new.cpp: true when the nothrow array
// allocation of this size is to answer null.
bool refuse_array_allocation(std::size_t size);
