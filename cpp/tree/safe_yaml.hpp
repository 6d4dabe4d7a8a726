// The YAML safe dumper's two uses in the tree: testing whether a default value
// can be dumped at all, and dumping the finished tree.
//
// Both give exactly what PyYAML's `yaml.safe_dump` gives. Plain data that the
// stock safe dumper handles in a known way (None, bool, int, float, str, and
// lists, tuples and dicts of them) is answered here without running the
// dumper; everything else, and everything once the safe dumper has been
// customised, goes through `yaml.safe_dump` itself.
#pragma once

#include <nanobind/nanobind.h>

namespace lumencad::tree {

namespace nb = nanobind;

// Looks up the safe dumper's handles once, while the module is imported.
void prepare_safe_yaml();

// True when `yaml.safe_dump({"x": value}, sort_keys=False)` succeeds; an
// ordinary exception from the dumper means false, anything else propagates.
bool safe_dumpable(nb::handle value);

// `yaml.safe_dump(data, sort_keys=True, default_flow_style=False)`.
nb::object safe_dump_sorted(nb::handle data);

}  // namespace lumencad::tree
