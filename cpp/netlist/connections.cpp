// Connection stage: builds the circuit's layout, extracts the connections it
// really makes and records those the netlist does not declare as implicit.
#include "functions.hpp"

#include "lumencad/deepcopy.hpp"
#include "lumencad/handles.hpp"
#include "lumencad/mapping.hpp"
#include "lumencad/pyobject.hpp"
#include "lumencad/unpack.hpp"

namespace lumencad::netlist {

namespace {

// Whether `connections` maps `from` to anything but `to`, references compared
// in their plain form; a missing key reads as "", so it never matches.
bool maps_elsewhere(nb::handle connections, nb::handle from, nb::handle to) {
  static const nb::handle empty = nb::str("").release();
  nb::object value = mapping_get(connections, canonical_reference(from), empty);
  int differs = PyObject_RichCompareBool(canonical_reference(value).ptr(),
                                         canonical_reference(to).ptr(), Py_NE);
  if (differs < 0) throw nb::python_error();
  return differs == 1;
}

// The declared connections with every reference in its plain form, so that a
// connection written "a, o1" is the one the layout reports as "a,o1".
nb::dict plain_connections(nb::handle connections) {
  nb::dict plain;
  for_each_item(connections, [&](nb::handle from, nb::handle to) {
    set_item(plain, canonical_reference(from), canonical_reference(to));
  });
  return plain;
}

}  // namespace

nb::object is_implicit_connection(nb::handle, const nb::handle* args) {
  nb::handle ip1 = args[0], ip2 = args[1], instances = args[2], connections = args[3];
  Reference first = split_reference(ip1);
  Reference second = split_reference(ip2);
  // Connections to instances the netlist does not name (made up by the layout
  // library) are never implicit.
  bool implicit = contains(instances, first.instance) && contains(instances, second.instance) &&
                  maps_elsewhere(connections, ip1, ip2) && maps_elsewhere(connections, ip2, ip1);
  return nb::bool_(implicit);
}

nb::object patch_netlist_with_connection_info(nb::handle module, const nb::handle* args) {
  nb::handle netlist = args[0];
  nb::object component =
      module_global(module, "pl").attr("read").attr("from_yaml")(module_deepcopy(module, netlist));
  nb::object extracted = component.attr("get_netlist")(nb::arg("allow_multiple") = true);
  nb::object nets = extracted.attr("pop")("nets", nb::list());
  nb::object declared = extracted.attr("pop")("connections", nb::dict());
  nb::object connections = module_global(module, "_nets_to_connections")(nets, declared);
  extracted["connections"] = connections;

  nb::object is_implicit = module_global(module, "_is_implicit_connection");
  nb::object plain;  // the declared connections, read at the first extracted pair
  for (nb::handle pair : item(extracted, "connections").attr("items")()) {
    auto [ip1, ip2] = unpack2(pair);
    nb::object instances = item(netlist, "instances");
    if (!plain.is_valid()) plain = plain_connections(item(netlist, "connections"));
    if (!truthy(is_implicit(ip1, ip2, instances, plain))) continue;
    nb::object implicit = item(item(item(netlist, "info"), "schematic"), "implicit_connections");
    set_item(implicit, ip1, ip2);
  }
  return nb::borrow(netlist);
}

}  // namespace lumencad::netlist
