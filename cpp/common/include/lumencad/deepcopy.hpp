// Deep copy of plain netlist trees with the results of copy.deepcopy.
#pragma once

#include <nanobind/nanobind.h>

#include "lumencad/export.hpp"

namespace lumencad {

namespace nb = nanobind;

// Returns what copy.deepcopy(obj) returns. dict, list and tuple containers and
// the immutable scalars (None, bool, int, float, str, ...) are handled in C++;
// objects shared within the tree stay shared in the copy; any other object is
// handed to copy.deepcopy(obj, memo) with a memo holding everything copied so
// far (keyed by id, with the keep-alive list under id(memo)).
LUMENCAD_API nb::object deep_copy(nb::handle obj);

// copy.deepcopy(obj, memo) with a caller-provided memo dict.
LUMENCAD_API nb::object deep_copy(nb::handle obj, nb::dict memo);

}  // namespace lumencad

namespace lumencad {

// Deep copy through the module's `deepcopy` global: deep_copy() while that is
// copy.deepcopy, otherwise whatever replaced it.
LUMENCAD_API nb::object module_deepcopy(nb::handle module, nb::handle obj);

}  // namespace lumencad
