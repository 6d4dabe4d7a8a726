// lumencad.core.cli.patch_netlist: the patch-netlist command, the viewer
// server's netlist POST entry, and the viewer page rewrite with its change
// polling.
#include <nanobind/nanobind.h>

#include "functions.hpp"

#include "lumencad/build_loop.hpp"
#include "lumencad/function.hpp"
#include "lumencad/handles.hpp"
#include "lumencad/module.hpp"
#include "yaml_text.hpp"

namespace nb = nanobind;
using lumencad::Check;
using lumencad::def_function;

LUMENCAD_MODULE(patch_netlist, m) {
  namespace ps = lumencad::patch_service;
  constexpr const char* shared = "lumencad.core.shared";
  lumencad::bind_imports(m, {{"s", "lumencad.settings", "SETTINGS"},
                             {"_patch_netlist", "lumencad.core.netlist", "patch_netlist"},
                             {"get_netlist_schema", "lumencad.core.schema", "get_netlist_schema"},
                             {"cli_environment", shared, "cli_environment"},
                             {"import_pdk", shared, "import_pdk"},
                             {"print_to_file", shared, "print_to_file"},
                             {"register_cells", shared, "register_cells"},
                             {"app", "lumencad.core.cli.app", "app"}});

  // Handles the calls use, looked up once here.
  for (const char* name : {"abspath", "dirname", "exists", "isfile", "join", "relpath", "split"})
    lumencad::cached("os.path", name);
  lumencad::cached("os", "makedirs");
  lumencad::cached("io", "open");
  lumencad::cached("json", "dumps");
  lumencad::cached("tempfile", "gettempdir");
  ps::init_yaml_text();

  nb::object default_pdk = lumencad::default_pdk_name(m.attr("s"));
  def_function(m, {"validate_args",
                   {{"path"}, {"outpath"}, {"schemapath"}, {"pdk"}},
                   "tuple[str, str, str, str, str]",
                   nullptr,
                   ps::validate_args});
  lumencad::def_command(m, {"patch_netlist",
                            {{"path", "str", Check::Str},
                             {"outpath", "str", Check::Str, nb::str("stdout")},
                             {"pdk", "str", Check::Str, default_pdk},
                             {"stdin", "bool", Check::None, nb::bool_(false)},
                             {"schemapath", "str", Check::Str, nb::str("")}},
                            nullptr,
                            nullptr,
                            ps::patch_netlist});
  def_function(m, {"patch_netlist_post",
                   {{"path", "str", Check::Str},
                    {"body", "str", Check::Str},
                    {"schemapath", "str", Check::Str},
                    {"pdk", "str", Check::Str}},
                   "str",
                   nullptr,
                   ps::patch_netlist_post});
  def_function(m,
               {"modify_body", {{"body"}, {"theme"}, {"file"}}, nullptr, nullptr, ps::modify_body});
  def_function(m, {"changed",
                   {{"project_dir", "str", Check::Str}, {"file_name", "str", Check::Str}},
                   nullptr,
                   nullptr,
                   ps::changed});
}
