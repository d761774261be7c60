// Storage for the temporary arrays of a construction.
//
// Large blocks are mapped from the system and unmapped when freed, so the process keeps none of
// them. Blocks taken from the C allocator instead would mostly stay resident after the tree is
// built: glibc serves blocks below its adaptive threshold (which freeing one large block raises
// to that block's size) from a heap that it shrinks only from the top.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <limits>
#include <new>
#include <vector>

namespace tervalo {

template <class T>
struct ScratchAllocator {
  using value_type = T;
  static constexpr std::size_t kMappedFrom = std::size_t{1} << 20;

  ScratchAllocator() = default;
  template <class U>
  ScratchAllocator(const ScratchAllocator<U>&) noexcept {}

  T* allocate(std::size_t count) {
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = count * sizeof(T);
    if (bytes < kMappedFrom) return static_cast<T*>(::operator new(bytes));
    void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
    madvise(block, bytes, MADV_HUGEPAGE);
    return static_cast<T*>(block);
  }
  void deallocate(T* block, std::size_t count) noexcept {
    const std::size_t bytes = count * sizeof(T);
    if (bytes < kMappedFrom) {
      ::operator delete(block, bytes);
    } else {
      munmap(block, bytes);
    }
  }
  friend bool operator==(const ScratchAllocator&, const ScratchAllocator&) noexcept { return true; }
};

template <class T>
using ScratchVector = std::vector<T, ScratchAllocator<T>>;

}  // namespace tervalo
