// Binding of positional and keyword arguments to parameter names, with the interpreter-style
// `TypeError` messages for every binding mistake.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "foundation/error.h"

namespace tervalo {

// One static record per bound callable; binding reads nothing else. Every parameter can be
// passed by keyword; keyword-only parameters are all optional.
struct FunctionDescription {
  const char* function_name;
  const char* class_name;  // null for module-level functions
  std::span<const char* const> positional_parameters;
  std::size_t required_positional_count;
  std::span<const char* const> keyword_only_parameters;

  // Vector calling convention: `args` holds `nargs` positional values followed by the values of
  // the keywords named in `kwnames`. Fills `output` (one borrowed object or null per parameter,
  // positional ones first).
  Status extract_arguments_fastcall(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                    std::span<PyObject*> output) const;
  // Tuple/dict calling convention, used by `tp_new`.
  Status extract_arguments_tuple_dict(PyObject* args, PyObject* kwargs,
                                      std::span<PyObject*> output) const;

 private:
  Status bind_positional(PyObject* const* args, std::size_t given,
                         std::span<PyObject*> output) const;
  Status bind_keyword(PyObject* name, PyObject* value, std::span<PyObject*> output) const;
  Status check_complete(std::size_t given_positional, std::span<PyObject*> output) const;
  std::string rendered_name() const;
};

// Enough room for the widest parameter list in the module.
constexpr std::size_t kMaxParameters = 4;
using BoundArguments = std::array<PyObject*, kMaxParameters>;

}  // namespace tervalo
