// The patch-netlist command and the netlist POST entry over one validation.
#include "patch_service.hpp"

#include "lumencad/build_loop.hpp"
#include "lumencad/handles.hpp"
#include "lumencad/pyobject.hpp"
#include "lumencad/replace_file.hpp"
#include "lumencad/unpack.hpp"
#include "yaml_text.hpp"

namespace lumencad::patch_service {

namespace {

constexpr const char* kPicSuffix = ".pic.yml";
constexpr Py_ssize_t kPicSuffixLength = 8;
constexpr const char* kSchemaHeader = "# yaml-language-server: $schema=";
constexpr const char* kNoSchemaHeader = "# yaml-language-server: $schema=...\n";

nb::object os_path(const char* name) { return cached("os.path", name); }

bool equals(nb::handle value, const char* text) {
  int same = PyObject_RichCompareBool(value.ptr(), nb::str(text).ptr(), Py_EQ);
  if (same < 0) throw nb::python_error();
  return same != 0;
}

[[noreturn]] void raise_path_error(const char* format, nb::handle path) {
  PyErr_Format(PyExc_ValueError, format, path.ptr());
  throw nb::python_error();
}

// The absolute form of an output file's path, its folder created.
nb::object prepared_target(nb::handle path) {
  nb::object absolute = os_path("abspath")(path);
  cached("os", "makedirs")(os_path("dirname")(absolute), nb::arg("exist_ok") = true);
  return absolute;
}

// What validate_args returns, by name.
struct Validated {
  nb::object picsdir, outpath, schemapath, pdkname, cellname;
};

Validated validated(nb::handle module, nb::handle path, nb::handle outpath, nb::handle schemapath,
                    nb::handle pdk) {
  nb::object result = module_global(module, "validate_args")(path, outpath, schemapath, pdk);
  nb::object parts[5];
  unpack(result, parts, 5);
  return {parts[0], parts[1], parts[2], parts[3], parts[4]};
}

// The PDK made active and the project's cells registered in it.
void prepare_project(nb::handle module, const Validated& args) {
  module_global(module, "import_pdk")(args.pdkname).attr("activate")();
  module_global(module, "register_cells")(args.picsdir, nb::arg("verbose") = true);
}

nb::object checked_netlist(nb::object parsed) {
  if (!PyDict_Check(parsed.ptr())) throw nb::value_error("Could not parse netlist yaml.");
  return parsed;
}

// Parses a text stream and closes it.
nb::object parse_stream(nb::object stream) {
  nb::object parsed;
  try {
    parsed = load_yaml(stream);
  } catch (...) {
    stream.attr("close")();
    throw;
  }
  stream.attr("close")();
  return checked_netlist(parsed);
}

nb::object parse_pic_file(const Validated& args) {
  nb::object file = os_path("join")(args.picsdir, concat(args.cellname, kPicSuffix));
  return parse_stream(cached("io", "open")(file));
}

// Standard input: file descriptor 0, left open for whoever reads it next.
nb::object parse_standard_input() {
  return parse_stream(cached("io", "open")(0, nb::arg("closefd") = false));
}

// The schema file written whole: a failure leaves the previous one.
void write_schema(nb::handle schemapath, nb::handle schema) {
  nb::object text = cached("json", "dumps")(schema);
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (!data) throw nb::python_error();
  replace_file(schemapath, std::string(data, static_cast<std::size_t>(size)));
}

// The annotated netlist stamped with the PDK, as YAML text under its schema
// header line; the schema file is written when one is asked for.
nb::object annotated_text(nb::handle module, nb::handle netlist, const Validated& args) {
  nb::object annotated = module_global(module, "_patch_netlist")(args.cellname, netlist);
  set_item(annotated, nb::str("pdk"), args.pdkname);
  nb::object content = dump_yaml(annotated);
  if (!truthy(args.schemapath)) return concat({nb::str(kNoSchemaHeader), content});
  nb::object schema = module_global(module, "get_netlist_schema")(annotated);
  write_schema(args.schemapath, schema);
  nb::object relative = os_path("relpath")(args.schemapath, args.picsdir);
  return concat({nb::str(kSchemaHeader), relative, nb::str("\n"), content});
}

}  // namespace

nb::object validate_args(nb::handle, const nb::handle* args) {
  nb::handle path = args[0], pdk = args[3];
  nb::object outpath = nb::borrow(args[1]), schemapath = nb::borrow(args[2]);
  if (!truthy(os_path("exists")(path))) raise_path_error("Path %R does not exist.", path);
  if (!truthy(os_path("isfile")(path)) || !truthy(path.attr("endswith")(kPicSuffix)))
    raise_path_error("Path is %R not a .pic.yml file.", path);
  if (!equals(outpath, "stdout") && !equals(outpath, "stderr")) outpath = prepared_target(outpath);
  schemapath = truthy(schemapath) ? prepared_target(schemapath) : nb::str("");
  auto [picsdir, file_name] = unpack2(os_path("split")(os_path("abspath")(path)));
  nb::object cellname = checked(PySequence_GetSlice(file_name.ptr(), 0, -kPicSuffixLength));
  nb::object pdkname = normalize_pdk_name(checked(PyObject_Str(pdk.ptr())));
  return nb::make_tuple(picsdir, outpath, schemapath, pdkname, cellname);
}

nb::object patch_netlist(nb::handle module, const nb::handle* args) {
  nb::handle path = args[0], outpath = args[1], pdk = args[2], stdin = args[3],
             schemapath = args[4];
  nb::object target, content;
  nb::object environment = module_global(module, "cli_environment")(true, false);
  bool finished = run_in_context(environment, [&] {
    Validated validated_args = validated(module, path, outpath, schemapath, pdk);
    prepare_project(module, validated_args);
    nb::object netlist = truthy(stdin) ? parse_standard_input() : parse_pic_file(validated_args);
    content = annotated_text(module, netlist, validated_args);
    target = validated_args.outpath;
  });
  // A context that swallowed a failure leaves no text to write.
  if (finished) module_global(module, "print_to_file")(target, content);
  return nb::none();
}

nb::object patch_netlist_post(nb::handle module, const nb::handle* args) {
  nb::handle path = args[0], body = args[1], schemapath = args[2], pdk = args[3];
  Validated validated_args = validated(module, path, nb::str(""), schemapath, pdk);
  prepare_project(module, validated_args);
  nb::object netlist =
      truthy(body) ? checked_netlist(load_yaml(body)) : parse_pic_file(validated_args);
  return annotated_text(module, netlist, validated_args);
}

}  // namespace lumencad::patch_service
