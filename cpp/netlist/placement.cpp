// Placement stage: schematic points for every instance (from the circuit's
// layout, normalised onto the canvas) and every top-level port (spread along
// the canvas side it faces). Stored points are never moved.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "functions.hpp"
#include "lumencad/checks.hpp"
#include "lumencad/function.hpp"
#include "lumencad/handles.hpp"
#include "lumencad/pyobject.hpp"
#include "lumencad/unpack.hpp"
#include "placement_layout.hpp"

namespace lumencad::netlist {

namespace {

// Canvas margins: the instance area starts at kMargin; ports stand kPortInset
// outside it (north and west at kPortInset, east and south at kMargin +
// kPortInset beyond the canvas size).
constexpr long kMargin = 100;
constexpr long kPortInset = 50;

// A rounded coordinate (integral double) plus an integer offset, as the
// Python int that `offset + round(v)` gives, including its errors for NaN and
// infinities and its exactness beyond 2**53.
nb::object rounded_int(double rounded, long offset) {
  constexpr double kExactLimit = 4611686018427387904.0;  // 2**62
  if (std::isfinite(rounded) && std::fabs(rounded) < kExactLimit) {
    return checked(PyLong_FromLongLong(static_cast<long long>(rounded) + offset));
  }
  nb::object value = checked(PyLong_FromDouble(rounded));
  if (offset == 0) return value;
  nb::object offset_obj = checked(PyLong_FromLong(offset));
  return checked(PyNumber_Add(value.ptr(), offset_obj.ptr()));
}

nb::object point(nb::handle x, nb::handle y) {
  nb::dict p;
  p["x"] = x;
  p["y"] = y;
  return std::move(p);
}

nb::object py_float(double value) { return checked(PyFloat_FromDouble(value)); }
nb::object py_int(long value) { return checked(PyLong_FromLong(value)); }

// The schematic positions of one call, keyed by instance name, instance-port
// reference and top-level port name in one namespace (a later key equal to
// an earlier one replaces its point and keeps its place).
class PositionTable {
 public:
  // Sets the layout position of a key; points are built after scaling.
  void set_layout(nb::handle key, double x, double y) {
    size_t index = index_of(key);
    xs_[index] = x;
    ys_[index] = y;
    points_[index] = nb::object();
  }

  // Sets a finished point (top-level ports, after scaling).
  void set_point(nb::handle key, nb::object p) { points_[index_of(key)] = std::move(p); }

  size_t size() const { return xs_.size(); }
  double* xs() { return xs_.data(); }
  double* ys() { return ys_.data(); }

  // The point of a key: the stored one, or the scaled layout position turned
  // into integers offset into the instance area.
  nb::object point_of(nb::handle key) {
    PyObject* found = PyDict_GetItemWithError(index_.ptr(), key.ptr());
    if (found == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.ptr());
      throw nb::python_error();
    }
    size_t index = PyLong_AsSize_t(found);
    if (!points_[index].is_valid()) {
      points_[index] = point(rounded_int(xs_[index], kMargin), rounded_int(ys_[index], kMargin));
    }
    return points_[index];
  }

 private:
  size_t index_of(nb::handle key) {
    PyObject* found = PyDict_GetItemWithError(index_.ptr(), key.ptr());
    if (found != nullptr) return PyLong_AsSize_t(found);
    if (PyErr_Occurred()) throw nb::python_error();
    size_t index = xs_.size();
    nb::object index_obj = checked(PyLong_FromSize_t(index));
    if (PyDict_SetItem(index_.ptr(), key.ptr(), index_obj.ptr()) < 0) throw nb::python_error();
    xs_.push_back(0.0);
    ys_.push_back(0.0);
    points_.emplace_back();
    return index;
  }

