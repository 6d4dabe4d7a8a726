// Cell classes from one default build of each cell: parametric and fixed
// cells have at least two ports, the rest (failed builds too) are other cells.
#include "functions.hpp"

#include <optional>

#include "lumencad/handles.hpp"
#include "lumencad/mapping.hpp"
#include "lumencad/pyobject.hpp"

namespace lumencad::explore {

namespace {

// The number of port names of the factory's default build; none when
// building or reading the names raised an ordinary exception.
std::optional<size_t> default_port_count(nb::handle factory) {
  try {
    nb::object component = factory();
    nb::object ports = component.attr("ports");
    size_t count = 0;
    for (nb::handle port : ports) {
      nb::object name = port.attr("name");  // read: a port without a name fails the build
      ++count;
    }
    return count;
  } catch (nb::python_error& error) {
    if (!error.matches(PyExc_Exception)) throw;
    return std::nullopt;
  }
}

}  // namespace

nb::object classify_cells(nb::handle module, const nb::handle* args) {
  nb::dict parametric, fixed, other;
  nb::object num_args = module_global(module, "num_args");
  nb::object zero = checked(PyLong_FromLong(0));
  for_each_item(args[0].attr("cells"), [&](nb::handle name, nb::handle factory) {
    int has_parameters = PyObject_RichCompareBool(num_args(factory).ptr(), zero.ptr(), Py_GT);
    if (has_parameters < 0) throw nb::python_error();
    std::optional<size_t> ports = default_port_count(factory);
    if (!ports || *ports < 2) {
      set_item(other, name, factory);
    } else {
      set_item(has_parameters == 1 ? parametric : fixed, name, factory);
    }
  });
  return nb::make_tuple(parametric, fixed, other);
}

}  // namespace lumencad::explore
