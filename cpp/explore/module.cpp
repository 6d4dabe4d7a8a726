// Binding of lumencad.core.explore: its collaborators and its functions, the
// graph and its per-cell queries first, then the finders, colours, drawing and
// classification.
#include <nanobind/nanobind.h>

#include "functions.hpp"

#include "lumencad/function.hpp"
#include "lumencad/handles.hpp"
#include "lumencad/module.hpp"

namespace nb = nanobind;
using lumencad::def_function;

namespace {

void bind_collaborators(nb::module_& m) {
  lumencad::bind_imports(m, {// Named by the annotation of _get_f.
                             {"Callable", "collections.abc", "Callable"},
                             {"inspect", "inspect"},
                             {"nx", "networkx"},
                             {"plt", "matplotlib.pyplot"},
                             {"natsorted", "natsort", "natsorted"},
                             {"tqdm", "tqdm", "tqdm"},
                             {"pl", "polyloom"}});
}

void define_graph_functions(nb::module_& m) {
  namespace ex = lumencad::explore;
  def_function(m, {"get_pdk_graph",
                   {},
                   nullptr,
                   "Return the dependency graph of the active PDK.\n\n"
                   "A directed graph with a node for every cell that builds, in the order of\n"
                   "the PDK's cell table, each followed by the component names its netlist\n"
                   "uses (in natural order, where not added before), and an edge from each\n"
                   "cell to every component it uses. Every node carries `ports` (its port\n"
                   "names) and `is_fixed`. Shows a progress bar while the cells build.",
                   ex::get_pdk_graph});
  def_function(m, {"num_args",
                   {{"f"}},
                   nullptr,
                   "Return the number of parameters in the signature of the callable `f`,\n"
                   "counting every kind of parameter.",
                   ex::num_args});
  def_function(m, {"_get_f",
                   {{"name"}},
                   "Callable[..., pl.Component] | None",
                   "Return the cell factory of `name` in the active PDK, or None when the\n"
                   "PDK has no such cell.",
                   ex::get_f});
  def_function(m, {"_get_c",
                   {{"name"}},
                   "pl.Component | None",
                   "Return the built component of the cell `name`, or None when building it\n"
                   "fails.",
                   ex::get_c});
  def_function(m, {"_get_net",
                   {{"name"}},
                   "dict",
                   "Return the netlist of the cell `name`, or an empty mapping when the cell\n"
                   "does not build or its netlist cannot be had as a dict.",
                   ex::get_net});
  def_function(m, {"_get_port_names",
                   {{"name"}},
                   "tuple[str, ...]",
                   "Return the port names of the cell `name` in order ('' for a port\n"
                   "without a name); empty when the cell does not build.",
                   ex::get_port_names});
  def_function(m, {"_is_fixed",
                   {{"name"}},
                   nullptr,
                   "Whether the cell `name` cannot be varied: it does not build, the PDK has\n"
                   "no factory for it, or its factory takes fewer than two parameters.",
                   ex::is_fixed});
}

void define_finders(nb::module_& m) {
  namespace ex = lumencad::explore;
  struct Finder {
    const char* name;
    const char* doc;
    lumencad::FunctionImpl impl;
  };
  const Finder finders[] = {
      {"find_without_ports", "Return the nodes of `g` with fewer than two ports, in natural order.",
       ex::find_without_ports},
      {"find_unconnected", "Return the nodes of `g` without any edge, in natural order.",
       ex::find_unconnected},
      {"find_sinks", "Return the nodes of `g` that use no other node, in natural order.",
       ex::find_sinks},
      {"find_fixed", "Return the nodes of `g` marked as fixed, in natural order.", ex::find_fixed},
      {"find_composite", "Return the nodes of `g` that use at least one node, in natural order.",
       ex::find_composite},
      {"find_good_sinks",
       "Return the sinks of `g` once the nodes with fewer than two ports are left\n"
       "out, in natural order. `g` is not changed.",
       ex::find_good_sinks},
  };
  for (const Finder& finder : finders)
    def_function(m, {finder.name, {{"g"}}, nullptr, finder.doc, finder.impl});
}

void define_drawing_functions(nb::module_& m) {
  namespace ex = lumencad::explore;
  def_function(m,
               {"get_node_colors",
                {{"g"},
                 {"reverse", nullptr, lumencad::Check::None, nb::bool_(false)},
                 {"good_color", nullptr, lumencad::Check::None, nb::str(ex::kGoodColor)},
                 {"composite_color", nullptr, lumencad::Check::None, nb::str(ex::kCompositeColor)},
                 {"no_ports_color", nullptr, lumencad::Check::None, nb::str(ex::kNoPortsColor)},
                 {"is_fixed_color", nullptr, lumencad::Check::None, nb::str(ex::kIsFixedColor)}},
                nullptr,
                "Return one colour per node of `g`, in its node order: no_ports_color for\n"
                "nodes with fewer than two ports, is_fixed_color for fixed good sinks,\n"
                "good_color for the other good sinks, composite_color for the rest. With\n"
                "`reverse` the good sinks are those of the reversed graph: the cells that\n"
                "no other cell uses.",
                ex::get_node_colors});
  def_function(m, {"get_top_level_cells",
                   {{"g"},
                    {"no_fixed", nullptr, lumencad::Check::None, nb::bool_(true)},
                    {"reverse", nullptr, lumencad::Check::None, nb::bool_(false)}},
                   nullptr,
                   "Return, in the node order of `g`, the good sinks of `g` (of its reverse\n"
                   "with `reverse`), leaving out the fixed ones when `no_fixed` is true.",
                   ex::get_top_level_cells});
  def_function(m, {"plot_pdk_relations",
                   {},
                   nullptr,
                   "Draw the dependency graph of the active PDK into a new 10 by 10 inch\n"
                   "figure: Graphviz's circo layout, labelled nodes in the colours of\n"
                   "get_node_colors, arrows from each cell to what it uses. Showing or\n"
                   "saving the figure is left to the caller.",
                   ex::plot_pdk_relations});
  def_function(m, {"classify_cells",
                   {{"pdk", "pl.Pdk"}},
                   nullptr,
                   "Sort the cells of `pdk` by building each once with its defaults.\n\n"
                   "Returns (pcells, fcells, ocells), mappings of cell name to factory:\n"
                   "cells with parameters and at least two ports, cells without parameters\n"
                   "and at least two ports, and the cells that fail to build or have fewer\n"
                   "than two ports.",
                   ex::classify_cells});
}

}  // namespace

LUMENCAD_MODULE(explore, m) {
  bind_collaborators(m);
  define_graph_functions(m);
  define_finders(m);
  define_drawing_functions(m);
}