  nb::dict index_;
  std::vector<double> xs_, ys_;
  std::vector<nb::object> points_;
};

// netlist[key] = netlist.get(key, {}), returning the value.
nb::object ensure_mapping(nb::handle mapping, const char* key) {
  nb::str key_obj(key);
  nb::object value = mapping_get(mapping, key_obj, nb::dict());
  set_item(mapping, key_obj, value);
  return value;
}

// The layout instances by netlist instance name: the layout name before any
// "_transformed" suffix; a later instance with the same key wins.
nb::dict layout_references(nb::handle component) {
  static const nb::handle suffix = nb::str("_transformed").release();
  nb::dict references;
  for (nb::handle instance : component.attr("insts")) {
    nb::object name = instance.attr("name");
    nb::object key;
    if (PyUnicode_CheckExact(name.ptr())) {
      Py_ssize_t length = PyUnicode_GET_LENGTH(name.ptr());
      Py_ssize_t at = PyUnicode_Find(name.ptr(), suffix.ptr(), 0, length, 1);
      if (at == -2) throw nb::python_error();
      key = at < 0 ? name : checked(PyUnicode_Substring(name.ptr(), 0, at));
    } else {
      key = name.attr("split")(suffix)[0];
    }
    references[key] = instance;
  }
  return references;
}

// Instance origins (y flipped) and the centres of their ports; instances the
// layout does not hold enter at (10, -10).
void collect_layout_positions(nb::handle instances, nb::handle references, PositionTable& table) {
  static const nb::handle comma = nb::str(",").release();
  for (nb::handle name : instances) {
    if (!PyUnicode_CheckExact(name.ptr())) raise_expected("unicode", name);
    PyObject* found = PyDict_GetItemWithError(references.ptr(), name.ptr());
    if (found == nullptr) {
      if (PyErr_Occurred()) throw nb::python_error();
      table.set_layout(name, 10.0, -10.0);
      continue;
    }
    nb::handle reference(found);
    double x = as_double(reference.attr("x"));
    double y = -as_double(reference.attr("y"));
    table.set_layout(name, x, y);
    nb::object prefix = checked(PyUnicode_Concat(name.ptr(), comma.ptr()));
    for (nb::handle port : reference.attr("ports")) {
      auto [cx, cy] = unpack2(port.attr("center"));
      nb::object port_name = port.attr("name");
      nb::object key = checked(PyUnicode_Concat(prefix.ptr(), port_name.ptr()));
      double x_port = as_double(cx);
      double y_port = -as_double(cy);
      table.set_layout(key, x_port, y_port);
    }
  }
}

// Raises what Python's round() raises for the first coordinate that did not
// scale to a finite number.
void check_scaled(PositionTable& table) {
  std::ptrdiff_t bad = placement::first_non_finite(table.xs(), table.ys(), table.size());
  if (bad < 0) return;
  size_t index = static_cast<size_t>(bad) / 2;
  double value = bad % 2 == 0 ? table.xs()[index] : table.ys()[index];
  checked(PyLong_FromDouble(value));  // raises the ValueError / OverflowError
}

enum class Side { North, East, South, West };

// One pass over the top-level ports per side, each keeping the ports whose
// direction letter belongs to that side.
std::vector<nb::object> ports_on_side(nb::handle module, nb::handle netlist, Side side) {
  static const nb::handle north = nb::str("n").release();
  static const nb::handle east = nb::str("e").release();
  static const nb::handle south = nb::str("s").release();
  nb::object get_orientation = module_global(module, "_get_orientation");
  auto is = [](nb::handle letter, nb::handle expected) {
    int equal = PyObject_RichCompareBool(letter.ptr(), expected.ptr(), Py_EQ);
    if (equal < 0) throw nb::python_error();
    return equal == 1;
  };
  std::vector<nb::object> selected;
  for (nb::handle port : item(netlist, "ports")) {
    nb::object letter = get_orientation(netlist, port);
    bool keep;
    switch (side) {
      case Side::North:
        keep = is(letter, north);
        break;
      case Side::East:
        keep = is(letter, east);
        break;
      case Side::South:
        keep = is(letter, south);
        break;
      default:
        keep = !is(letter, north) && !is(letter, east) && !is(letter, south);
        break;
    }
    if (keep) selected.push_back(nb::borrow(port));
  }
  return selected;
}

void place_ports_on_sides(nb::handle module, nb::handle netlist, double width, double height,
                          PositionTable& table) {
  std::vector<nb::object> north = ports_on_side(module, netlist, Side::North);
  std::vector<nb::object> east = ports_on_side(module, netlist, Side::East);
  std::vector<nb::object> south = ports_on_side(module, netlist, Side::South);
  std::vector<nb::object> west = ports_on_side(module, netlist, Side::West);

  nb::object north_y = py_int(kPortInset);
  for (size_t i = 0; i < north.size(); ++i) {
    nb::object x = rounded_int(placement::side_spread(i, north.size(), width), 0);
    table.set_point(north[i], point(x, north_y));
  }
  nb::object east_x = py_float(static_cast<double>(kMargin + kPortInset) + width);
  for (size_t i = 0; i < east.size(); ++i) {
    nb::object y = rounded_int(placement::side_spread(i, east.size(), height), 0);
    table.set_point(east[i], point(east_x, y));
  }
  nb::object south_y = py_float(static_cast<double>(kMargin + kPortInset) + height);
  for (size_t i = 0; i < south.size(); ++i) {
    nb::object x = rounded_int(placement::side_spread(i, south.size(), width), 0);
    table.set_point(south[i], point(x, south_y));
  }
  nb::object west_x = py_int(kPortInset);
  for (size_t i = 0; i < west.size(); ++i) {
    nb::object y = rounded_int(placement::side_spread(i, west.size(), height), 0);
    table.set_point(west[i], point(west_x, y));
  }
}

}  // namespace

