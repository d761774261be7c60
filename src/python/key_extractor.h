// A tree's key policy, fixed at construction: the value itself, one attribute of the value, or
// the result of a one-argument callable. Also the drained `values` argument of the constructor.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "foundation/error.h"
#include "python_tree/mapped_allocator.h"

namespace tervalo {

class KeyExtractor {
 public:
  static KeyExtractor identity() noexcept { return KeyExtractor(Identity{}); }
  KeyExtractor(KeyExtractor&&) noexcept = default;
  KeyExtractor& operator=(KeyExtractor&&) = default;
  // The callable is released here rather than by the variant, whose destruction is `noexcept`.
  ~KeyExtractor() noexcept(false) {
    if (auto* callable = std::get_if<Callable>(&policy_)) callable->callable.reset();
  }
  // From a `key`/`key_spec` argument that is not None: a str (or str subclass, even a callable
  // one) names an attribute; anything else callable is called.
  static Result<KeyExtractor> extract(PyObject* object);

  // A new reference to the key of `value`. The identity is answered inline: it is every
  // construction's and every call's common case.
  Result<Ref> key_of(PyObject* value) const {
    if (std::holds_alternative<Identity>(policy_)) return Ref::borrow(value);
    return computed_key_of(value);
  }
  // Whether every value is its own key.
  bool is_identity() const noexcept { return std::holds_alternative<Identity>(policy_); }
  // The extractor in the form the constructor accepts back: None, a plain str, or the callable.
  Result<Ref> as_key_spec() const;

 private:
  struct Identity {};
  struct Attribute {
    std::string name;  // UTF-8; the str that was passed is not kept
  };
  struct Callable {
    Ref callable;
  };
  using Policy = std::variant<Identity, Attribute, Callable>;
  explicit KeyExtractor(Policy policy) noexcept : policy_(std::move(policy)) {}
  // `key_of` for an attribute or a callable.
  Result<Ref> computed_key_of(PyObject* value) const;

  Policy policy_;
};

// The items of an iterable, in iteration order, duplicates and all. Whatever is still held when
// this is released is released front to back.
class PythonValues {
 public:
  PythonValues() = default;
  PythonValues(PythonValues&&) noexcept = default;
  PythonValues& operator=(PythonValues&&) noexcept = default;
  ~PythonValues() noexcept(false) { release_from(0); }

  static Result<PythonValues> extract(PyObject* iterable);

  std::size_t size() const noexcept { return items_.size(); }
  Ref take(std::size_t index) noexcept { return std::move(items_[index]); }
  // Asks the processor to fetch the item at `index`, if there is one, into its cache.
  void prefetch(std::size_t index) const noexcept {
    if (index < items_.size()) __builtin_prefetch(items_[index].get());
  }
  // The item at `index`, borrowed; it must still be held.
  PyObject* at(std::size_t index) const noexcept { return items_[index].get(); }
  // Releases the items from `index` on, front to back.
  void release_from(std::size_t index) { release_each(std::span(items_).subspan(index)); }

 private:
  // Mapped from the system when large, so that it leaves nothing resident once given back (see
  // `MappedAllocator`).
  ScratchVector<Ref> items_;
};

}  // namespace tervalo
