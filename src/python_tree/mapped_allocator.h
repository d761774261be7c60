// Storage for the temporary arrays of a construction (the drained input among them), and the
// mapping of large blocks that a tree's node storage shares.
//
// Large blocks are mapped from the system and unmapped when freed, so the process keeps none of
// them. Blocks taken from the C allocator instead would mostly stay resident after they are
// freed: glibc serves blocks below its adaptive threshold (which freeing one large block raises
// to that block's size) from a heap that it shrinks only from the top. Large pages, where the
// system grants them, cut the faults of filling a block.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <limits>
#include <new>
#include <vector>

namespace tervalo {

// A fresh mapping of `bytes`, or null when the system refuses one.
inline void* map_pages(std::size_t bytes) noexcept {
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return nullptr;
  madvise(block, bytes, MADV_HUGEPAGE);
  return block;
}

template <class T>
struct MappedAllocator {
  using value_type = T;
  // Low enough that the blocks left to the C allocator add up to little: a construction's
  // arrays double as they grow, and every smaller step would otherwise stay resident.
  static constexpr std::size_t kMappedFrom = std::size_t{64} << 10;

  MappedAllocator() = default;
  template <class U>
  MappedAllocator(const MappedAllocator<U>&) noexcept {}

  T* allocate(std::size_t count) {
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = count * sizeof(T);
    if (bytes < kMappedFrom) return static_cast<T*>(::operator new(bytes));
    void* block = map_pages(bytes);
    if (block == nullptr) throw std::bad_alloc();
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
  friend bool operator==(const MappedAllocator&, const MappedAllocator&) noexcept { return true; }
};

template <class T>
using ScratchVector = std::vector<T, MappedAllocator<T>>;

}  // namespace tervalo