nb::object patch_netlist_with_placement_info(nb::handle module, const nb::handle* args) {
  nb::handle name = args[0];
  nb::handle netlist = args[1];
  double width = PyFloat_AS_DOUBLE(args[2].ptr());
  double height = PyFloat_AS_DOUBLE(args[3].ptr());

  if (!contains(netlist, nb::str("instances"))) return nb::borrow(netlist);
  ensure_mapping(netlist, "ports");
  ensure_mapping(ensure_mapping(netlist, "info"), "schematic");

  nb::object component;
  try {
    component = module_global(module, "pl").attr("get_component")(name);
  } catch (nb::python_error& error) {
    if (!error.matches(PyExc_Exception)) throw;
    return nb::borrow(netlist);
  }

  PositionTable table;
  nb::dict references = layout_references(component);
  collect_layout_positions(item(netlist, "instances"), references, table);
  // An empty circuit has no extent to scale: only its ports get points.
  if (table.size() > 0) {
    placement::scale_onto_canvas(table.xs(), table.ys(), table.size(), width, height);
    check_scaled(table);
  }
  place_ports_on_sides(module, netlist, width, height, table);

  nb::object instances = item(netlist, "instances");
  Py_ssize_t count = PyObject_Length(instances.ptr());
  if (count < 0) throw nb::python_error();
  // The stored points are looked up only when there is something to place.
  nb::object placements;
  for (nb::handle instance : instances) {
    if (!placements.is_valid())
      placements = item(item(item(netlist, "info"), "schematic"), "placements");
    if (contains(placements, instance)) continue;
    nb::object p;
    if (count == 1) {
      p = point(py_float(placement::python_floor_div(width, 2.0)),
                py_float(placement::python_floor_div(height, 2.0)));
    } else {
      p = table.point_of(instance);
    }
    if (PyObject_SetItem(placements.ptr(), instance.ptr(), p.ptr()) < 0) throw nb::python_error();
  }
  nb::object port_placements;
  for (nb::handle port : item(netlist, "ports")) {
    if (!port_placements.is_valid()) {
      port_placements = item(item(item(netlist, "info"), "schematic"), "port_placements");
    }
    if (contains(port_placements, port)) continue;
    nb::object p = table.point_of(port);
    if (PyObject_SetItem(port_placements.ptr(), port.ptr(), p.ptr()) < 0) {
      throw nb::python_error();
    }
  }
  return nb::borrow(netlist);
}

}  // namespace lumencad::netlist
