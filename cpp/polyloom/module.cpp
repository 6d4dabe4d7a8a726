// polyloom._geometry: the binding of the layout library's innermost loops, for
// polyloom's own modules: coordinates rounded as Python rounds them, ports
// moved by an instance's transform, the grid search behind netlist extraction
// and natural sort keys. Each function gives exactly what its Python
// counterpart in polyloom gives; where its input is not the plain data it
// handles (exact floats, exact ports, ASCII text), it answers None and leaves
// the work to that code.
#include <nanobind/nanobind.h>

#include <string>
#include <utility>
#include <vector>

#include "grid.hpp"
#include "lumencad/function.hpp"
#include "lumencad/handles.hpp"
#include "lumencad/module.hpp"
#include "lumencad/pyobject.hpp"
#include "natural.hpp"
#include "rounding.hpp"
#include "transform.hpp"

namespace nb = nanobind;
using namespace lumencad;
using namespace lumencad::polyloom;

namespace {

// Interned attribute names of a port, in the order its fields are set.
struct PortFields {
  PyObject* name;
  PyObject* center;
  PyObject* orientation;
  PyObject* width;
  PyObject* layer;
};

const PortFields& port_fields() {
  static const PortFields fields = [] {
    auto intern = [](const char* text) {
      PyObject* s = PyUnicode_InternFromString(text);
      if (!s) throw nb::python_error();
      return s;
    };
    return PortFields{intern("name"), intern("center"), intern("orientation"), intern("width"),
                      intern("layer")};
  }();
  return fields;
}

// round(value, 9) + 0.0, as polyloom.geometry.clean computes it.
double clean_value(double value) {
  double rounded;
  if (!round_to_decimals(value, &rounded)) {
    nb::object result = cached("builtins", "round")(nb::float_(value), kRoundDecimals);
    rounded = PyFloat_AsDouble(result.ptr());
    if (rounded == -1.0 && PyErr_Occurred()) throw nb::python_error();
  }
  return rounded + 0.0;
}

// The value of an exact float, or false.
bool exact_double(nb::handle value, double* out) {
  if (!PyFloat_CheckExact(value.ptr())) return false;
  *out = PyFloat_AS_DOUBLE(value.ptr());
  return true;
}

// Exact floats of an exact list, or false.
bool double_list(nb::handle list, std::vector<double>* out) {
  if (!PyList_CheckExact(list.ptr())) return false;
  const Py_ssize_t n = PyList_GET_SIZE(list.ptr());
  out->resize(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!exact_double(PyList_GET_ITEM(list.ptr(), i), &(*out)[static_cast<std::size_t>(i)]))
      return false;
  }
  return true;
}

nb::object clean(nb::handle, const nb::handle* args) {
  double value;
  if (!exact_double(args[0], &value)) {
    nb::object converted = checked(PyNumber_Float(args[0].ptr()));
    value = PyFloat_AS_DOUBLE(converted.ptr());
  }
  return checked(PyFloat_FromDouble(clean_value(value)));
}

// A new port of `type` with the given fields, set past its frozen guard.
nb::object make_port(PyTypeObject* type, nb::handle name, nb::handle center, nb::handle orientation,
                     nb::handle width, nb::handle layer) {
  static nb::handle no_args = nb::tuple().release();
  nb::object port = checked(PyBaseObject_Type.tp_new(type, no_args.ptr(), nullptr));
  const PortFields& f = port_fields();
  for (auto [field, value] :
       {std::pair{f.name, name}, std::pair{f.center, center}, std::pair{f.orientation, orientation},
        std::pair{f.width, width}, std::pair{f.layer, layer}}) {
    if (PyObject_GenericSetAttr(port.ptr(), field, value.ptr()) != 0) throw nb::python_error();
  }
  return port;
}

