// The frame of the annotation pipeline: the orchestrator patch_netlist, the
// canonical key order, the reset of the schematic section, the one-instance
// wrapper, the available connections and the good-netlist keeper.
#pragma once

#include <nanobind/nanobind.h>

namespace lumencad::netlist {

namespace nb = nanobind;

// Implementations bound by module.cpp; args follow the parameter order of
// each function's table entry there.
nb::object patch_netlist(nb::handle module, const nb::handle* args);
nb::object ensure_netlist_order(nb::handle module, const nb::handle* args);
nb::object reset_netlist_schematic_info(nb::handle module, const nb::handle* args);
nb::object wrap_component_in_netlist(nb::handle module, const nb::handle* args);
nb::object get_available_connections(nb::handle module, const nb::handle* args);
nb::object update_good_netlist(nb::handle module, const nb::handle* args);

// Runs one annotation stage: calls the module global `stage` with the netlist
// (after `name` when given) and passes the result through the keeper.
nb::object run_stage(nb::handle module, nb::handle keeper, const char* stage, nb::handle netlist);
nb::object run_stage(nb::handle module, nb::handle keeper, const char* stage, nb::handle name,
                     nb::handle netlist);

}  // namespace lumencad::netlist
