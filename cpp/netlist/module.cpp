// Binding of lumencad.core.netlist: its collaborators, the `Netlist` alias and
// its functions, bound in a fixed order.
#include <nanobind/nanobind.h>

#include "functions.hpp"
#include "lumencad/function.hpp"
#include "lumencad/handles.hpp"
#include "lumencad/module.hpp"

namespace nb = nanobind;
using lumencad::Check;
using lumencad::def_function;

namespace {

void bind_collaborators(nb::module_& m) {
  constexpr const char* pdk = "lumencad.core.pdk";
  lumencad::bind_imports(m, {{"deepcopy", "copy", "deepcopy"},
                             {"lru_cache", "functools", "lru_cache"},
                             {"partial", "functools", "partial"},
                             {"Any", "typing", "Any"},
                             {"pl", "polyloom"},
                             {"gdstk", "gdstk"},
                             {"np", "numpy"},
                             {"sg", "shapely.geometry"},
                             {"natsorted", "natsort", "natsorted"},
                             {"_nets_to_connections", "netweave.netlist", "_nets_to_connections"},
                             {"check_cross_section", pdk, "check_cross_section"},
                             {"get_all_pics", pdk, "get_all_pics"},
                             {"get_pdk_pics", pdk, "get_pdk_pics"},
                             {"is_hierarchical_pic", pdk, "is_hierarchical_pic"},
                             {"is_pdk_pic", pdk, "is_pdk_pic"},
                             {"most_common_layers", pdk, "most_common_layers"}});
}

}  // namespace

LUMENCAD_MODULE(netlist, m) {
  namespace nl = lumencad::netlist;
  // Handles used by the deep copy and the keeper, looked up once here.
  lumencad::cached("copy", "deepcopy");

  bind_collaborators(m);
  m.attr("Netlist") = nb::borrow(reinterpret_cast<PyObject*>(&PyDict_Type));

  def_function(m, {"patch_netlist",
                   {{"name", "str", Check::Str}, {"netlist", "Netlist"}},
                   "Netlist",
                   "Annotate a netlist for the schematic editor.\n\n"
                   "Returns a new netlist in canonical key order with port directions,\n"
                   "implicit connections, hierarchical components and schematic positions\n"
                   "under info.schematic; the argument is not modified.",
                   nl::patch_netlist});
  def_function(m, {"ensure_netlist_order",
                   {{"netlist", "Netlist"}},
                   "Netlist",
                   "Return a shallow copy of the netlist with the keys pdk, instances,\n"
                   "connections, routes, ports, placements and info first (filled with\n"
                   "defaults when absent), followed by any other keys in their order.",
                   nl::ensure_netlist_order});
  def_function(m, {"reset_netlist_schematic_info",
                   {{"netlist", "Netlist"}},
                   "Netlist",
                   "Empty the computed parts of info.schematic and prune the stored\n"
                   "placements, port placements and Manhattan fractions to what still\n"
                   "exists. Changes the netlist in place and returns it.",
                   nl::reset_netlist_schematic_info});
  def_function(m, {"wrap_component_in_netlist",
                   {{"name", "str", Check::Str}},
                   "Netlist",
                   "Return a netlist holding one instance of the component `name`,\n"
                   "exposing every port of that instance.",
                   nl::wrap_component_in_netlist});
  def_function(m, {"patch_netlist_with_port_info",
                   {{"netlist", "Netlist"}},
                   "Netlist",
                   "Store the port direction map of every component the instances use under\n"
                   "info.schematic.component_ports, in natural order of the component names.\n"
                   "Changes the netlist in place and returns it.",
                   nl::patch_netlist_with_port_info});
  def_function(m, {"_get_component_name",
                   {{"component_dict"}, {"default", "str", Check::Str, nb::str("")}},
                   "str",
                   "Return the component name of an instance record, or the record itself\n"
                   "when it is a bare component name.",
                   nl::get_component_name});
  def_function(m, {"_try_get_ports",
                   {{"comp"}},
                   "dict[str, str]",
                   "Return the port direction map of a component, or an empty mapping when\n"
                   "it cannot be built.",
                   nl::try_get_ports});
  def_function(m, {"_get_ports",
                   {{"comp"}},
                   "dict[str, str]",
                   "Return the port direction map of a component: each port name to the\n"
                   "side it faces, 'n', 'e', 's' or 'w'.",
                   nl::get_ports});
  def_function(m, {"_get_orientation",
                   {{"patched_netlist"}, {"port"}},
                   nullptr,
                   "Return the direction letter of a top-level port from the\n"
                   "component_ports of a netlist patched with port info; 'e' when unknown.",
                   nl::get_orientation});
  def_function(m, {"patch_netlist_with_placement_info",
                   {{"name", "str", Check::Str},
                    {"netlist", "Netlist"},
                    {"width", "float", Check::Float, nb::float_(400.0)},
                    {"height", "float", Check::Float, nb::float_(400.0)}},
                   "Netlist",
                   "Give every instance and top-level port without a stored schematic point\n"
                   "one: instances from the layout of component `name` scaled onto a width\n"
                   "by height canvas, ports spread along the side they face. Changes the\n"
                   "netlist in place and returns it.",
                   nl::patch_netlist_with_placement_info});
  def_function(m, {"_get_available_connections",
                   {{"netlist"}},
                   nullptr,
                   "Return the set of 'a-b' keys of the declared connections (both\n"
                   "directions), the exposed ports (port name first) and the links of\n"
                   "every route (both directions).",
                   nl::get_available_connections});
  def_function(m, {"_update_good_netlist",
                   {{"good_netlist"}, {"netlist"}},
                   nullptr,
                   "Keep the last non-empty stage result.\n\n"
                   "An empty netlist gives an ordered deep copy of good_netlist; otherwise\n"
                   "good_netlist takes the entries of an ordered deep copy of netlist,\n"
                   "which is returned.",
                   nl::update_good_netlist});
  def_function(m, {"patch_netlist_with_connection_info",
                   {{"netlist", "Netlist"}},
                   "Netlist",
                   "Record under info.schematic.implicit_connections every connection the\n"
                   "built layout makes between the netlist's instances that the netlist\n"
                   "does not declare. Changes the netlist in place and returns it.",
                   nl::patch_netlist_with_connection_info});
  def_function(m, {"_is_implicit_connection",
                   {{"ip1", "str", Check::Str},
                    {"ip2", "str", Check::Str},
                    {"instances", "dict[str, Any]", Check::Dict},
                    {"connections", "dict[str, str]", Check::Dict}},
                   "bool",
                   "Whether the connection ip1-ip2 joins two of `instances` without being\n"
                   "declared in `connections` in either direction.",
                   nl::is_implicit_connection});
  def_function(m, {"patch_netlist_with_hierarchy_info",
                   {{"netlist", "Netlist"}},
                   "Netlist",
                   "Store the hierarchical components the instances use, each once and in\n"
                   "natural order, under info.schematic.hierarchical. Changes the netlist in\n"
                   "place and returns it.",
                   nl::patch_netlist_with_hierarchy_info});
  def_function(m, {"_replace_cross_sections_recursive",
                   {{"obj", "Any"}},
                   "Any",
                   "Pass every 'cross_section' value of a tree of mappings through\n"
                   "check_cross_section, in place; anything but a mapping is returned as is.",
                   nl::replace_cross_sections_recursive});
  // The icon functions come last.
  nl::define_icon_functions(m);
}
