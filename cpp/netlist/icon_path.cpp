// Icon path strings: the path pieces, and the paths of the outlines built
// from them.
#include "icon_path.hpp"

#include <Python.h>

#include <new>

#include "lumencad/handles.hpp"
#include "lumencad/unpack.hpp"

namespace lumencad {

void append_float_repr(std::string& out, double value) {
  char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
  if (text == nullptr) {
    PyErr_Clear();  // the only failure is running out of memory
    throw std::bad_alloc();
  }
  out += text;
  PyMem_Free(text);
}

void append_path_command(std::string& out, bool first_vertex) { out += first_vertex ? "M " : "L "; }

void append_path_end(std::string& out) { out += 'Z'; }

namespace netlist {
namespace {

// The path is built as UTF-8 with lone surrogates passed through, so that any
// text str() gives (embedded NULs and surrogates included) comes back intact.
void append_text(std::string& path, nb::handle text) {
  nb::object encoded = nb::steal(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
  if (!encoded.is_valid()) throw nb::python_error();
  path.append(PyBytes_AS_STRING(encoded.ptr()), PyBytes_GET_SIZE(encoded.ptr()));
}

nb::str path_text(const std::string& path) {
  PyObject* text =
      PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()), "surrogatepass");
  if (text == nullptr) throw nb::python_error();
  return nb::steal<nb::str>(text);
}

// Exact floats take the fast path; any other number is scaled with Python's
// own arithmetic and written with str(), as formatting it in Python would.
void append_coordinate(std::string& path, nb::handle value, bool is_y) {
  if (PyFloat_CheckExact(value.ptr())) {
    const double v = PyFloat_AS_DOUBLE(value.ptr());
    append_float_repr(path, is_y ? icon_y(v) : icon_x(v));
    return;
  }
  const nb::int_ hundred(100);
  nb::object scaled = hundred * value;
  if (is_y) scaled = hundred - scaled;
  append_text(path, nb::str(scaled));
}

std::string outline_path(nb::handle outline) {
  std::string path;
  bool first = true;
  for (nb::handle vertex : outline) {
    const auto [x, y] = unpack2(vertex);
    append_path_command(path, first);
    append_coordinate(path, x, false);
    path += ' ';
    append_coordinate(path, y, true);
    path += ' ';
    first = false;
  }
  append_path_end(path);
  return path;
}

}  // namespace

nb::object get_icon_poly_strings_impl(nb::handle module, const nb::handle*) {
  nb::object polys = module_global(module, "_get_icon_polys")();
  nb::dict strings;
  for (nb::handle item : polys.attr("items")()) {
    const auto [key, outline] = unpack2(item);
    strings[key] = path_text(outline_path(outline));
  }
  return strings;
}

}  // namespace netlist

}  // namespace lumencad
