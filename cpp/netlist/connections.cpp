// Connection stage: builds the circuit's layout, extracts the connections it
// really makes and records those the netlist does not declare as implicit.
#include "connections.hpp"

#include "lumencad/deepcopy.hpp"
#include "lumencad/handles.hpp"
#include "lumencad/unpack.hpp"
#include "ports.hpp"

namespace lumencad::netlist {

namespace {

// The module's `deepcopy`: the fast tree copy while it is the standard one,
// whatever replaced it otherwise.
nb::object copy_of(nb::handle module, nb::handle netlist) {
  nb::object deepcopy = module_global(module, "deepcopy");
  if (deepcopy.is(cached("copy", "deepcopy"))) return deep_copy(netlist);
  return deepcopy(netlist);
}

// Whether `connections` maps `from` to anything but `to`; a missing key reads
// as "", so it never matches.
bool maps_elsewhere(nb::handle connections, nb::handle from, nb::handle to) {
  static const nb::handle empty = nb::str("").release();
  PyObject* value = PyDict_GetItemWithError(connections.ptr(), from.ptr());
  if (value == nullptr) {
    if (PyErr_Occurred()) throw nb::python_error();
    value = empty.ptr();
  }
  int differs = PyObject_RichCompareBool(value, to.ptr(), Py_NE);
  if (differs < 0) throw nb::python_error();
  return differs == 1;
}

bool has_key(nb::handle mapping, nb::handle key) {
  int found = PyDict_Contains(mapping.ptr(), key.ptr());
  if (found < 0) throw nb::python_error();
  return found == 1;
}

}  // namespace

nb::object is_implicit_connection(nb::handle, const nb::handle* args) {
  nb::handle ip1 = args[0], ip2 = args[1], instances = args[2], connections = args[3];
  nb::object instance1, port1, instance2, port2;
  split_reference(ip1, instance1, port1);
  split_reference(ip2, instance2, port2);
  // Connections to instances the netlist does not name (made up by the layout
  // library) are never implicit.
  bool implicit = has_key(instances, instance1) && has_key(instances, instance2) &&
                  maps_elsewhere(connections, ip1, ip2) && maps_elsewhere(connections, ip2, ip1);
  return nb::bool_(implicit);
}

nb::object patch_netlist_with_connection_info(nb::handle module, const nb::handle* args) {
  nb::handle netlist = args[0];
  nb::object component =
      module_global(module, "pl").attr("read").attr("from_yaml")(copy_of(module, netlist));
  nb::object extracted = component.attr("get_netlist")(nb::arg("allow_multiple") = true);
  nb::object nets = extracted.attr("pop")("nets", nb::list());
  nb::object declared = extracted.attr("pop")("connections", nb::dict());
  nb::object connections = module_global(module, "_nets_to_connections")(nets, declared);
  extracted["connections"] = connections;

  nb::object is_implicit = module_global(module, "_is_implicit_connection");
  for (nb::handle pair : item(extracted, "connections").attr("items")()) {
    auto [ip1, ip2] = unpack2(pair);
    nb::object instances = item(netlist, "instances");
    nb::object netlist_connections = item(netlist, "connections");
    nb::object verdict = is_implicit(ip1, ip2, instances, netlist_connections);
    int truth = PyObject_IsTrue(verdict.ptr());
    if (truth < 0) throw nb::python_error();
    if (truth == 0) continue;
    nb::object implicit = item(item(item(netlist, "info"), "schematic"), "implicit_connections");
    if (PyObject_SetItem(implicit.ptr(), ip1.ptr(), ip2.ptr()) < 0) throw nb::python_error();
  }
  return nb::borrow(netlist);
}

}  // namespace lumencad::netlist