nb::object transformed_ports(nb::handle, const nb::handle* args) {
  nb::handle port_type = args[0], ports = args[1];
  Placement placement;
  if (!PyType_Check(port_type.ptr()) || !exact_double(args[2], &placement.x) ||
      !exact_double(args[3], &placement.y) || !exact_double(args[4], &placement.c) ||
      !exact_double(args[5], &placement.s) || !exact_double(args[6], &placement.rotation))
    return nb::none();
  placement.mirror = truthy(args[7]);
  auto* type = reinterpret_cast<PyTypeObject*>(port_type.ptr());
  const PortFields& f = port_fields();

  nb::dict moved;
  for (nb::handle port : ports) {
    if (Py_TYPE(port.ptr()) != type) return nb::none();
    nb::object name = checked(PyObject_GetAttr(port.ptr(), f.name));
    nb::object center = checked(PyObject_GetAttr(port.ptr(), f.center));
    nb::object orientation = checked(PyObject_GetAttr(port.ptr(), f.orientation));
    double px, py, angle = 0.0;
    if (!PyTuple_CheckExact(center.ptr()) || PyTuple_GET_SIZE(center.ptr()) != 2 ||
        !exact_double(PyTuple_GET_ITEM(center.ptr(), 0), &px) ||
        !exact_double(PyTuple_GET_ITEM(center.ptr(), 1), &py) ||
        !(orientation.is_none() || exact_double(orientation, &angle)))
      return nb::none();

    double moved_x, moved_y;
    place_point(placement, px, py, &moved_x, &moved_y);
    nb::object moved_center =
        checked(Py_BuildValue("(dd)", clean_value(moved_x), clean_value(moved_y)));
    nb::object moved_orientation = nb::none();
    if (!orientation.is_none())
      moved_orientation = checked(PyFloat_FromDouble(place_angle(placement, angle)));
    nb::object width = checked(PyObject_GetAttr(port.ptr(), f.width));
    nb::object layer = checked(PyObject_GetAttr(port.ptr(), f.layer));
    set_item(moved, name, make_port(type, name, moved_center, moved_orientation, width, layer));
  }
  return std::move(moved);
}

// A port's name, centre and orientation as the plain values the fast paths
// take, or false.
struct PlainPort {
  nb::object name;
  double x, y, angle;
  bool oriented;
};

bool plain_port(PyTypeObject* type, nb::handle port, PlainPort* out) {
  if (Py_TYPE(port.ptr()) != type) return false;
  const PortFields& f = port_fields();
  out->name = checked(PyObject_GetAttr(port.ptr(), f.name));
  nb::object center = checked(PyObject_GetAttr(port.ptr(), f.center));
  nb::object orientation = checked(PyObject_GetAttr(port.ptr(), f.orientation));
  out->oriented = !orientation.is_none();
  out->angle = 0.0;
  return PyUnicode_CheckExact(out->name.ptr()) && PyTuple_CheckExact(center.ptr()) &&
         PyTuple_GET_SIZE(center.ptr()) == 2 &&
         exact_double(PyTuple_GET_ITEM(center.ptr(), 0), &out->x) &&
         exact_double(PyTuple_GET_ITEM(center.ptr(), 1), &out->y) &&
         (!out->oriented || exact_double(orientation, &out->angle));
}

void append(nb::handle list, nb::handle value) {
  if (PyList_Append(list.ptr(), value.ptr()) != 0) throw nb::python_error();
}

