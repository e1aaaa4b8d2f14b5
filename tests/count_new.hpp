// Counts the allocations through operator new of the test program whose one
// file includes this, for the paths that must allocate nothing.
#pragma once

#include <cstdlib>
#include <new>

namespace counted {
inline long news = 0;
}

// The replacements pair malloc with free; the compiler, seeing both inlined,
// would take them for a mismatch.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t n) {
  ++counted::news;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
// The library's temporary buffers come from these and go back through the
// plain delete: they must share its malloc.
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  ++counted::news;
  return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

#pragma GCC diagnostic pop
