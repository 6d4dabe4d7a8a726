// Small helpers over Python objects that every module uses: the checked form
// of the C API calls the stages make (truth, containment, item access, mapping
// look-ups, concatenation), and the one rule for instance-port references.
// Each raises the pending Python error as nb::python_error.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>

#include "lumencad/export.hpp"

namespace lumencad {

namespace nb = nanobind;

// Takes ownership of a new reference from the C API, raising the pending
// Python error when the call failed (returned null).
inline nb::object checked(PyObject* result) {
  if (result == nullptr) throw nb::python_error();
  return nb::steal(result);
}

// step(), or `fallback` when it raises an ordinary exception (one derived
// from Exception); interrupts and exit requests go on.
template <typename Step>
nb::object or_fallback(Step&& step, nb::object fallback) {
  try {
    return step();
  } catch (nb::python_error& error) {
    if (!error.matches(PyExc_Exception)) throw;
    return fallback;
  }
}

// bool(value).
LUMENCAD_API bool truthy(nb::handle value);

// `key in container`.
LUMENCAD_API bool contains(nb::handle container, nb::handle key);

// container[key], with the container's own error (KeyError, ...) when missing.
LUMENCAD_API nb::object item(nb::handle container, nb::handle key);
LUMENCAD_API nb::object item(nb::handle container, const char* key);

// container[key] = value.
LUMENCAD_API void set_item(nb::handle container, nb::handle key, nb::handle value);

// mapping.get(key, fallback): a direct look-up for plain dicts, the object's
// own `get` method for anything else.
LUMENCAD_API nb::object mapping_get(nb::handle mapping, nb::handle key, nb::handle fallback);

// The str objects joined, as "".join(parts) with str parts.
LUMENCAD_API nb::str concat(std::initializer_list<nb::handle> parts);

// text + suffix.
LUMENCAD_API nb::str concat(nb::handle text, const char* suffix);

// An instance-port reference taken apart: "instance,port" split on its comma
// into exactly two pieces, blanks around each piece stripped (so "m, o1" names
// the same port as "m,o1"). A reference without a comma raises
// "need more than 1 value to unpack", one with more "too many values to
// unpack (expected 2)".
struct Reference {
  nb::object instance;
  nb::object port;
};
LUMENCAD_API Reference split_reference(nb::handle reference);

// The reference in its plain form "instance,port": blanks around the pieces
// dropped. Anything that is not a str with exactly one comma, and a reference
// already in plain form, comes back as it is.
LUMENCAD_API nb::object canonical_reference(nb::handle reference);

}  // namespace lumencad
