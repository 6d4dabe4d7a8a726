// Binding of lumencad.core.cli.tree: its collaborators, then the command, the
// tree builder and the introspection functions.
#include <nanobind/nanobind.h>

#include "functions.hpp"

#include "lumencad/build_loop.hpp"
#include "lumencad/function.hpp"
#include "lumencad/handles.hpp"
#include "lumencad/module.hpp"
#include "safe_yaml.hpp"

namespace nb = nanobind;
using lumencad::Check;
using lumencad::def_function;

namespace {

void bind_collaborators(nb::module_& m) {
  constexpr const char* shared = "lumencad.core.shared";
  lumencad::bind_imports(m, {{"s", "lumencad.settings", "SETTINGS"},
                             {"validate_args", "lumencad.core.cli.watch", "validate_args"},
                             {"cli_environment", shared, "cli_environment"},
                             {"find_atelier_project_dir", shared, "find_atelier_project_dir"},
                             {"get_yaml_cell_name", shared, "get_yaml_cell_name"},
                             {"get_yaml_paths", shared, "get_yaml_paths"},
                             {"import_python_modules", shared, "import_python_modules"},
                             {"register_cells", shared, "register_cells"},
                             {"_get_cells", shared, "get_cells"},
                             {"app", "lumencad.core.cli.app", "app"},
                             {"pl", "polyloom"},
                             {"typer", "typer"}});
}

// Internal handles, looked up once here.
void cache_handles() {
  for (const char* name : {"abspath", "dirname", "join", "relpath"})
    lumencad::cached("os.path", name);
  lumencad::cached("io", "open");
  lumencad::cached("json", "loads");
  lumencad::cached("inspect", "signature");
  lumencad::cached("inspect", "Parameter");
  lumencad::cached("builtins", "print");
  lumencad::cached("lumencad.core.shared", "project_of");
  lumencad::tree::prepare_safe_yaml();
}

}  // namespace

LUMENCAD_MODULE(tree, m) {
  namespace tr = lumencad::tree;
  bind_collaborators(m);
  cache_handles();

  nb::object default_pdk = lumencad::default_pdk_name(m.attr("s"));
  lumencad::def_command(m, {"tree",
                            {{"path", "str", Check::Str},
                             {"pdk", "str", Check::Str, default_pdk},
                             {"by", "str", Check::Str, nb::str("cell")},
                             {"key", "str", Check::Str, nb::str("")},
                             {"none_str", "str", Check::Str, nb::str("None")}},
                            nullptr,
                            nullptr,
                            tr::tree_command});

  def_function(m, {"_tree",
                   {{"path", "str", Check::Str},
                    {"pdk", "str", Check::Str, nb::str("generic")},
                    {"by", "Literal['cell', 'file']", Check::None, nb::str("cell")},
                    {"key", "str", Check::Str, nb::str("")},
                    {"none_str", "str", Check::Str, nb::str("None")},
                    {"pdk_cell_names", "Iterable", Check::None, nb::tuple()}},
                   "str",
                   "Returns component tree.",
                   tr::build_tree});
  def_function(m, {"select_key",
                   {{"dct"}, {"key"}},
                   nullptr,
                   "Return the branch of a nested mapping that a dotted key names (one\n"
                   "level per name), or the mapping itself when the key is empty.",
                   tr::select_key});
  def_function(m, {"get_args",
                   {{"func"}},
                   nullptr,
                   "Return the defaults of a callable's parameters, by name and in order,\n"
                   "leaving out parameters without one and defaults that the YAML safe\n"
                   "dumper cannot write.",
                   tr::get_args});
  def_function(m, {"_remove_empty_defaults",
                   {{"obj", "Any"}, {"none_str", nullptr, Check::None, nb::none()}},
                   nullptr,
                   "Return a copy of obj (mappings and lists copied all the way down)\n"
                   "without empty 'defaults' entries, with None values replaced by the\n"
                   "text of none_str unless it is None.",
                   tr::remove_empty_defaults});
  def_function(m, {"get_cells",
                   {{"mod"}},
                   nullptr,
                   "Return the cells that a module defines itself, by name; cells it\n"
                   "imports from elsewhere are left out.",
                   tr::get_cells});
  def_function(m, {"get_models",
                   {{"mod"}},
                   nullptr,
                   "Return the models of a PDK module: mod.models.models,\n"
                   "mod.models.get_models(), mod.PDK.models or, failing those, the\n"
                   "active PDK's models.",
                   tr::get_models});
  def_function(m, {"_source_to_ports",
                   {{"repo_dir"}, {"source"}, {"name"}},
                   nullptr,
                   "Return the ports the last build recorded for a project cell (its\n"
                   "ports file under build/gds), or an empty mapping.",
                   tr::source_to_ports});
  def_function(m, {"_pdk_name_to_ports",
                   {{"repo_dir"}, {"name"}},
                   nullptr,
                   "Return the ports the last build recorded for a PDK cell (its ports\n"
                   "file under build/gds/pdk), or an empty mapping.",
                   tr::pdk_name_to_ports});
}
