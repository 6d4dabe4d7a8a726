#include "icon_path.hpp"

#include <Python.h>

#include <new>

namespace lumencad {

void append_float_repr(std::string& out, double value) {
  char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
  if (text == nullptr) {
    PyErr_Clear();  // the only failure is running out of memory
    throw std::bad_alloc();
  }
  out += text;
  PyMem_Free(text);
}

void append_path_command(std::string& out, bool first_vertex) { out += first_vertex ? "M " : "L "; }

void append_path_end(std::string& out) { out += 'Z'; }

}  // namespace lumencad
