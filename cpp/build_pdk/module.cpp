// lumencad.core.cli.build_pdk: builds every cell of a PDK into GDS, ports and
// log files under a build folder.
#include <nanobind/nanobind.h>

#include <optional>

#include "lumencad/build_loop.hpp"
#include "lumencad/function.hpp"
#include "lumencad/handles.hpp"
#include "lumencad/module.hpp"
#include "lumencad/pyobject.hpp"

namespace nb = nanobind;
using namespace lumencad;

namespace {

constexpr const char* kBuildPdkDoc =
    "Build GDS from PDK.\n"
    "\n"
    "    Args:\n"
    "        path: path to build directory.\n"
    "        pdk: process design kit.\n"
    "        on_error: what to do on error.\n"
    "    ";

nb::object os_path(const char* name) { return cached("os.path", name); }

void make_dirs(nb::handle path) { cached("os", "makedirs")(path, nb::arg("exist_ok") = true); }

nb::object validate_build_pdk_args(nb::handle, const nb::handle* args) {
  nb::handle path = args[0], pdk = args[1];
  nb::object on_error = normalize_on_error(args[2]);
  nb::object build_path = os_path("abspath")(path);
  if (truthy(os_path("isfile")(build_path)))
    throw nb::value_error("Given build path is not a directory");
  make_dirs(build_path);
  return nb::make_tuple(build_path, normalize_pdk_name(pdk), on_error);
}

// The validated arguments and the activated PDK.
struct Setup {
  nb::object pdk_name, on_error, out_dir, log_dir, pdk;
};

// Imports the PDK named `name` and makes it the active one.
nb::object activate_pdk(nb::handle module, nb::handle name) {
  nb::object pdk = module_global(module, "import_pdk")(name);
  pdk.attr("activate")();
  return pdk;
}

void prepare(nb::handle module, const nb::handle* args, Setup& setup,
             std::optional<WorkerPool>& workers) {
  nb::object warnings = module_global(module, "warnings");
  warnings.attr("simplefilter")("ignore");
  BuilderArgs validated = validate_builder_args(module, "_validate_build_pdk_args", args);
  setup.pdk_name = validated.pdk_name;
  setup.on_error = validated.on_error;
  // Workers prepare themselves while this process imports the PDK.
  workers.emplace(module, nb::make_tuple(setup.pdk_name), on_error_policy(setup.on_error));
  nb::object build_path = os_path("abspath")(validated.path);
  setup.out_dir = os_path("join")(build_path, "gds", "pdk");
  setup.log_dir = os_path("join")(build_path, "log", "pdk");
  make_dirs(setup.out_dir);
  make_dirs(os_path("join")(setup.out_dir, "ports"));
  make_dirs(setup.log_dir);
  setup.pdk = activate_pdk(module, validated.pdk_name);
}

CellTarget pdk_target(const Setup& setup, nb::handle cell_name) {
  CellTarget target;
  target.label = nb::str("[ pdk  ] ");
  target.gds_path = os_path("join")(setup.out_dir, concat(cell_name, ".gds"));
  target.ports_path = os_path("join")(setup.out_dir, "ports", concat(cell_name, ".json"));
  target.log_path = os_path("join")(setup.log_dir, concat(cell_name, ".log"));
  return target;
}

nb::object build_pdk(nb::handle module, const nb::handle* args) {
  Setup setup;
  std::optional<WorkerPool> workers;
  // Warnings are silenced while the PDK is set up, not while cells build.
  nb::object silenced = module_global(module, "warnings").attr("catch_warnings")();
  if (!run_in_context(silenced, [&] { prepare(module, args, setup, workers); })) return nb::none();
  // Forked workers start outside the silenced block, so that warnings show
  // in the cells' logs as they do in this process.
  workers->prepared(module_global(module, "pl").attr("get_component"));

  BuildLoopSteps steps;
  steps.target = [&](nb::handle cell_name) { return pdk_target(setup, cell_name); };
  steps.build = [module](nb::handle cell_name) {
    return nb::object(module_global(module, "pl").attr("get_component")(cell_name));
  };
  run_build_loop(module, setup.pdk.attr("cells"), steps, on_error_policy(setup.on_error), *workers);
}

// _prepare_worker(pdk): readies a worker process to build the PDK's cells as
// the command does (PDK imported and activated, warnings silenced meanwhile);
// returns what builds a cell by name.
nb::object prepare_worker(nb::handle module, const nb::handle* args) {
  nb::object silenced = module_global(module, "warnings").attr("catch_warnings")();
  run_in_context(silenced, [&] {
    module_global(module, "warnings").attr("simplefilter")("ignore");
    activate_pdk(module, args[0]);
  });
  return module_global(module, "pl").attr("get_component");
}

}  // namespace

LUMENCAD_MODULE(build_pdk, m) {
  for (const char* name : {"json", "os", "sys", "traceback", "warnings", "typer"})
    m.attr(name) = nb::module_::import_(name);
  m.attr("pl") = nb::module_::import_("polyloom");
  nb::object settings = nb::module_::import_("lumencad.settings").attr("SETTINGS");
  m.attr("s") = settings;
  m.attr("_try_get_ports") = nb::module_::import_("lumencad.core.netlist").attr("_try_get_ports");
  m.attr("import_pdk") = nb::module_::import_("lumencad.core.shared").attr("import_pdk");
  nb::object app = nb::module_::import_("lumencad.core.cli.app").attr("app");
  m.attr("app") = app;

  // Handles the command uses on every cell, looked up once here.
  for (const char* name : {"abspath", "isfile", "join"}) cached("os.path", name);
  cached("os", "makedirs");
  cached("io", "open");
  cached("json", "dumps");
  cached("traceback", "print_exception");
  cached("traceback", "format_exception_only");

  define_builder_command(m, {"build_pdk", kBuildPdkDoc, build_pdk, nullptr, "None",
                             "_validate_build_pdk_args", validate_build_pdk_args});
  def_function(m,
               {"_prepare_worker", {{"pdk", "str", Check::Str}}, nullptr, nullptr, prepare_worker});
  define_cell_builder(m);
}
