// Introspection of cell factories, cell modules and PDK modules, and the two
// tree helpers (branch selection, output cleaning).
#include "functions.hpp"

#include "lumencad/handles.hpp"
#include "lumencad/mapping.hpp"
#include "lumencad/pyobject.hpp"
#include "lumencad/stack.hpp"
#include "safe_yaml.hpp"

namespace lumencad::tree {

namespace {

// getattr(obj, name, None).
nb::object attr_or_none(nb::handle obj, const char* name) {
  PyObject* value = PyObject_GetAttrString(obj.ptr(), name);
  if (value) return nb::steal(value);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
  PyErr_Clear();
  return nb::none();
}

// a == b, as the interpreter's `==` decides it, then its truth.
bool equals(nb::handle a, nb::handle b) {
  return truthy(checked(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ)));
}

bool is_defaults_key(nb::handle key) {
  static PyObject* const defaults = PyUnicode_InternFromString("defaults");
  if (PyUnicode_CheckExact(key.ptr())) return PyUnicode_Compare(key.ptr(), defaults) == 0;
  return equals(key, defaults);
}

nb::object clean(nb::handle obj, nb::handle none_str) {
  if (PyDict_Check(obj.ptr())) {
    RecursionGuard guard(" while cleaning the tree");
    nb::dict result;
    for_each_item(obj, [&](nb::handle key, nb::handle value) {
      if (is_defaults_key(key) && !truthy(value)) return;
      set_item(result, key, clean(value, none_str));
    });
    return std::move(result);
  }
  if (PyList_Check(obj.ptr())) {
    RecursionGuard guard(" while cleaning the tree");
    nb::list result;
    for (nb::handle item : obj) result.append(clean(item, none_str));
    return std::move(result);
  }
  if (obj.is_none() && !none_str.is_none()) return checked(PyObject_Str(none_str.ptr()));
  return nb::borrow(obj);
}

}  // namespace

nb::object select_key(nb::handle, const nb::handle* args) {
  nb::handle dct = args[0], key = args[1];
  if (!truthy(key)) return nb::borrow(dct);
  nb::object value = nb::borrow(dct);
  for (nb::handle part : key.attr("split")(".")) value = item(value, part);
  return value;
}

nb::object get_args(nb::handle, const nb::handle* args) {
  static nb::object& signature = cached("inspect", "signature");
  static nb::object& parameter = cached("inspect", "Parameter");
  nb::object empty = parameter.attr("empty");
  nb::dict defaults;
  nb::object parameters = signature(args[0]).attr("parameters");
  for_each_item(parameters, [&](nb::handle name, nb::handle param) {
    nb::object value = param.attr("default");
    if (equals(value, empty) || !safe_dumpable(value)) return;
    set_item(defaults, name, value);
  });
  return std::move(defaults);
}

nb::object remove_empty_defaults(nb::handle, const nb::handle* args) {
  return clean(args[0], args[1]);
}

nb::object get_cells(nb::handle module, const nb::handle* args) {
  nb::handle mod = args[0];
  nb::object cells = module_global(module, "_get_cells")(mod);
  nb::dict own;
  for_each_item(cells, [&](nb::handle name, nb::handle factory) {
    // Factories the module imports from elsewhere name another module.
    if (equals(attr_or_none(factory, "__module__"), mod.attr("__name__")))
      set_item(own, name, factory);
  });
  return std::move(own);
}

nb::object get_models(nb::handle module, const nb::handle* args) {
  nb::handle mod = args[0];
  nb::object models = or_fallback([&] { return mod.attr("models").attr("models"); }, nb::object());
  if (!models.is_valid())
    models = or_fallback([&] { return mod.attr("models").attr("get_models")(); }, nb::object());
  if (!models.is_valid())
    models = or_fallback([&] { return mod.attr("PDK").attr("models"); }, nb::object());
  if (!models.is_valid())
    models = module_global(module, "pl").attr("get_active_pdk")().attr("models");
  return models;
}

}  // namespace lumencad::tree
