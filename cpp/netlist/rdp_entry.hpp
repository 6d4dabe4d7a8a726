// The _rdp and _line_dists entry points over the simplification kernels, and
// the choice, made once at import, of how they round a line's length to match
// numpy on this machine.
#pragma once

#include "lumencad/function.hpp"

namespace lumencad::netlist {

// Fixes the distance rounding for the rest of the process: the one
// LUMENCAD_NORM_ROUNDING names ("fused", "separate" or "numpy"), else the one
// a probe of np.linalg.norm finds. Call once, before either entry point runs.
void choose_distance_rule();

// Implementations of _rdp and _line_dists, as def_function takes them.
nb::object rdp_impl(nb::handle module, const nb::handle* args);
nb::object line_dists_impl(nb::handle module, const nb::handle* args);

}  // namespace lumencad::netlist
