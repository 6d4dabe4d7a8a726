// Natural sort order as natsort's `natsorted` gives it.
#pragma once

#include <nanobind/nanobind.h>

#include "lumencad/export.hpp"

namespace lumencad {

namespace nb = nanobind;

// natsorted(names) through the module's `natsorted` global: while that is
// natsort's own natsorted, a plain sort with its default key function made
// once (natsorted makes a new one, compiling its regular expressions, on every
// call); otherwise whatever replaced it is called.
LUMENCAD_API nb::object module_natsorted(nb::handle module, nb::handle names);

}  // namespace lumencad
