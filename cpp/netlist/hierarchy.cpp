// Hierarchy stage: which components of the netlist are hierarchical pics;
// and the walk that normalises every "cross_section" value of a mapping tree.
#include "functions.hpp"

#include "lumencad/handles.hpp"
#include "lumencad/pyobject.hpp"
#include "lumencad/stack.hpp"

namespace lumencad::netlist {

nb::object patch_netlist_with_hierarchy_info(nb::handle module, const nb::handle* args) {
  nb::handle netlist = args[0];
  nb::object get_name = module_global(module, "_get_component_name");
  nb::object is_hierarchical = module_global(module, "is_hierarchical_pic");
  nb::list hierarchical;
  for (nb::handle record : item(netlist, "instances").attr("values")()) {
    if (truthy(is_hierarchical(get_name(record)))) hierarchical.append(get_name(record));
  }
  nb::object distinct = checked(PySet_New(hierarchical.ptr()));
  nb::object sorted_names = module_global(module, "natsorted")(distinct);
  nb::object schematic = item(item(netlist, "info"), "schematic");
  schematic["hierarchical"] = sorted_names;
  return nb::borrow(netlist);
}

nb::object replace_cross_sections_recursive(nb::handle module, const nb::handle* args) {
  static const nb::handle cross_section = nb::str("cross_section").release();
  nb::handle obj = args[0];
  if (!PyDict_Check(obj.ptr())) return nb::borrow(obj);

  // Each level is a call of the module function: trees deeper than the
  // recursion limit or the C stack allows, and mappings that contain
  // themselves, end in RecursionError.
  RecursionGuard guard(" while replacing cross-sections");
  // A snapshot of the keys; a dict subclass lists them through its own keys().
  nb::object keys = PyDict_CheckExact(obj.ptr())
                        ? checked(PyDict_Keys(obj.ptr()))
                        : checked(PySequence_List(obj.attr("keys")().ptr()));
  for (nb::handle key : keys) {
    int is_cross_section = PyObject_RichCompareBool(key.ptr(), cross_section.ptr(), Py_EQ);
    if (is_cross_section < 0) throw nb::python_error();
    nb::object value = checked(PyObject_GetItem(obj.ptr(), key.ptr()));
    nb::object replacement =
        is_cross_section ? module_global(module, "check_cross_section")(value)
                         : module_global(module, "_replace_cross_sections_recursive")(value);
    if (PyObject_SetItem(obj.ptr(), key.ptr(), replacement.ptr()) < 0) throw nb::python_error();
  }
  return nb::borrow(obj);
}

}  // namespace lumencad::netlist
