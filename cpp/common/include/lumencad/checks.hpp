// Entry checks and the fixed error messages shared by every core module.
// Each raise_* function throws nb::python_error carrying the Python exception.
#pragma once

#include <nanobind/nanobind.h>

#include "lumencad/export.hpp"

namespace lumencad {

namespace nb = nanobind;

// TypeError "Argument '<param>' has incorrect type (expected <expected>, got <type of got>)".
[[noreturn]] LUMENCAD_API void raise_arg_type(const char* param, const char* expected,
                                              nb::handle got);

// TypeError "Expected <expected>, got <type of got>".
[[noreturn]] LUMENCAD_API void raise_expected(const char* expected, nb::handle got);

// ValueError "too many values to unpack (expected <expected>)".
[[noreturn]] LUMENCAD_API void raise_too_many_values(Py_ssize_t expected);

// ValueError "need more than <got> value(s) to unpack".
[[noreturn]] LUMENCAD_API void raise_need_more_values(Py_ssize_t got);

// Argument checks: exactly str / exactly dict (None refused), else raise_arg_type.
LUMENCAD_API void check_str_arg(const char* param, nb::handle obj);
LUMENCAD_API void check_dict_arg(const char* param, nb::handle obj);

// Float conversion of an argument, as PyFloat_AsDouble does (TypeError
// "must be real number, not str" for a non-number). Exact floats are returned
// as they are.
LUMENCAD_API nb::object to_float(nb::handle obj);
LUMENCAD_API double as_double(nb::handle obj);

// Result checks: the object itself when it has exactly the expected type,
// else raise_expected("unicode" / "list" / "dict", obj).
LUMENCAD_API nb::str expect_str(nb::handle obj);
LUMENCAD_API nb::object expect_str_or_none(nb::handle obj);
LUMENCAD_API nb::object expect_list_or_none(nb::handle obj);
LUMENCAD_API nb::object expect_dict_or_none(nb::handle obj);

}  // namespace lumencad
