// Loops over mappings as Python's `for k, v in m.items()` and
// `for v in m.values()` would run them.
#pragma once

#include <nanobind/nanobind.h>

#include "lumencad/export.hpp"

#include "lumencad/unpack.hpp"

namespace lumencad {

namespace nb = nanobind;

namespace detail {

[[noreturn]] LUMENCAD_API void raise_dict_changed_size();

// Calls g(key, value) for every entry of the exact dict `d`, raising as
// Python's loop does when the dict changes size meanwhile.
template <typename G>
void for_each_dict_entry(PyObject* d, G&& g) {
  const Py_ssize_t size = PyDict_GET_SIZE(d);
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(d, &pos, &key, &value)) {
    nb::object k = nb::borrow(key), v = nb::borrow(value);
    g(nb::handle(k), nb::handle(v));
    if (PyDict_GET_SIZE(d) != size) raise_dict_changed_size();
  }
}

}  // namespace detail

// Calls f(key, value) for every item of `mapping`. Exact dicts are read
// directly (a change of size during the loop raises RuntimeError
// "dictionary changed size during iteration"); anything else goes through its
// `items()` method, each item unpacked into two values (so None fails with
// "'NoneType' object has no attribute 'items'").
template <typename F>
void for_each_item(nb::handle mapping, F&& f) {
  if (PyDict_CheckExact(mapping.ptr())) {
    detail::for_each_dict_entry(mapping.ptr(), f);
    return;
  }
  nb::object items = mapping.attr("items")();
  for (nb::handle item : items) {
    auto [k, v] = unpack2(item);
    f(nb::handle(k), nb::handle(v));
  }
}

// Calls f(value) for every value of `mapping`, as for_each_item does with
// `values()`.
template <typename F>
void for_each_value(nb::handle mapping, F&& f) {
  if (PyDict_CheckExact(mapping.ptr())) {
    detail::for_each_dict_entry(mapping.ptr(), [&](nb::handle, nb::handle v) { f(v); });
    return;
  }
  nb::object values = mapping.attr("values")();
  for (nb::handle value : values) f(value);
}

}  // namespace lumencad
