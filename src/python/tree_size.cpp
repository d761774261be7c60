// Size, height and the printed form of a tree. Only `repr` runs Python code.
#include <string>

#include "python/tree.h"

namespace tervalo {

Result<Py_ssize_t> tree_length(PyAVLTree& self) {
  const std::size_t len = self.tree.len();
  if (len > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
    return fail(Error::lazy_without_arguments(PyExc_OverflowError));
  }
  return static_cast<Py_ssize_t>(len);
}

Result<bool> tree_bool(PyAVLTree& self) { return self.tree.len() != 0; }

Result<Ref> tree_is_empty(PyAVLTree& self) {
  return Ref::borrow(self.tree.len() == 0 ? Py_True : Py_False);
}

Result<Ref> tree_height(PyAVLTree& self) {
  Ref height = Ref::steal(PyLong_FromSize_t(self.tree.height()));
  if (!height) return fail_fetched();
  return height;
}

// The values' own __repr__ run under the shared hold, on a snapshot: they may read this tree
// (even repr it again) but not change it.
Result<Ref> tree_repr(PyAVLTree& self) {
  ValueList snapshot = self.tree.in_order();
  std::string text = "AVLTree([";
  for (std::size_t i = 0; i < snapshot.size(); ++i) {
    Ref item = std::move(snapshot[i]);
    Ref item_repr = Ref::steal(PyObject_Repr(item.get()));
    Py_ssize_t size = 0;
    const char* utf8 = item_repr ? PyUnicode_AsUTF8AndSize(item_repr.get(), &size) : nullptr;
    if (utf8 == nullptr) {
      Error error = Error::fetch();
      item_repr.reset();
      item.reset();
      release_each(std::span(snapshot).subspan(i + 1));
      return fail(std::move(error));
    }
    if (i > 0) text += ", ";
    text.append(utf8, static_cast<std::size_t>(size));
  }
  text += "])";
  Ref result =
      Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!result) return fail_fetched();
  return result;
}

}  // namespace tervalo
