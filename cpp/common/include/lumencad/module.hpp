// LUMENCAD_MODULE(name, m): defines an extension module as NB_MODULE does,
// except for how a failing module body is reported. nanobind rewraps any
// exception as ImportError("Encountered an error while initializing the
// extension."), burying the real cause; a core module's body mostly imports
// its collaborators, and a caller must see their failure as it is (a missing
// package as ModuleNotFoundError, a bad settings value as TypeError). So the
// Python exception that escapes the body is raised unchanged, and any other
// C++ exception becomes its matching Python exception.
//
// The module object is created exactly as NB_MODULE creates it; the macro
// follows the nanobind release pinned in pyproject.toml.
#pragma once

#include <nanobind/nanobind.h>

#include "lumencad/function.hpp"

#define LUMENCAD_MODULE(name, variable) LUMENCAD_MODULE_IMPL(name, variable)
#define LUMENCAD_MODULE_IMPL(name, variable)                                                    \
  static void lumencad_##name##_exec_impl(nanobind::module_);                                   \
  static int lumencad_##name##_exec(PyObject* m) {                                              \
    nanobind::detail::internals = NB_CALL(nb_module_init)(NB_DOMAIN_STR, m);                    \
    if (!nanobind::detail::internals) return -1;                                                \
    try {                                                                                       \
      lumencad_##name##_exec_impl(nanobind::borrow<nanobind::module_>(m));                      \
      return 0;                                                                                 \
    } catch (...) {                                                                             \
      ::lumencad::set_python_error_from_current_exception();                                    \
    }                                                                                           \
    return -1;                                                                                  \
  }                                                                                             \
  static PyObject* lumencad_##name##_def = nullptr;                                             \
  extern "C" [[maybe_unused]] NB_EXPORT PyObject* PyInit_##name(void);                          \
  extern "C" PyObject* PyInit_##name(void) {                                                    \
    nanobind::detail::init_singletons();                                                        \
    if (!nanobind::detail::nb_backend_init(#name)) return nullptr;                              \
    if (!lumencad_##name##_def)                                                                 \
      lumencad_##name##_def =                                                                   \
          NB_CALL(module_new)(#name, nullptr, (void*)lumencad_##name##_exec, NB_ABI_MINOR_TAG); \
    return lumencad_##name##_def;                                                               \
  }                                                                                             \
  void lumencad_##name##_exec_impl(nanobind::module_ variable)