// place_ports(port_type, instance, ports, x, y, c, s, rotation, mirror, refs,
// centers, orientations): the references "instance,port", placed centres
// and orientations of an instance's ports, appended to the three lists.
nb::object place_ports(nb::handle, const nb::handle* args) {
  nb::handle port_type = args[0], instance = args[1], ports = args[2];
  nb::handle refs = args[9], centers = args[10], orientations = args[11];
  Placement placement;
  if (!PyType_Check(port_type.ptr()) || !PyUnicode_CheckExact(instance.ptr()) ||
      !PyTuple_CheckExact(ports.ptr()) || !exact_double(args[3], &placement.x) ||
      !exact_double(args[4], &placement.y) || !exact_double(args[5], &placement.c) ||
      !exact_double(args[6], &placement.s) || !exact_double(args[7], &placement.rotation) ||
      !PyList_CheckExact(refs.ptr()) || !PyList_CheckExact(centers.ptr()) ||
      !PyList_CheckExact(orientations.ptr()))
    return nb::bool_(false);
  placement.mirror = truthy(args[8]);
  auto* type = reinterpret_cast<PyTypeObject*>(port_type.ptr());

  // Everything is checked before anything is appended. Ports sharing a name
  // (which a mapping by name would merge) are left to the caller too.
  const Py_ssize_t count = PyTuple_GET_SIZE(ports.ptr());
  std::vector<PlainPort> plain(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PlainPort& port = plain[static_cast<std::size_t>(i)];
    if (!plain_port(type, PyTuple_GET_ITEM(ports.ptr(), i), &port)) return nb::bool_(false);
    for (Py_ssize_t j = 0; j < i; ++j) {
      int same = PyUnicode_Compare(plain[static_cast<std::size_t>(j)].name.ptr(), port.name.ptr());
      if (same == -1 && PyErr_Occurred()) throw nb::python_error();
      if (same == 0) return nb::bool_(false);
    }
  }
  nb::str comma(",");
  for (const PlainPort& port : plain) {
    double moved_x, moved_y;
    place_point(placement, port.x, port.y, &moved_x, &moved_y);
    append(refs, concat({instance, comma, port.name}));
    append(centers, checked(Py_BuildValue("(dd)", clean_value(moved_x), clean_value(moved_y))));
    append(orientations, port.oriented
                             ? checked(PyFloat_FromDouble(place_angle(placement, port.angle)))
                             : nb::none());
  }
  return nb::bool_(true);
}

nb::object grid_neighbours(nb::handle, const nb::handle* args) {
  std::vector<double> xs, ys, probe_xs, probe_ys;
  double cell;
  if (!double_list(args[0], &xs) || !double_list(args[1], &ys) ||
      !double_list(args[2], &probe_xs) || !double_list(args[3], &probe_ys) ||
      xs.size() != ys.size() || probe_xs.size() != probe_ys.size() || !exact_double(args[4], &cell))
    return nb::none();
  GridNeighbours found;
  if (!polyloom::grid_neighbours(xs, ys, probe_xs, probe_ys, cell, &found)) return nb::none();

  nb::object pairs = checked(PyList_New(static_cast<Py_ssize_t>(found.pairs.size())));
  for (std::size_t k = 0; k < found.pairs.size(); ++k) {
    PyObject* pair = Py_BuildValue("(nn)", static_cast<Py_ssize_t>(found.pairs[k].first),
                                   static_cast<Py_ssize_t>(found.pairs[k].second));
    if (!pair) throw nb::python_error();
    PyList_SET_ITEM(pairs.ptr(), static_cast<Py_ssize_t>(k), pair);
  }
  nb::object near = checked(PyList_New(static_cast<Py_ssize_t>(found.near_probes.size())));
  for (std::size_t k = 0; k < found.near_probes.size(); ++k) {
    const auto& points = found.near_probes[k];
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(points.size()));
    if (!list) throw nb::python_error();
    PyList_SET_ITEM(near.ptr(), static_cast<Py_ssize_t>(k), list);
    for (std::size_t j = 0; j < points.size(); ++j) {
      PyObject* index = PyLong_FromSize_t(points[j]);
      if (!index) throw nb::python_error();
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(j), index);
    }
  }
  return nb::make_tuple(pairs, near);
}

// A run of ASCII digits as a Python int.
nb::object digits_value(const char* begin, const char* end) {
  constexpr std::ptrdiff_t kExactDigits = 18;  // below 10**18: fits a long long
  if (end - begin <= kExactDigits) {
    long long value = 0;
    for (const char* p = begin; p != end; ++p) value = value * 10 + (*p - '0');
    return checked(PyLong_FromLongLong(value));
  }
  std::string text(begin, end);
  return checked(PyLong_FromString(text.c_str(), nullptr, 10));
}

