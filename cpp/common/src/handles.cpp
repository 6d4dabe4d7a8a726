// Cached handles to Python callables and module-global lookups.
#include "lumencad/handles.hpp"

#include <string>
#include <unordered_map>

namespace lumencad {

namespace {

// Never destroyed: the handles outlive every module and must not be released
// after the interpreter has shut down.
std::unordered_map<std::string, nb::object>& cache() {
  static auto* entries = new std::unordered_map<std::string, nb::object>();
  return *entries;
}

// Interned key objects for global names, keyed by the caller's literal.
PyObject* interned(const char* name) {
  static auto* names = new std::unordered_map<const char*, PyObject*>();
  auto it = names->find(name);
  if (it != names->end()) return it->second;
  PyObject* key = PyUnicode_InternFromString(name);
  if (!key) throw nb::python_error();
  names->emplace(name, key);
  return key;
}

}  // namespace

nb::object& cached(const char* module, const char* attr) {
  std::string key = std::string(module) + ":" + attr;
  auto& entries = cache();
  auto it = entries.find(key);
  if (it != entries.end()) return it->second;
  nb::object value = nb::module_::import_(module).attr(attr);
  return entries.emplace(std::move(key), std::move(value)).first->second;
}

nb::object module_global(nb::handle module, const char* name) {
  PyObject* key = interned(name);
  PyObject* globals = PyModule_GetDict(module.ptr());
  if (!globals) throw nb::python_error();
  PyObject* value = PyDict_GetItemWithError(globals, key);
  if (value) return nb::borrow(value);
  if (PyErr_Occurred()) throw nb::python_error();
  PyObject* builtins = PyEval_GetBuiltins();
  if (builtins) {
    value = PyDict_GetItemWithError(builtins, key);
    if (value) return nb::borrow(value);
    if (PyErr_Occurred()) throw nb::python_error();
  }
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
  throw nb::python_error();
}

void bind_imports(nb::module_& m, std::initializer_list<Import> imports) {
  for (const Import& import : imports) {
    nb::object value = nb::module_::import_(import.module);
    if (import.attr) value = value.attr(import.attr);
    m.attr(import.name) = value;
  }
}

}  // namespace lumencad
