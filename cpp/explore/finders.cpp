// Finders over a PDK dependency graph: nodes picked by their attributes or
// their edges, returned as a new list in natural order. The graph passed in
// is never changed.
#include "functions.hpp"

#include "lumencad/handles.hpp"
#include "lumencad/natural_sort.hpp"
#include "lumencad/pyobject.hpp"
#include "lumencad/unpack.hpp"

namespace lumencad::explore {

using namespace nb::literals;

namespace {

nb::object natural_order(nb::handle module, nb::handle names) {
  return module_natsorted(module, names);
}

// The nodes whose attribute mapping satisfies `keep`, in natural order.
template <typename Keep>
nb::object nodes_with(nb::handle module, nb::handle graph, Keep&& keep) {
  nb::list found;
  nb::object nodes = graph.attr("nodes")("data"_a = true);
  for (nb::handle pair : nodes) {
    auto [node, attributes] = unpack2(pair);
    if (keep(nb::handle(attributes))) found.append(node);
  }
  return natural_order(module, found);
}

// The nodes whose out-degree is 0 (`sinks`) or is not (`!sinks`), in natural
// order.
nb::object nodes_by_out_degree(nb::handle module, nb::handle graph, bool sinks) {
  nb::list found;
  nb::object nodes = graph.attr("nodes");
  nb::object out_degree = graph.attr("out_degree");
  nb::object zero = checked(PyLong_FromLong(0));
  for (nb::handle node : nodes) {
    nb::object degree = out_degree(node);
    int is_zero = PyObject_RichCompareBool(degree.ptr(), zero.ptr(), Py_EQ);
    if (is_zero < 0) throw nb::python_error();
    if ((is_zero == 1) == sinks) found.append(node);
  }
  return natural_order(module, found);
}

}  // namespace

nb::object find_without_ports(nb::handle module, const nb::handle* args) {
  static const nb::handle key = nb::str("ports").release();
  // A single port does not make a cell usable in a circuit either.
  return nodes_with(module, args[0], [](nb::handle attributes) {
    nb::object ports = mapping_get(attributes, key, Py_None);
    Py_ssize_t count = PyObject_Size(ports.ptr());
    if (count < 0) throw nb::python_error();
    return count < 2;
  });
}

nb::object find_unconnected(nb::handle module, const nb::handle* args) {
  return natural_order(module, module_global(module, "nx").attr("isolates")(args[0]));
}

nb::object find_sinks(nb::handle module, const nb::handle* args) {
  return nodes_by_out_degree(module, args[0], true);
}

nb::object find_fixed(nb::handle module, const nb::handle* args) {
  static const nb::handle key = nb::str("is_fixed").release();
  return nodes_with(module, args[0], [](nb::handle attributes) {
    return truthy(mapping_get(attributes, key, Py_None));
  });
}

nb::object find_composite(nb::handle module, const nb::handle* args) {
  return nodes_by_out_degree(module, args[0], false);
}

nb::object find_good_sinks(nb::handle module, const nb::handle* args) {
  nb::object without_ports = call_global(module, "find_without_ports", args[0]);
  nb::object usable = args[0].attr("copy")();
  usable.attr("remove_nodes_from")(without_ports);
  return call_global(module, "find_sinks", usable);
}

}  // namespace lumencad::explore
