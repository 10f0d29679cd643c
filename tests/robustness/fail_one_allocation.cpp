// Preloaded into hexmidi by the fault tests: malloc refuses every block of the one size named in
// HEXMIDI_TEST_REFUSED_ALLOCATION, as a machine short of memory would refuse the buffer of a long
// message. Every other size goes to the C library's own allocator, so free, realloc and calloc
// need no replacing. Replacing operator new instead was rejected: it reaches the buffer only
// through libstdc++, and malloc is where a real shortage shows.
#include <cerrno>
#include <cstddef>
#include <cstdlib>

extern "C" void* __libc_malloc(std::size_t size);

namespace {

std::size_t refused_size = 0;

// Read once, before main: malloc itself must not call anything that could allocate.
__attribute__((constructor)) void read_refused_size() {
  if (const char* text = std::getenv("HEXMIDI_TEST_REFUSED_ALLOCATION")) {
    refused_size = std::strtoull(text, nullptr, 0);
  }
}

}  // namespace

extern "C" void* malloc(std::size_t size) noexcept {
  if (refused_size != 0 && size == refused_size) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_malloc(size);
}
