// Unpacking into a fixed number of parts.
#include "lumencad/unpack.hpp"

#include "lumencad/checks.hpp"

namespace lumencad {

void unpack(nb::handle value, nb::object* out, Py_ssize_t n) {
  PyObject* seq = value.ptr();
  if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
    const Py_ssize_t size = Py_SIZE(seq);
    if (size > n) raise_too_many_values(n);
    if (size < n) raise_need_more_values(size);
    PyObject** items =
        PyTuple_CheckExact(seq) ? &PyTuple_GET_ITEM(seq, 0) : &PyList_GET_ITEM(seq, 0);
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = nb::borrow(items[i]);
    return;
  }
  nb::object iter = nb::steal(PyObject_GetIter(seq));
  if (!iter.is_valid()) throw nb::python_error();
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyIter_Next(iter.ptr());
    if (!item) {
      if (PyErr_Occurred()) throw nb::python_error();
      raise_need_more_values(i);
    }
    out[i] = nb::steal(item);
  }
  PyObject* extra = PyIter_Next(iter.ptr());
  if (extra) {
    Py_DECREF(extra);
    raise_too_many_values(n);
  }
  if (PyErr_Occurred()) throw nb::python_error();
}

std::pair<nb::object, nb::object> unpack2(nb::handle value) {
  nb::object parts[2];
  unpack(value, parts, 2);
  return {std::move(parts[0]), std::move(parts[1])};
}

}  // namespace lumencad
