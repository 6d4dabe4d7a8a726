// Port directions of components, and the small object helpers the
// annotation stages share: instance-port references and mapping lookups.
#pragma once

#include <nanobind/nanobind.h>

namespace lumencad::netlist {

namespace nb = nanobind;

// Takes ownership of a new reference from the C API, raising the pending
// Python error when the call failed.
inline nb::object checked(PyObject* result) {
  if (result == nullptr) throw nb::python_error();
  return nb::steal(result);
}

// mapping.get(key, fallback): a direct lookup for plain dicts, the object's
// own `get` method for anything else.
nb::object mapping_get(nb::handle mapping, nb::handle key, nb::handle fallback);

// mapping[key] with the mapping's own KeyError when missing.
nb::object item(nb::handle mapping, const char* key);

// Splits an instance-port reference "instance,port" on its comma into
// exactly two pieces, raising the unpacking errors otherwise.
void split_reference(nb::handle reference, nb::object& instance, nb::object& port);

// Implementations bound by module.cpp; args follow each function's parameters.
nb::object patch_netlist_with_port_info(nb::handle module, const nb::handle* args);
nb::object get_component_name(nb::handle module, const nb::handle* args);
nb::object try_get_ports(nb::handle module, const nb::handle* args);
nb::object get_ports(nb::handle module, const nb::handle* args);
nb::object get_orientation(nb::handle module, const nb::handle* args);

}  // namespace lumencad::netlist
