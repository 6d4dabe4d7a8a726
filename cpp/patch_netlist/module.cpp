// lumencad.core.cli.patch_netlist: the patch-netlist command, the viewer
// server's netlist POST entry, and the viewer page rewrite with its change
// polling.
#include <nanobind/nanobind.h>

#include "change_polling.hpp"
#include "lumencad/build_loop.hpp"
#include "lumencad/function.hpp"
#include "lumencad/handles.hpp"
#include "lumencad/module.hpp"
#include "patch_service.hpp"
#include "viewer_page.hpp"
#include "yaml_text.hpp"

namespace nb = nanobind;
using lumencad::Check;
using lumencad::def_function;

LUMENCAD_MODULE(patch_netlist, m) {
  namespace ps = lumencad::patch_service;
  m.attr("s") = nb::module_::import_("lumencad.settings").attr("SETTINGS");
  m.attr("_patch_netlist") = nb::module_::import_("lumencad.core.netlist").attr("patch_netlist");
  m.attr("get_netlist_schema") =
      nb::module_::import_("lumencad.core.schema").attr("get_netlist_schema");
  nb::module_ shared = nb::module_::import_("lumencad.core.shared");
  for (const char* name : {"cli_environment", "import_pdk", "print_to_file", "register_cells"})
    m.attr(name) = shared.attr(name);
  m.attr("app") = nb::module_::import_("lumencad.core.cli.app").attr("app");

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
  nb::object command = def_function(m, {"patch_netlist",
                                        {{"path", "str", Check::Str},
                                         {"outpath", "str", Check::Str, nb::str("stdout")},
                                         {"pdk", "str", Check::Str, default_pdk},
                                         {"stdin", "bool", Check::None, nb::bool_(false)},
                                         {"schemapath", "str", Check::Str, nb::str("")}},
                                        nullptr,
                                        nullptr,
                                        ps::patch_netlist});
  m.attr("patch_netlist") = m.attr("app").attr("command")()(command);
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
