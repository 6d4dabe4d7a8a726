// The C++ implementations behind lumencad.core.cli.patch_netlist's functions,
// one group per file; module.cpp binds them in the module's order. Each takes
// the defining module and the bound arguments in parameter order
// (FunctionImpl).
#pragma once

#include "lumencad/function.hpp"

namespace lumencad::patch_service {

// patch_service.cpp: a pic file (or a POST body) through the annotation
// pipeline to YAML text with a schema header line.
// validate_args(path, outpath, schemapath, pdk)
//   -> (picsdir, outpath, schemapath, pdkname, cellname).
FunctionBody validate_args;
// The command patch_netlist(path, outpath, pdk, stdin, schemapath).
FunctionBody patch_netlist;
// The viewer server's entry patch_netlist_post(path, body, schemapath, pdk).
FunctionBody patch_netlist_post;

// viewer_page.cpp: modify_body(body, theme, file), the viewer page as the
// server sends it (theme, background colours, change polling, no shadows).
FunctionBody modify_body;

// change_polling.cpp: changed(project_dir, file_name), whether the watched
// file changed since the last poll that any caller made.
FunctionBody changed;

}  // namespace lumencad::patch_service
