// All four array forms go through malloc and free, so that they stay paired and bounds-checked
// under any sanitizer. Only the nothrow form, the one the program uses, can be refused.
#include "refusable_array_new.h"

#include <cstdlib>
#include <new>

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (refuse_array_allocation(size)) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size) {
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete[](void* block) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
  std::free(block);
}
