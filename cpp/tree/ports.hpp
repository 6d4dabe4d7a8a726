// The ports files the builders write, read back for the tree.
#pragma once

#include <nanobind/nanobind.h>

namespace lumencad::tree {

namespace nb = nanobind;

// _pdk_name_to_ports(repo_dir, name): the ports file of a PDK cell,
// <repo_dir>/build/gds/pdk/ports/<name>.json, parsed; {} when it cannot be read.
nb::object pdk_name_to_ports(nb::handle module, const nb::handle* args);

// _source_to_ports(repo_dir, source, name): the ports file of a project cell,
// <repo_dir>/build/gds/<folder of source>/ports/<name>.json, parsed; {} when
// it cannot be read.
nb::object source_to_ports(nb::handle module, const nb::handle* args);

}  // namespace lumencad::tree
