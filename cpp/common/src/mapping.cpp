// Out-of-line parts of the mapping loops.
#include "lumencad/mapping.hpp"

namespace lumencad::detail {

void raise_dict_changed_size() {
  PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
  throw nb::python_error();
}

}  // namespace lumencad::detail
