#include "python/iterator.h"

#include <memory>

#include "binding/instance.h"
#include "binding/trampoline.h"
#include "generated/surface_docs.h"

namespace tervalo {
namespace {

constexpr std::size_t kFetchAhead = 16;

Result<Ref> iterator_iter(PyAVLTreeIterator& self) {
  return Ref::borrow(reinterpret_cast<PyObject*>(&self));
}

// An empty result with no exception set tells the interpreter the iterator is exhausted.
Result<Ref> iterator_next(PyAVLTreeIterator& self) {
  if (self.position == self.snapshot.size()) return Ref();
  return std::move(self.snapshot[self.position++]);
}

// Every walk runs through here once per value, so the usual case skips the generic entry frame:
// with the hold taken, nothing can fail, throw or run Python code. A hold that cannot be taken
// goes through the entry frame, which finds it taken too and raises the conflict.
PyObject* iterator_next_slot(PyObject* object) {
  auto& self = *reinterpret_cast<PyAVLTreeIterator*>(object);
  const HoldGuard<Hold::Exclusive> hold(self.borrow);
  if (!hold) return unary_slot<PyAVLTreeIterator, Hold::Exclusive, iterator_next>(object);
  const std::size_t position = self.position;
  if (position == self.snapshot.size()) return nullptr;
  // The caller releases each value soon after taking it; values seldom lie in memory in the
  // order they are yielded, so each is fetched a few calls ahead.
  if (position + kFetchAhead < self.snapshot.size()) {
    __builtin_prefetch(self.snapshot[position + kFetchAhead].get(), 1);
  }
  self.position = position + 1;
  return self.snapshot[position].release();
}

void iterator_release(PyObject* object) {
  auto& self = *reinterpret_cast<PyAVLTreeIterator*>(object);
  release_each(std::span(self.snapshot).subspan(self.position));
  std::destroy_at(&self.snapshot);
  std::destroy_at(&self.borrow);
  free_instance(object);
}

PyType_Slot iterator_slots[] = {
    {Py_tp_doc, const_cast<char*>(docs::kIterator)},
    {Py_tp_iter, as_slot(unary_slot<PyAVLTreeIterator, Hold::Shared, iterator_iter>)},
    {Py_tp_iternext, as_slot(iterator_next_slot)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, as_slot(dealloc_entry<iterator_release>)},
    {0, nullptr},
};

// Not instantiable from Python, not subclassable, not tracked by the collector.
PyType_Spec iterator_spec = {
    .name = "tervalo._AVLTreeIterator",
    .basicsize = static_cast<int>(sizeof(PyAVLTreeIterator)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = iterator_slots,
};

}  // namespace

TypeCell iterator_type{"_AVLTreeIterator", &iterator_spec};

Result<Ref> create_iterator(ValueList values) {
  PyTypeObject* type = iterator_type.get_for_instance();
  TRY_ASSIGN(Ref object, allocate_instance(type));
  auto& self = *reinterpret_cast<PyAVLTreeIterator*>(object.get());
  std::construct_at(&self.snapshot, std::move(values));
  self.position = 0;
  std::construct_at(&self.borrow);
  return object;
}

}  // namespace tervalo
