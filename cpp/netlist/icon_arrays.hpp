// numpy arrays at the edge of the icon code: float64 conversion, shape checks
// and their error, read-only views of the data a kernel reads, and new arrays
// owning a kernel's result.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstddef>
#include <memory>

namespace lumencad::netlist {

namespace nb = nanobind;

// Contiguous float64 data of an N x 2 point array and of a 1-D array.
using PointsView = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using VectorView = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// np.asarray(obj).
nb::object as_array(nb::handle obj);

// np.ascontiguousarray(array, dtype=np.float64): the array itself when it
// already is one, so callers can tell a conversion by identity.
nb::object as_float64(nb::handle array);

nb::tuple shape_of(nb::handle array);

// Whether `shape` is that of N x 2 points.
bool is_points_shape(nb::handle shape);

// ValueError "<function>: expected <what> to be <expected>, got shape <shape>".
[[noreturn]] void raise_bad_shape(const char* function, const char* what, const char* expected,
                                  nb::handle shape);

// Read-only numpy views of `rows` points and of one (x, y) pair, keeping
// `owner`, the array holding them, alive.
nb::object points_view(const double* xy, std::size_t rows, nb::handle owner);
nb::object pair_view(const double* xy, nb::handle owner);

// A new numpy array owning `data`.
template <typename T, std::size_t Dims>
nb::object owned_array(std::unique_ptr<T[]> data, const std::size_t (&shape)[Dims]) {
  T* raw = data.get();
  nb::capsule owner(raw, [](void* p) noexcept { delete[] static_cast<T*>(p); });
  data.release();
  return nb::ndarray<nb::numpy, T>(raw, Dims, shape, owner).cast();
}

}  // namespace lumencad::netlist
