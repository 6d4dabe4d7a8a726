// Node colours of a PDK dependency graph and the top-level cells read from them.
#pragma once

#include <nanobind/nanobind.h>

namespace lumencad::explore {

namespace nb = nanobind;

// The default colours: RGBA with a light alpha so that labels stay readable.
inline constexpr const char* kGoodColor = "#00ff0033";
inline constexpr const char* kCompositeColor = "#0000ff33";
inline constexpr const char* kNoPortsColor = "#ff000033";
inline constexpr const char* kIsFixedColor = "#ffff0033";

// Implementations bound by module.cpp; args follow each function's parameters.
nb::object get_node_colors(nb::handle module, const nb::handle* args);
nb::object get_top_level_cells(nb::handle module, const nb::handle* args);

}  // namespace lumencad::explore
