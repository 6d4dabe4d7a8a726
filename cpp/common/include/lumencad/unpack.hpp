// Unpacking a value into a fixed number of parts (`a, b = value`) with the
// shared messages raise_too_many_values / raise_need_more_values.
#pragma once

#include <nanobind/nanobind.h>

#include "lumencad/export.hpp"

#include <utility>

namespace lumencad {

namespace nb = nanobind;

// Fills out[0..n) with the n items of `value`. Exact tuples and lists are
// read directly; anything else is iterated (its iteration errors propagate).
LUMENCAD_API void unpack(nb::handle value, nb::object* out, Py_ssize_t n);

// unpack(value, ..., 2) as a pair.
LUMENCAD_API std::pair<nb::object, nb::object> unpack2(nb::handle value);

}  // namespace lumencad
