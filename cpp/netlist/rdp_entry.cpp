// The _rdp and _line_dists entry points: numpy input checked and converted for
// the kernels, the numpy fallback for machines whose norm the kernels do not
// reproduce, and the probe that decides between them.
#include "rdp_entry.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <string>
#include <utility>

#include "icon_arrays.hpp"
#include "lumencad/handles.hpp"
#include "lumencad/pyobject.hpp"
#include "rdp.hpp"

namespace lumencad::netlist {
namespace {

// How the distances are computed on this machine, fixed at import: the
// kernel with the rounding numpy's norm of a line vector has here, or, when
// numpy rounds in a way the kernel does not reproduce, numpy itself.
struct DistanceRule {
  bool ask_numpy = false;
  SquareSum line = SquareSum::separate;
};

DistanceRule& distance_rule() {
  static DistanceRule rule;
  return rule;
}

// Vectors whose lengths round differently with the squares summed one by one
// than with multiply-add (all but the third), or with multiply-add fusing the
// other square (the third), so that a dot summing in the other order does not
// pass for either rounding.
constexpr double kProbes[][2] = {{0.9, 1.8}, {1.7, 2.7}, {0.2, 0.5}, {0.1, 0.4}};

// Compares np.linalg.norm of the probe vectors, alone and as the rows of one
// array along axis 1, with the kernel's lengths.
DistanceRule probe_numpy() {
  nb::object& norm = cached("numpy.linalg", "norm");
  nb::object& array = cached("numpy", "array");
  bool separate = true, fused = true;
  nb::list vectors;
  for (const auto& p : kProbes) {
    nb::object vector = array(nb::make_tuple(p[0], p[1]));
    const double length = nb::cast<double>(nb::float_(norm(vector)));
    separate = separate && length == line_length(p[0], p[1], SquareSum::separate);
    fused = fused && length == line_length(p[0], p[1], SquareSum::fused);
    vectors.append(vector);
  }
  nb::object by_row = norm(array(vectors), nb::arg("axis") = 1).attr("tolist")();
  bool rows = true;
  for (std::size_t i = 0; i < std::size(kProbes); ++i) {
    const double length = nb::cast<double>(by_row[i]);
    rows = rows && length == point_distance(kProbes[i][0], kProbes[i][1]);
  }
  if (!rows || !(separate || fused)) return {true, SquareSum::separate};
  return {false, separate ? SquareSum::separate : SquareSum::fused};
}

// LUMENCAD_NORM_ROUNDING, when set, replaces the probe: "fused" or "separate"
// for the rounding of a line vector's length, "numpy" to take the distances
// from numpy.
DistanceRule forced_or_probed_rule() {
  const char* forced = std::getenv("LUMENCAD_NORM_ROUNDING");
  if (forced == nullptr || *forced == '\0') return probe_numpy();
  const std::string value(forced);
  if (value == "fused") return {false, SquareSum::fused};
  if (value == "separate") return {false, SquareSum::separate};
  if (value == "numpy") return {true, SquareSum::separate};
  nb::object text = nb::steal(PyUnicode_DecodeFSDefault(forced));
  if (!text.is_valid()) throw nb::python_error();
  const std::string message =
      "LUMENCAD_NORM_ROUNDING must be 'fused', 'separate' or 'numpy', got " +
      std::string(nb::repr(text).c_str());
  throw nb::value_error(message.c_str());
}

// The distances as numpy computes them: norm(points - start, axis=1) when
// start equals end, else |cross(vec, start - points)| / norm(vec), with the 2-D
// cross product written out as np.cross computes it (its 2-D form warns).
nb::object numpy_line_dists(nb::handle points, nb::handle start, nb::handle end) {
  auto np = [](const char* name) -> nb::object& { return cached("numpy", name); };
  if (truthy(np("all")(np("equal")(start, end)))) {
    return cached("numpy.linalg", "norm")(np("subtract")(points, start), nb::arg("axis") = 1);
  }
  nb::object vec = np("subtract")(end, start);
  nb::object columns = np("subtract")(start, points).attr("T");
  nb::object cross =
      np("subtract")(np("multiply")(vec[0], columns[1]), np("multiply")(vec[1], columns[0]));
  return np("divide")(np("absolute")(cross), cached("numpy.linalg", "norm")(vec));
}

// Kernel hooks of _rdp. Both take the interpreter lock, which the kernel runs
// without.
bool check_signals(void*) {
  nb::gil_scoped_acquire locked;
  return PyErr_CheckSignals() == 0;
}

// context: the float64 array the kernel reads.
bool numpy_distances(void* context, const double* xy, std::size_t n, const double* start,
                     const double* end, double* out) {
  nb::gil_scoped_acquire locked;
  const nb::handle owner = *static_cast<const nb::handle*>(context);
  try {
    nb::object dists = as_float64(numpy_line_dists(points_view(xy, n, owner),
                                                   pair_view(start, owner), pair_view(end, owner)));
    const double* values = nb::cast<VectorView>(dists).data();
    std::copy(values, values + n, out);
  } catch (nb::python_error& e) {
    e.restore();
    return false;
  }
  return true;
}

// An (x, y) pair as a contiguous float64 array.
nb::object read_pair(const char* what, nb::handle obj) {
  nb::object pair = as_array(obj);
  nb::tuple shape = shape_of(pair);
  if (nb::len(shape) != 1 || nb::cast<Py_ssize_t>(shape[0]) != 2) {
    raise_bad_shape("_line_dists", what, "an (x, y) pair", shape);
  }
  return as_float64(pair);
}

}  // namespace

void choose_distance_rule() { distance_rule() = forced_or_probed_rule(); }

nb::object rdp_impl(nb::handle, const nb::handle* args) {
  nb::object poly = as_array(args[0]);
  nb::tuple shape = shape_of(poly);
  if (nb::len(shape) == 0) return cached("numpy", "array")(nb::list());
  const Py_ssize_t rows = nb::cast<Py_ssize_t>(shape[0]);
  if (rows < 3) return poly;
  if (!is_points_shape(shape)) raise_bad_shape("_rdp", "poly", "an N x 2 array of points", shape);
  const double eps = PyFloat_AsDouble(args[1].ptr());
  if (eps == -1.0 && PyErr_Occurred()) throw nb::python_error();

  nb::object values = as_float64(poly);
  const PointsView pts = nb::cast<PointsView>(values);
  const std::size_t n = pts.shape(0);
  std::unique_ptr<unsigned char[]> keep(new unsigned char[n]);
  const DistanceRule rule = distance_rule();
  nb::handle owner = values;
  RdpHooks hooks;
  hooks.poll = check_signals;  // keeps a long run interruptible with Ctrl-C
  if (rule.ask_numpy) hooks.distances = numpy_distances;
  hooks.context = &owner;
  std::size_t kept;
  {
    nb::gil_scoped_release unlocked;
    kept = rdp_keep(pts.data(), n, eps, rule.line, hooks, keep.get());
  }
  if (kept == kRdpAbandoned) throw nb::python_error();

  // Rows of float64 input are copied here; other dtypes keep their own
  // values and type by taking the kept rows from the input.
  if (values.is(poly)) {
    std::unique_ptr<double[]> out(new double[2 * kept]);
    const double* xy = pts.data();
    for (std::size_t i = 0, k = 0; i < n; ++i) {
      if (keep[i]) {
        out[2 * k] = xy[2 * i];
        out[2 * k + 1] = xy[2 * i + 1];
        ++k;
      }
    }
    return owned_array(std::move(out), {kept, 2});
  }
  std::unique_ptr<std::int64_t[]> indices(new std::int64_t[kept]);
  for (std::size_t i = 0, k = 0; i < n; ++i) {
    if (keep[i]) indices[k++] = static_cast<std::int64_t>(i);
  }
  return poly.attr("take")(owned_array(std::move(indices), {kept}), nb::arg("axis") = 0);
}

nb::object line_dists_impl(nb::handle, const nb::handle* args) {
  nb::object points = as_array(args[0]);
  nb::tuple shape = shape_of(points);
  if (!is_points_shape(shape)) {
    raise_bad_shape("_line_dists", "points", "an N x 2 array of points", shape);
  }
  points = as_float64(points);
  nb::object start = read_pair("start", args[1]);
  nb::object end = read_pair("end", args[2]);
  const DistanceRule rule = distance_rule();
  if (rule.ask_numpy) return as_float64(numpy_line_dists(points, start, end));

  const PointsView pts = nb::cast<PointsView>(points);
  const double* start_xy = nb::cast<VectorView>(start).data();
  const double* end_xy = nb::cast<VectorView>(end).data();
  const std::size_t n = pts.shape(0);
  std::unique_ptr<double[]> out(new double[n]);
  {
    nb::gil_scoped_release unlocked;
    line_dists(pts.data(), n, start_xy, end_xy, rule.line, out.get());
  }
  return owned_array(std::move(out), {n});
}

}  // namespace lumencad::netlist
