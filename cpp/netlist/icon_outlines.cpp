// Outlines of the PDK's cells and the _get_icon_poly* entry points that compute
// them: fixed outlines, the top-layer union of a cell normalised to its
// bounding box, and the coupler's doubled outline.
#include "icon_outlines.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "icon_arrays.hpp"
#include "lumencad/checks.hpp"
#include "lumencad/handles.hpp"
#include "lumencad/pyobject.hpp"

namespace lumencad::netlist {
namespace {

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

}  // namespace

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

}  // namespace lumencad::netlist
