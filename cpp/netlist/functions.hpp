// The C++ implementations behind lumencad.core.netlist's functions, one group
// per stage file; module.cpp binds them in the module's order.
#pragma once

#include "lumencad/function.hpp"

namespace lumencad::netlist {

// pipeline.cpp: the frame of the annotation pipeline.
FunctionBody patch_netlist, ensure_netlist_order, reset_netlist_schematic_info,
    wrap_component_in_netlist, get_available_connections, update_good_netlist;

// ports.cpp: port directions.
FunctionBody patch_netlist_with_port_info, get_component_name, try_get_ports, get_ports,
    get_orientation;

// placement.cpp: schematic points for instances and top-level ports.
FunctionBody patch_netlist_with_placement_info;

// connections.cpp: the connections the layout makes that the netlist does
// not declare.
FunctionBody patch_netlist_with_connection_info, is_implicit_connection;

// hierarchy.cpp: hierarchical components and the cross-section walk.
FunctionBody patch_netlist_with_hierarchy_info, replace_cross_sections_recursive;

// icons.cpp: defines patch_netlist_with_icon_info, _get_icon_poly,
// _get_icon_polys, _get_icon_poly_strings, _get_icon_poly_cached, _rdp and
// _line_dists on `m`, in that order, the two caching ones wrapped in the
// module's `lru_cache` (which must already be bound).
void define_icon_functions(nb::module_& m);

}  // namespace lumencad::netlist
