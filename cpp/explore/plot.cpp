// The drawing of the active PDK's dependency graph: Graphviz's circular layout,
// coloured nodes with their labels, arrows from each cell to what it uses.
#include "functions.hpp"

#include "lumencad/handles.hpp"

namespace lumencad::explore {

using namespace nb::literals;

nb::object plot_pdk_relations(nb::handle module, const nb::handle*) {
  nb::object graph = call_global(module, "get_pdk_graph");
  nb::object colors = call_global(module, "get_node_colors", graph);
  nb::object nx = module_global(module, "nx");
  nb::object positions = nx.attr("nx_agraph").attr("graphviz_layout")(graph, "prog"_a = "circo");
  module_global(module, "plt").attr("figure")("figsize"_a = nb::make_tuple(10, 10));
  nx.attr("draw")(graph, positions, "with_labels"_a = true, "node_color"_a = colors,
                  "node_size"_a = 1000, "font_size"_a = 6, "arrows"_a = true);
  return nb::none();
}

}  // namespace lumencad::explore
