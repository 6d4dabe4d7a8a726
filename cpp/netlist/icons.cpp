// Schematic icons: simplified outlines of the PDK's cells, their path strings,
// the simplification kernels' Python entry points and the icon stage of the
// patch pipeline.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "icon_path.hpp"
#include "icons.hpp"
#include "lumencad/checks.hpp"
#include "lumencad/function.hpp"
#include "lumencad/handles.hpp"
#include "lumencad/unpack.hpp"
#include "rdp.hpp"

namespace nb = nanobind;

namespace lumencad::netlist {
namespace {

// ---------------------------------------------------------------------------
// Arrays

using PointsView = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using VectorView = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

nb::object as_array(nb::handle obj) { return cached("numpy", "asarray")(obj); }

nb::object as_float64(nb::handle array) {
  return cached("numpy", "ascontiguousarray")(array, nb::arg("dtype") = cached("numpy", "float64"));
}

nb::tuple shape_of(nb::handle array) { return nb::borrow<nb::tuple>(array.attr("shape")); }

bool is_points_shape(nb::handle shape) {
  return nb::len(shape) == 2 && nb::cast<Py_ssize_t>(shape[1]) == 2;
}

[[noreturn]] void raise_bad_shape(const char* function, const char* what, const char* expected,
                                  nb::handle shape) {
  const std::string message = std::string(function) + ": expected " + what + " to be " + expected +
                              ", got shape " + nb::repr(shape).c_str();
  throw nb::value_error(message.c_str());
}

// A new numpy array owning `data`.
template <typename T, std::size_t Dims>
nb::object owned_array(std::unique_ptr<T[]> data, const std::size_t (&shape)[Dims]) {
  T* raw = data.get();
  nb::capsule owner(raw, [](void* p) noexcept { delete[] static_cast<T*>(p); });
  data.release();
  return nb::ndarray<nb::numpy, T>(raw, Dims, shape, owner).cast();
}

// ---------------------------------------------------------------------------
// Outlines

struct Vertex {
  double x, y;
};

constexpr Vertex kDefaultOutline[] = {{0.25, 0.25}, {0.75, 0.25}, {0.75, 0.75}, {0.25, 0.75}};
constexpr Vertex kStraightOutline[] = {{0.0, 0.4}, {1.0, 0.4}, {1.0, 0.6}, {0.0, 0.6}};
constexpr Vertex kTaperOutline[] = {{0.0, 0.4}, {1.0, 0.1}, {1.0, 0.9}, {0.0, 0.6}};

nb::list outline_list(const Vertex* vertices, std::size_t n) {
  nb::list outline;
  for (std::size_t i = 0; i < n; ++i) {
    outline.append(nb::make_tuple(nb::float_(vertices[i].x), nb::float_(vertices[i].y)));
  }
  return outline;
}

template <std::size_t N>
nb::list outline_list(const Vertex (&vertices)[N]) {
  return outline_list(vertices, N);
}

nb::list default_outline() { return outline_list(kDefaultOutline); }

bool truthy(nb::handle obj) {
  const int result = PyObject_IsTrue(obj.ptr());
  if (result < 0) throw nb::python_error();
  return result != 0;
}

bool contains(nb::handle container, nb::handle item) {
  const int result = PySequence_Contains(container.ptr(), item.ptr());
  if (result < 0) throw nb::python_error();
  return result != 0;
}

bool name_contains(nb::handle name, const char* part) { return contains(name, nb::str(part)); }

// The component itself, or an invalid object when the layout library cannot
// build it (any ordinary exception of the lookup means there is none).
nb::object try_get_component(nb::handle module, nb::handle name) {
  try {
    return module_global(module, "pl").attr("get_component")(name);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return nb::object();
  }
}

// The polygons of the highest-priority layer that holds any, in the order of
// the flattened copy, or an invalid object when no listed layer holds one.
nb::object top_layer_polygons(nb::handle module, nb::handle component) {
  nb::dict priority;
  Py_ssize_t position = 0;
  for (nb::handle layer : module_global(module, "most_common_layers")()) {
    priority[layer] = nb::int_(position++);
  }

  nb::object flat = component.attr("dup")();
  flat.attr("flatten")();
  nb::dict groups;  // (layer, datatype) -> polygons, by first appearance
  for (nb::handle polygon : flat.attr("polygons")) {
    nb::object key = nb::make_tuple(polygon.attr("layer"), polygon.attr("datatype"));
    PyObject* group = PyDict_GetItemWithError(groups.ptr(), key.ptr());
    if (group == nullptr) {
      if (PyErr_Occurred()) throw nb::python_error();
      nb::list fresh;
      groups[key] = fresh;
      group = fresh.ptr();
    }
    if (PyList_Append(group, polygon.ptr()) < 0) throw nb::python_error();
  }

  nb::object best;
  Py_ssize_t best_position = 0;
  for (auto [key, group] : groups) {
    PyObject* found = PyDict_GetItemWithError(priority.ptr(), key.ptr());
    if (found == nullptr) {
      if (PyErr_Occurred()) throw nb::python_error();
      continue;
    }
    const Py_ssize_t p = nb::cast<Py_ssize_t>(nb::handle(found));
    if (!best.is_valid() || p < best_position) {
      best = nb::borrow(group);
      best_position = p;
    }
  }
  return best;
}

// Outline vertices relative to the bounding box `bbox` ((xmin, ymin), (xmax,
// ymax)); false when a coordinate comes out infinite or NaN, as it does for a
// box of zero width or height.
bool normalise(nb::handle points, nb::handle bbox, std::vector<Vertex>& out) {
  nb::object point_array = as_float64(points);
  if (!is_points_shape(shape_of(point_array))) {
    raise_bad_shape("_get_icon_poly_cached", "the simplified outline", "an N x 2 array",
                    shape_of(point_array));
  }
  nb::object box_array = as_float64(bbox);
  nb::tuple box_shape = shape_of(box_array);
  if (!is_points_shape(box_shape) || nb::cast<Py_ssize_t>(box_shape[0]) != 2) {
    raise_bad_shape("_get_icon_poly_cached", "the bounding box", "a 2 x 2 array", box_shape);
  }
  const PointsView pts = nb::cast<PointsView>(point_array);
  const double* box = nb::cast<PointsView>(box_array).data();
  const double width = box[2] - box[0];
  const double height = box[3] - box[1];

  const double* xy = pts.data();
  out.resize(pts.shape(0));
  for (std::size_t i = 0; i < out.size(); ++i) {
    const double x = (xy[2 * i] - box[0]) / width;
    const double y = (xy[2 * i + 1] - box[1]) / height;
    if (!std::isfinite(x) || !std::isfinite(y)) return false;
    out[i] = {x, y};
  }
  return true;
}

// Two copies of the outline one above the other around y = 0.5, for the two
// arms of a coupler.
std::vector<Vertex> double_for_coupler(const std::vector<Vertex>& outline) {
  double ymin = outline[0].y;
  for (const Vertex& v : outline) ymin = std::min(ymin, v.y);
  std::vector<Vertex> doubled;
  doubled.reserve(2 * outline.size());
  for (const Vertex& v : outline) doubled.push_back({v.x, 0.5 + (v.y - ymin + 0.05) / 2});
  for (const Vertex& v : outline) doubled.push_back({v.x, 0.5 - (v.y - ymin + 0.05) / 2});
  return doubled;
}

constexpr Py_ssize_t kMinVertices = 3;
constexpr Py_ssize_t kMaxVertices = 100;

nb::object get_icon_poly_cached_impl(nb::handle module, const nb::handle* args) {
  nb::handle name = args[0];
  if (!truthy(module_global(module, "is_pdk_pic")(name))) return default_outline();
  if (name_contains(name, "straight")) return outline_list(kStraightOutline);
  if (name_contains(name, "taper") || name_contains(name, "trans")) {
    return outline_list(kTaperOutline);
  }

  nb::object component = try_get_component(module, name);
  if (!component.is_valid()) return default_outline();

  nb::object polygons = top_layer_polygons(module, component);
  if (!polygons.is_valid() || !truthy(polygons)) return default_outline();

  nb::object united = module_global(module, "gdstk")
                          .attr("boolean")(polygons, nb::list(), nb::arg("operation") = "or");
  if (!truthy(united)) return default_outline();

  nb::object np = module_global(module, "np");
  nb::object points = np.attr("asarray")(united[0].attr("points"));
  nb::object simplified = module_global(module, "_rdp")(points);
  const Py_ssize_t count = nb::len(simplified);
  if (count < kMinVertices || count > kMaxVertices) return default_outline();

  std::vector<Vertex> outline;
  if (!normalise(simplified, component.attr("bbox"), outline)) return default_outline();
  if (name_contains(name, "coupler")) outline = double_for_coupler(outline);
  return outline_list(outline.data(), outline.size());
}

nb::object get_icon_poly_impl(nb::handle module, const nb::handle* args) {
  nb::handle name = args[0];
  const bool known = contains(module_global(module, "get_all_pics")(), name);
  nb::object cached_poly = module_global(module, "_get_icon_poly_cached");
  nb::object outline = known ? cached_poly(name) : cached_poly.attr("__wrapped__")(name);
  return expect_list_or_none(outline);
}

nb::object get_icon_polys_impl(nb::handle module, const nb::handle*) {
  nb::dict polys;
  for (nb::handle name : module_global(module, "get_pdk_pics")()) {
    polys[name] = module_global(module, "_get_icon_poly")(name);
  }
  return polys;
}

// ---------------------------------------------------------------------------
// Path strings

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

nb::object get_icon_poly_strings_impl(nb::handle module, const nb::handle*) {
  nb::object polys = module_global(module, "_get_icon_polys")();
  nb::dict strings;
  for (nb::handle item : polys.attr("items")()) {
    const auto [key, outline] = unpack2(item);
    strings[key] = path_text(outline_path(outline));
  }
  return strings;
}

// ---------------------------------------------------------------------------
// Simplification kernels

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
DistanceRule choose_distance_rule() {
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

// Read-only numpy views of `rows` points and of one (x, y) pair, keeping
// `owner`, the array holding them, alive.
nb::object points_view(const double* xy, std::size_t rows, nb::handle owner) {
  const std::size_t shape[2] = {rows, 2};
  return nb::ndarray<nb::numpy, const double>(xy, 2, shape, owner).cast();
}

nb::object pair_view(const double* xy, nb::handle owner) {
  const std::size_t shape[1] = {2};
  return nb::ndarray<nb::numpy, const double>(xy, 1, shape, owner).cast();
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

// An (x, y) pair as a contiguous float64 array.
nb::object read_pair(const char* what, nb::handle obj) {
  nb::object pair = as_array(obj);
  nb::tuple shape = shape_of(pair);
  if (nb::len(shape) != 1 || nb::cast<Py_ssize_t>(shape[0]) != 2) {
    raise_bad_shape("_line_dists", what, "an (x, y) pair", shape);
  }
  return as_float64(pair);
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

nb::object patch_netlist_with_icon_info_impl(nb::handle, const nb::handle* args) {
  return nb::borrow(args[0]);
}

}  // namespace

void define_icon_functions(nb::module_& m) {
  distance_rule() = choose_distance_rule();
  def_function(m, {"patch_netlist_with_icon_info",
                   {{"netlist", "Netlist"}},
                   "Netlist",
                   "Icon stage of the patch pipeline: outlines are not stored in netlists,\n"
                   "so the netlist is returned unchanged.",
                   patch_netlist_with_icon_info_impl});
  def_function(m, {"_get_icon_poly",
                   {{"name", "str", Check::Str}},
                   "list[tuple[float, float]]",
                   "Outline of a component: through the outline cache for every name the\n"
                   "active PDK holds, computed afresh for any other name.",
                   get_icon_poly_impl});
  def_function(m, {"_get_icon_polys",
                   {},
                   "dict[str, list[tuple[float, float]]]",
                   "Outlines of all PDK pics, by name, in the PDK's order.",
                   get_icon_polys_impl});

  nb::object lru_cache = module_global(m, "lru_cache");
  nb::object strings = def_function(
      m, {"_get_icon_poly_strings",
          {},
          "dict[str, str]",
          "Icon path strings of all PDK pics, by name, for a 100 x 100 drawing box with\n"
          "y pointing down. Computed once and kept.",
          get_icon_poly_strings_impl});
  m.attr("_get_icon_poly_strings") = lru_cache()(strings);

  nb::object outline = def_function(
      m, {"_get_icon_poly_cached",
          {{"name", "str", Check::Str}},
          "list[tuple[float, float]]",
          "Simplified outline of a component normalised to its bounding box: the first\n"
          "union polygon of its highest-priority layer, or a fixed outline for\n"
          "straights, tapers and anything that cannot be drawn.",
          get_icon_poly_cached_impl});
  m.attr("_get_icon_poly_cached") = lru_cache(nb::arg("maxsize") = 128)(outline);

  def_function(m, {"_rdp",
                   {{"poly", "np.ndarray"}, {"eps", "float", Check::Float, nb::float_(0.1)}},
                   "np.ndarray",
                   "Ramer-Douglas-Peucker simplification of an N x 2 point array: the kept\n"
                   "rows in input order, always the first and the last. A negative eps keeps\n"
                   "every row.",
                   rdp_impl});
  def_function(m, {"_line_dists",
                   {{"points", "np.ndarray"}, {"start"}, {"end"}},
                   "np.ndarray",
                   "Distances of N x 2 points from the line through start and end, or from\n"
                   "start when the two coincide.",
                   line_dists_impl});
}

}  // namespace lumencad::netlist
