// Netlist YAML in and out, through PyYAML's C (libyaml) classes where this
// PyYAML has them, with the text of its pure-Python safe classes.
#pragma once

#include <nanobind/nanobind.h>

namespace lumencad::patch_service {

namespace nb = nanobind;

// Picks the YAML classes once, while the module is imported.
void init_yaml_text();

// What the YAML safe loader makes of `source` (a str or a text stream).
nb::object load_yaml(nb::handle source);

// The block-style safe dump of `data` with keys in their own order: the text
// yaml.safe_dump(data, sort_keys=False) gives.
nb::object dump_yaml(nb::handle data);

// Whether the C emitter writes `data` exactly as the pure-Python one does:
// a tree of dicts and lists (shared and cyclic ones included) holding None,
// bools, ints, floats and strings of printable ASCII, whose keys are such
// strings of 1 to 122 characters. Outside that, the two differ in places:
// long double-quoted strings (non-ASCII, control characters) fold at other
// columns, and the pure emitter counts the implicit "!!str" tag against the
// 128-character limit of simple keys and never writes an empty key simply.
bool c_emitter_writes_alike(nb::handle data);

}  // namespace lumencad::patch_service
