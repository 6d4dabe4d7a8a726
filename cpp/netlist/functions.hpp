// The C++ implementations behind lumencad.core.netlist's functions, one group
// per stage file; module.cpp binds them in the module's order. Each takes the
// defining module and the bound arguments in parameter order (FunctionImpl).
#pragma once

#include "lumencad/function.hpp"

namespace lumencad::netlist {

// pipeline.cpp: the frame of the annotation pipeline.
nb::object patch_netlist(nb::handle module, const nb::handle* args);
nb::object ensure_netlist_order(nb::handle module, const nb::handle* args);
nb::object reset_netlist_schematic_info(nb::handle module, const nb::handle* args);
nb::object wrap_component_in_netlist(nb::handle module, const nb::handle* args);
nb::object get_available_connections(nb::handle module, const nb::handle* args);
nb::object update_good_netlist(nb::handle module, const nb::handle* args);

// ports.cpp: port directions.
nb::object patch_netlist_with_port_info(nb::handle module, const nb::handle* args);
nb::object get_component_name(nb::handle module, const nb::handle* args);
nb::object try_get_ports(nb::handle module, const nb::handle* args);
nb::object get_ports(nb::handle module, const nb::handle* args);
nb::object get_orientation(nb::handle module, const nb::handle* args);

// placement.cpp: schematic points for instances and top-level ports.
nb::object patch_netlist_with_placement_info(nb::handle module, const nb::handle* args);

// connections.cpp: the connections the layout makes that the netlist does
// not declare.
nb::object patch_netlist_with_connection_info(nb::handle module, const nb::handle* args);
nb::object is_implicit_connection(nb::handle module, const nb::handle* args);

// hierarchy.cpp: hierarchical components and the cross-section walk.
nb::object patch_netlist_with_hierarchy_info(nb::handle module, const nb::handle* args);
nb::object replace_cross_sections_recursive(nb::handle module, const nb::handle* args);

// icons.cpp: defines patch_netlist_with_icon_info, _get_icon_poly,
// _get_icon_polys, _get_icon_poly_strings, _get_icon_poly_cached, _rdp and
// _line_dists on `m`, in that order, the two caching ones wrapped in the
// module's `lru_cache` (which must already be bound).
void define_icon_functions(nb::module_& m);

}  // namespace lumencad::netlist
