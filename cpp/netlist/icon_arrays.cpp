// numpy arrays at the edge of the icon code: conversions, shape checks and
// views.
#include "icon_arrays.hpp"

#include <string>

#include "lumencad/handles.hpp"

namespace lumencad::netlist {

nb::object as_array(nb::handle obj) { return cached("numpy", "asarray")(obj); }

nb::object as_float64(nb::handle array) {
  return cached("numpy", "ascontiguousarray")(array, nb::arg("dtype") = cached("numpy", "float64"));
}

nb::tuple shape_of(nb::handle array) { return nb::borrow<nb::tuple>(array.attr("shape")); }

bool is_points_shape(nb::handle shape) {
  return nb::len(shape) == 2 && nb::cast<Py_ssize_t>(shape[1]) == 2;
}

void raise_bad_shape(const char* function, const char* what, const char* expected,
                     nb::handle shape) {
  const std::string message = std::string(function) + ": expected " + what + " to be " + expected +
                              ", got shape " + nb::repr(shape).c_str();
  throw nb::value_error(message.c_str());
}

nb::object points_view(const double* xy, std::size_t rows, nb::handle owner) {
  const std::size_t shape[2] = {rows, 2};
  return nb::ndarray<nb::numpy, const double>(xy, 2, shape, owner).cast();
}

nb::object pair_view(const double* xy, nb::handle owner) {
  const std::size_t shape[1] = {2};
  return nb::ndarray<nb::numpy, const double>(xy, 1, shape, owner).cast();
}

}  // namespace lumencad::netlist
