// The netlist patch service: a pic file (or a POST body) through the
// annotation pipeline to YAML text with a schema header line.
#pragma once

#include <nanobind/nanobind.h>

namespace lumencad::patch_service {

namespace nb = nanobind;

// validate_args(path, outpath, schemapath, pdk)
//   -> (picsdir, outpath, schemapath, pdkname, cellname).
nb::object validate_args(nb::handle module, const nb::handle* args);

// The command patch_netlist(path, outpath, pdk, stdin, schemapath).
nb::object patch_netlist(nb::handle module, const nb::handle* args);

// The viewer server's entry patch_netlist_post(path, body, schemapath, pdk).
nb::object patch_netlist_post(nb::handle module, const nb::handle* args);

}  // namespace lumencad::patch_service
