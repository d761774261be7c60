// Conversions of individual arguments. The caller passes each conversion's result through
// `for_parameter`, which names the parameter in the error of a failed one.
#pragma once

#include <cstddef>

#include "foundation/error.h"

namespace tervalo {

// Marks the failed conversion of one argument with the note "while processing '<name>'".
Error argument_extraction_error(const char* parameter, Error error);

// The converted value of the argument bound to `parameter`, or its error so marked.
template <class T>
Result<T> for_parameter(const char* parameter, Result<T> converted) {
  if (!converted) return fail(argument_extraction_error(parameter, std::move(converted).error()));
  return converted;
}

// An exact `bool`, or a numpy boolean through its type's `__bool__`. Integers are refused.
Result<bool> extract_flag(PyObject* object);

// A non-negative int (or an object with `__index__`) that fits a machine-size count.
Result<std::size_t> extract_count(PyObject* object);

}  // namespace tervalo
