// Small helpers over Python objects shared by every module.
#include "lumencad/pyobject.hpp"

#include "lumencad/checks.hpp"
#include "lumencad/unpack.hpp"

namespace lumencad {

bool truthy(nb::handle value) {
  int result = PyObject_IsTrue(value.ptr());
  if (result < 0) throw nb::python_error();
  return result != 0;
}

bool contains(nb::handle container, nb::handle key) {
  int found = PySequence_Contains(container.ptr(), key.ptr());
  if (found < 0) throw nb::python_error();
  return found != 0;
}

nb::object item(nb::handle container, nb::handle key) {
  return checked(PyObject_GetItem(container.ptr(), key.ptr()));
}

nb::object item(nb::handle container, const char* key) { return item(container, nb::str(key)); }

void set_item(nb::handle container, nb::handle key, nb::handle value) {
  if (PyObject_SetItem(container.ptr(), key.ptr(), value.ptr()) < 0) throw nb::python_error();
}

nb::object mapping_get(nb::handle mapping, nb::handle key, nb::handle fallback) {
  if (PyDict_CheckExact(mapping.ptr())) {
    PyObject* found = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
    if (found != nullptr) return nb::borrow(found);
    if (PyErr_Occurred()) throw nb::python_error();
    return nb::borrow(fallback);
  }
  return mapping.attr("get")(key, fallback);
}

nb::str concat(std::initializer_list<nb::handle> parts) {
  nb::object text = nb::str("");
  for (nb::handle part : parts) text = checked(PyUnicode_Concat(text.ptr(), part.ptr()));
  return nb::borrow<nb::str>(text);
}

nb::str concat(nb::handle text, const char* suffix) { return concat({text, nb::str(suffix)}); }

namespace {

nb::handle comma() {
  static const nb::handle text = nb::str(",").release();
  return text;
}

// str.strip() for a plain str, skipping the call when there is nothing to strip.
nb::object stripped(nb::object piece) {
  PyObject* s = piece.ptr();
  Py_ssize_t length = PyUnicode_GET_LENGTH(s);
  if (length == 0) return piece;
  int kind = PyUnicode_KIND(s);
  const void* data = PyUnicode_DATA(s);
  if (!Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, 0)) &&
      !Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, length - 1)))
    return piece;
  return piece.attr("strip")();
}

}  // namespace

Reference split_reference(nb::handle reference) {
  PyObject* obj = reference.ptr();
  // A str subclass may bring its own split and strip; only plain strings are
  // cut here.
  if (!PyUnicode_CheckExact(obj)) {
    auto [instance, port] = unpack2(reference.attr("split")(","));
    return {instance.attr("strip")(), port.attr("strip")()};
  }
  Py_ssize_t length = PyUnicode_GET_LENGTH(obj);
  Py_ssize_t comma = PyUnicode_FindChar(obj, ',', 0, length, 1);
  if (comma == -2) throw nb::python_error();
  if (comma == -1) raise_need_more_values(1);
  Py_ssize_t second_comma = PyUnicode_FindChar(obj, ',', comma + 1, length, 1);
  if (second_comma == -2) throw nb::python_error();
  if (second_comma >= 0) raise_too_many_values(2);
  return {stripped(checked(PyUnicode_Substring(obj, 0, comma))),
          stripped(checked(PyUnicode_Substring(obj, comma + 1, length)))};
}

nb::object canonical_reference(nb::handle reference) {
  PyObject* obj = reference.ptr();
  if (!PyUnicode_CheckExact(obj)) return nb::borrow(reference);
  Py_ssize_t length = PyUnicode_GET_LENGTH(obj);
  Py_ssize_t commas = PyUnicode_Count(obj, comma().ptr(), 0, length);
  if (commas < 0) throw nb::python_error();
  if (commas != 1) return nb::borrow(reference);
  Reference parts = split_reference(reference);
  if (PyUnicode_GET_LENGTH(parts.instance.ptr()) + PyUnicode_GET_LENGTH(parts.port.ptr()) + 1 ==
      length)
    return nb::borrow(reference);
  return concat({parts.instance, comma(), parts.port});
}

}  // namespace lumencad
