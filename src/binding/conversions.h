// Conversions of individual arguments. Failures are reported by the caller through
// `argument_extraction_error`, which names the parameter.
#pragma once

#include <cstddef>

#include "foundation/error.h"

namespace tervalo {

// Marks the failed conversion of one argument with the note "while processing '<name>'".
Error argument_extraction_error(const char* parameter, Error error);

// An exact `bool`, or a numpy boolean through its type's `__bool__`. Integers are refused.
Result<bool> extract_flag(PyObject* object);

// A non-negative int (or an object with `__index__`) that fits a machine-size count.
Result<std::size_t> extract_count(PyObject* object);

}  // namespace tervalo
