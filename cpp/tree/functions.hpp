// The C++ implementations behind lumencad.core.cli.tree's functions, one
// group per file; module.cpp binds them in the module's order.
#pragma once

#include "lumencad/function.hpp"

namespace lumencad::tree {

// tree.cpp: the project tree, every cell a project offers grouped by source
// file or by PDK and project, as YAML text.
// _tree(path, pdk, by, key, none_str, pdk_cell_names): the YAML text.
FunctionBody build_tree;
// tree(path, pdk, by, key, none_str): the command; prints the YAML text.
FunctionBody tree_command;

// introspection.cpp: the defaults of a factory, the cells and models of a
// module, one branch of a tree, and the tree cleaned for output.
// select_key(dct, key): the branch named by the dotted key, or dct itself.
FunctionBody select_key;
// get_args(func): parameter name -> default, for the defaults the YAML safe
// dumper can write, in parameter order.
FunctionBody get_args;
// _remove_empty_defaults(obj, none_str=None): a cleaned copy of obj.
FunctionBody remove_empty_defaults;
// get_cells(mod): the cells `mod` itself defines, by name.
FunctionBody get_cells;
// get_models(mod): the models a PDK module offers.
FunctionBody get_models;

// ports.cpp: the ports files the builders write, read back for the tree.
// _pdk_name_to_ports(repo_dir, name): the ports file of a PDK cell,
// <repo_dir>/build/gds/pdk/ports/<name>.json, parsed; {} when it cannot be read.
FunctionBody pdk_name_to_ports;
// _source_to_ports(repo_dir, source, name): the ports file of a project cell,
// <repo_dir>/build/gds/<folder of source>/ports/<name>.json, parsed; {} when
// it cannot be read.
FunctionBody source_to_ports;

}  // namespace lumencad::tree
