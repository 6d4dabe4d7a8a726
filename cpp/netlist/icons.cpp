// The icon functions of the module, in their binding order, and the icon
// stage of the patch pipeline.
#include "functions.hpp"

#include "icon_outlines.hpp"
#include "icon_path.hpp"
#include "lumencad/function.hpp"
#include "lumencad/handles.hpp"
#include "rdp_entry.hpp"

namespace lumencad::netlist {
namespace {

nb::object patch_netlist_with_icon_info_impl(nb::handle, const nb::handle* args) {
  return nb::borrow(args[0]);
}

}  // namespace

void define_icon_functions(nb::module_& m) {
  choose_distance_rule();
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
