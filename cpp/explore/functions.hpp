// The C++ implementations behind lumencad.core.explore's functions, one group
// per file; module.cpp binds them in the module's order.
#pragma once

#include "lumencad/function.hpp"

namespace lumencad::explore {

// graph.cpp: the PDK dependency graph and the per-cell queries it is built from.
FunctionBody num_args, get_f, get_c, get_net, get_port_names, is_fixed, get_pdk_graph;

// finders.cpp: node names of the graph, each list in natural order.
FunctionBody find_without_ports, find_unconnected, find_sinks, find_fixed, find_composite,
    find_good_sinks;

// colors.cpp: node colours and the top-level cells read from them. The
// default colours are RGBA with a light alpha so that labels stay readable.
inline constexpr const char* kGoodColor = "#00ff0033";
inline constexpr const char* kCompositeColor = "#0000ff33";
inline constexpr const char* kNoPortsColor = "#ff000033";
inline constexpr const char* kIsFixedColor = "#ffff0033";
FunctionBody get_node_colors, get_top_level_cells;

// plot.cpp: the drawing of the active PDK's dependency graph.
FunctionBody plot_pdk_relations;

// classify.cpp: the cell factories sorted into parametric, fixed and other.
FunctionBody classify_cells;

}  // namespace lumencad::explore
