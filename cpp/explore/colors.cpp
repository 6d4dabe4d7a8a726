// Node colours: cells without ports, good sinks (fixed or not) and everything
// else get one colour each; the top-level cells are the nodes coloured as good.
#include "functions.hpp"

#include "lumencad/handles.hpp"
#include "lumencad/pyobject.hpp"

namespace lumencad::explore {

using namespace nb::literals;

namespace {

nb::object as_set(nb::handle names) { return checked(PySet_New(names.ptr())); }

}  // namespace

nb::object get_node_colors(nb::handle module, const nb::handle* args) {
  nb::handle graph = args[0];
  nb::handle good_color = args[2], composite_color = args[3], no_ports_color = args[4],
             is_fixed_color = args[5];
  // Reversed, the good sinks are the cells that no other cell uses.
  nb::object oriented = truthy(args[1]) ? graph.attr("reverse")() : nb::borrow(graph);
  nb::object without_ports = as_set(call_global(module, "find_without_ports", oriented));
  nb::object good_sinks = as_set(call_global(module, "find_good_sinks", oriented));
  nb::object fixed = as_set(call_global(module, "find_fixed", oriented));

  nb::list colors;
  nb::object nodes = graph.attr("nodes");
  for (nb::handle node : nodes) {
    if (contains(without_ports, node)) {
      colors.append(no_ports_color);
    } else if (contains(good_sinks, node)) {
      colors.append(contains(fixed, node) ? is_fixed_color : good_color);
    } else {
      colors.append(composite_color);
    }
  }
  return colors;
}

nb::object get_top_level_cells(nb::handle module, const nb::handle* args) {
  nb::handle graph = args[0];
  const nb::object good = nb::str("green"), other = nb::str("red");
  nb::object colors =
      call_global(module, "get_node_colors", graph, "reverse"_a = args[2], "good_color"_a = good,
                  "composite_color"_a = other, "no_ports_color"_a = other,
                  "is_fixed_color"_a = truthy(args[1]) ? other : good);
  nb::list top_level;
  nb::object nodes = graph.attr("nodes");
  nb::object node_iter = nb::iter(nodes), color_iter = nb::iter(colors);
  // Pairs up nodes and colours as zip() does: the shorter sequence ends it.
  while (true) {
    nb::object node = nb::steal(PyIter_Next(node_iter.ptr()));
    if (!node.is_valid()) break;
    nb::object color = nb::steal(PyIter_Next(color_iter.ptr()));
    if (!color.is_valid()) break;
    int is_good = PyObject_RichCompareBool(color.ptr(), good.ptr(), Py_EQ);
    if (is_good < 0) throw nb::python_error();
    if (is_good == 1) top_level.append(node);
  }
  if (PyErr_Occurred()) throw nb::python_error();
  return top_level;
}

}  // namespace lumencad::explore
