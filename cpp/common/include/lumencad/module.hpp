// LUMENCAD_MODULE(name, m) { ... }: defines a core extension module.
//
// Like NB_MODULE, with two differences that a shared common layer needs:
// - the common layer is a library of its own and holds its own handle to
//   nanobind's state, so every module attaches it when it is imported;
// - an exception escaping the module body reaches the importer unchanged.
//   A core module's body mostly imports its collaborators, and a caller must
//   see their failure as it is (a missing package as ModuleNotFoundError, a
//   bad settings value as TypeError), not rewrapped as a generic ImportError.
#pragma once

#include <nanobind/nanobind.h>

#include "lumencad/export.hpp"
#include "lumencad/function.hpp"

namespace lumencad {

// Attaches the common layer to nanobind's state through the module being
// initialised. False with a Python error set on failure.
LUMENCAD_API bool attach_module(PyObject* module) noexcept;

}  // namespace lumencad

#define LUMENCAD_MODULE(name, variable) LUMENCAD_MODULE_IMPL(name, variable)
#define LUMENCAD_MODULE_IMPL(name, variable)                                                    \
  static void lumencad_##name##_body(nanobind::module_);                                        \
  static int lumencad_##name##_exec(PyObject* m) {                                              \
    if (!nanobind::register_module(m) || !::lumencad::attach_module(m)) return -1;              \
    try {                                                                                       \
      lumencad_##name##_body(nanobind::borrow<nanobind::module_>(m));                           \
      return 0;                                                                                 \
    } catch (...) {                                                                             \
      ::lumencad::set_python_error_from_current_exception();                                    \
      return -1;                                                                                \
    }                                                                                           \
  }                                                                                             \
  static PyModuleDef_Slot lumencad_##name##_slots[] = {                                         \
      {Py_mod_exec, reinterpret_cast<void*>(lumencad_##name##_exec)}, {0, nullptr}};            \
  static PyModuleDef lumencad_##name##_def = {                                                  \
      PyModuleDef_HEAD_INIT,   #name,   nullptr, 0,      nullptr,                               \
      lumencad_##name##_slots, nullptr, nullptr, nullptr};                                      \
  extern "C" [[maybe_unused]] NB_EXPORT PyObject* PyInit_##name(void);                          \
  extern "C" PyObject* PyInit_##name(void) { return PyModuleDef_Init(&lumencad_##name##_def); } \
  void lumencad_##name##_body(nanobind::module_ variable)
