// Reading ports files: a missing, unreadable or invalid file is no ports.
#include "functions.hpp"

#include "lumencad/handles.hpp"
#include "lumencad/pyobject.hpp"

namespace lumencad::tree {

namespace {

nb::object os_path(const char* name) { return cached("os.path", name); }

// str(name) + ".json".
nb::object file_name(nb::handle name) { return concat(checked(PyObject_Str(name.ptr())), ".json"); }

// The parsed JSON text of the file at `path` (opened as text in the
// platform's default encoding), or a new empty dict when opening, reading or
// parsing raises an ordinary exception.
nb::object read_ports(nb::handle path) {
  return or_fallback(
      [&] {
        nb::object file = cached("io", "open")(path);
        nb::object text;
        try {
          text = file.attr("read")();
        } catch (...) {
          file.attr("close")();
          throw;
        }
        file.attr("close")();
        return cached("json", "loads")(text);
      },
      nb::dict());
}

}  // namespace

nb::object pdk_name_to_ports(nb::handle, const nb::handle* args) {
  nb::handle repo_dir = args[0], name = args[1];
  return read_ports(os_path("join")(repo_dir, "build", "gds", "pdk", "ports", file_name(name)));
}

nb::object source_to_ports(nb::handle, const nb::handle* args) {
  nb::handle repo_dir = args[0], source = args[1], name = args[2];
  nb::object folder = os_path("dirname")(source);
  return read_ports(os_path("join")(repo_dir, "build", "gds", folder, "ports", file_name(name)));
}

}  // namespace lumencad::tree
