// A growable array whose elements move by their bytes: the storage of a tree's nodes.
//
// A node refers to nothing through its own address (it holds references to Python objects and
// the slot numbers of other nodes), so moving its bytes moves it. That lets large storage grow
// by remapping its pages: the system moves page tables rather than memory, and pages not yet
// written cost neither time nor memory. Storage below the size at which glibc maps blocks anyway
// comes from the C allocator and moves as a vector's does, to a new block: a warm heap serves
// it without a page fault, where a fresh mapping would fault in every page again on every
// build.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "python_tree/mapped_allocator.h"

namespace tervalo {

template <class T>
class RelocatableArray {
  // An aggregate has no constructor or destructor of its own that could know its address.
  static_assert(std::is_aggregate_v<T> && !std::is_polymorphic_v<T>);

 public:
  RelocatableArray() = default;
  RelocatableArray(RelocatableArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  RelocatableArray& operator=(RelocatableArray other) noexcept {
    swap(other);
    return *this;
  }
  // The elements' own references must already be released: as a vector's, this destructor
  // cannot let a release's unwinding through.
  ~RelocatableArray() {
    std::destroy_n(data_, size_);
    release_storage(data_, capacity_);
  }

  void swap(RelocatableArray& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  static constexpr std::size_t max_size() noexcept {
    return std::numeric_limits<std::size_t>::max() / 2 / sizeof(T);
  }
  T& operator[](std::size_t index) noexcept { return data_[index]; }
  const T& operator[](std::size_t index) const noexcept { return data_[index]; }
  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }

  // Room for `count` elements in all. Throws `std::bad_alloc` with nothing changed.
  void reserve(std::size_t count) {
    if (count > capacity_) grow_storage(count);
  }
  // Room must have been reserved: nothing here allocates.
  template <class... Args>
  T& emplace_back(Args&&... args) noexcept {
    T* slot = ::new (static_cast<void*>(data_ + size_)) T{std::forward<Args>(args)...};
    ++size_;
    return *slot;
  }

 private:
  // glibc's largest threshold for mapping a block on 64-bit systems.
  static constexpr std::size_t kMappedFrom = std::size_t{32} << 20;

  static bool mapped(std::size_t count) noexcept { return count * sizeof(T) >= kMappedFrom; }

  // Whole cache lines, from the start of one: where an element's size divides the line, no
  // element straddles two lines (the C allocator's own alignment, 16 bytes, would split every
  // other 32-byte node). Mapped pages start a line anyway.
  static void* allocate_lines(std::size_t bytes) noexcept {
    constexpr std::size_t kLine = 64;
    return std::aligned_alloc(kLine, (bytes + kLine - 1) / kLine * kLine);
  }

  static void release_storage(T* data, std::size_t count) noexcept {
    if (data == nullptr) return;
    if (mapped(count)) {
      munmap(data, count * sizeof(T));
    } else {
      std::free(data);
    }
  }

  void grow_storage(std::size_t count) {
    if (count > max_size()) throw std::bad_alloc();
    const std::size_t bytes = count * sizeof(T);
    void* moved;
    if (mapped(capacity_)) {
      moved = mremap(data_, capacity_ * sizeof(T), bytes, MREMAP_MAYMOVE);
      if (moved == MAP_FAILED) throw std::bad_alloc();
    } else {
      moved = mapped(count) ? map_pages(bytes) : allocate_lines(bytes);
      if (moved == nullptr) throw std::bad_alloc();
      if (size_ > 0) std::memcpy(moved, static_cast<void*>(data_), size_ * sizeof(T));
      release_storage(data_, capacity_);
    }
    data_ = static_cast<T*>(moved);
    capacity_ = count;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace tervalo
