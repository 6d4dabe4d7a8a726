// Entry checks and fixed error messages.
#include "lumencad/checks.hpp"

namespace lumencad {

namespace {

const char* tp_name_of(nb::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

}  // namespace

void raise_arg_type(const char* param, const char* expected, nb::handle got) {
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
               expected, tp_name_of(got));
  throw nb::python_error();
}

void raise_expected(const char* expected, nb::handle got) {
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, tp_name_of(got));
  throw nb::python_error();
}

void raise_too_many_values(Py_ssize_t expected) {
  PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
  throw nb::python_error();
}

void raise_need_more_values(Py_ssize_t got) {
  PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
               got == 1 ? "" : "s");
  throw nb::python_error();
}

void check_str_arg(const char* param, nb::handle obj) {
  if (!PyUnicode_CheckExact(obj.ptr())) raise_arg_type(param, "str", obj);
}

void check_dict_arg(const char* param, nb::handle obj) {
  if (!PyDict_CheckExact(obj.ptr())) raise_arg_type(param, "dict", obj);
}

double as_double(nb::handle obj) {
  const double value = PyFloat_AsDouble(obj.ptr());
  if (value == -1.0 && PyErr_Occurred()) throw nb::python_error();
  return value;
}

nb::object to_float(nb::handle obj) {
  if (PyFloat_CheckExact(obj.ptr())) return nb::borrow(obj);
  return nb::steal(PyFloat_FromDouble(as_double(obj)));
}

nb::str expect_str(nb::handle obj) {
  if (!PyUnicode_CheckExact(obj.ptr())) raise_expected("unicode", obj);
  return nb::borrow<nb::str>(obj);
}

nb::object expect_str_or_none(nb::handle obj) {
  if (!obj.is_none() && !PyUnicode_CheckExact(obj.ptr())) raise_expected("unicode", obj);
  return nb::borrow(obj);
}

nb::object expect_list_or_none(nb::handle obj) {
  if (!obj.is_none() && !PyList_CheckExact(obj.ptr())) raise_expected("list", obj);
  return nb::borrow(obj);
}

nb::object expect_dict_or_none(nb::handle obj) {
  if (!obj.is_none() && !PyDict_CheckExact(obj.ptr())) raise_expected("dict", obj);
  return nb::borrow(obj);
}

}  // namespace lumencad