nb::object natural_key(nb::handle, const nb::handle* args) {
  nb::handle text = args[0];
  if (!PyUnicode_CheckExact(text.ptr()) || !PyUnicode_IS_ASCII(text.ptr())) return nb::none();
  Py_ssize_t size = 0;
  const char* chars = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (!chars) throw nb::python_error();
  std::vector<Run> runs = natural_runs(chars, static_cast<std::size_t>(size));
  nb::object key = checked(PyTuple_New(static_cast<Py_ssize_t>(runs.size())));
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const char* begin = chars + runs[i].begin;
    const char* end = chars + runs[i].end;
    nb::object part = runs[i].digits ? digits_value(begin, end)
                                     : checked(PyUnicode_FromStringAndSize(begin, end - begin));
    PyTuple_SET_ITEM(key.ptr(), static_cast<Py_ssize_t>(i), part.release().ptr());
  }
  return key;
}

}  // namespace

LUMENCAD_MODULE(_geometry, m) {
  cached("builtins", "round");
  port_fields();
  m.attr("ROUND_DECIMALS") = kRoundDecimals;

  def_function(m, {"clean",
                   {{"value", "float"}},
                   "float",
                   "Round a coordinate to ROUND_DECIMALS decimals to drop floating-point\n"
                   "noise, never returning -0.0: round(float(value), ROUND_DECIMALS) + 0.0.",
                   clean});
  def_function(m, {"transformed_ports",
                   {{"port_type"},
                    {"ports"},
                    {"x", "float"},
                    {"y", "float"},
                    {"c", "float"},
                    {"s", "float"},
                    {"rotation", "float"},
                    {"mirror", "bool"}},
                   "dict | None",
                   "The ports (each exactly of port_type) mirrored across x (if mirror),\n"
                   "rotated by the angle `rotation` whose cosine and sine are c and s, then\n"
                   "moved by (x, y), by name; centres cleaned, orientations reduced into\n"
                   "[0, 360). None when a value is not an exact float or a port not exactly\n"
                   "of port_type.",
                   transformed_ports});
  def_function(m, {"place_ports",
                   {{"port_type"},
                    {"instance", "str"},
                    {"ports", "tuple"},
                    {"x", "float"},
                    {"y", "float"},
                    {"c", "float"},
                    {"s", "float"},
                    {"rotation", "float"},
                    {"mirror", "bool"},
                    {"refs", "list[str]"},
                    {"centers", "list[tuple[float, float]]"},
                    {"orientations", "list[float | None]"}},
                   "bool",
                   "Appends the reference \"instance,port\", the centre and the orientation of\n"
                   "each port placed as transformed_ports places it to refs, centers and\n"
                   "orientations. False, with nothing appended, when a value is not an\n"
                   "exact float, a name not an exact str, a port not exactly of port_type,\n"
                   "or two ports share a name.",
                   place_ports});
  def_function(m, {"grid_neighbours",
                   {{"xs", "list[float]"},
                    {"ys", "list[float]"},
                    {"probe_xs", "list[float]"},
                    {"probe_ys", "list[float]"},
                    {"cell", "float"}},
                   "tuple | None",
                   "Points whose grid cells (floor(v / cell) per axis) differ by at most\n"
                   "one in x and in y, as pairs (i, j) with i < j; and per probe the points\n"
                   "in the 3 x 3 cells around its cell. None when a value is not an exact\n"
                   "float or a cell index leaves the 64-bit range.",
                   grid_neighbours});
  def_function(m, {"natural_key",
                   {{"text", "str"}},
                   "tuple | None",
                   "natsort's key of an ASCII text: its runs of text and of digits\n"
                   "alternating, beginning with a text run (empty before a leading digit),\n"
                   "digit runs as ints, without an empty text run at the end. None for\n"
                   "anything but an ASCII str.",
                   natural_key});
}
