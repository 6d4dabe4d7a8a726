// Looking into cells and trees: the defaults of a factory, the cells and
// models of a module, one branch of a tree, and the tree cleaned for output.
#pragma once

#include <nanobind/nanobind.h>

namespace lumencad::tree {

namespace nb = nanobind;

// select_key(dct, key): the branch named by the dotted key, or dct itself.
nb::object select_key(nb::handle module, const nb::handle* args);

// get_args(func): parameter name -> default, for the defaults the YAML safe
// dumper can write, in parameter order.
nb::object get_args(nb::handle module, const nb::handle* args);

// _remove_empty_defaults(obj, none_str=None): a cleaned copy of obj.
nb::object remove_empty_defaults(nb::handle module, const nb::handle* args);

// get_cells(mod): the cells `mod` itself defines, by name.
nb::object get_cells(nb::handle module, const nb::handle* args);

// get_models(mod): the models a PDK module offers.
nb::object get_models(nb::handle module, const nb::handle* args);

}  // namespace lumencad::tree
