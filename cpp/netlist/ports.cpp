// Port directions: each port of a component reduced to the side it faces,
// collected per component into the schematic's `component_ports`.
#include "functions.hpp"

#include <cstdint>
#include <vector>

#include "lumencad/checks.hpp"
#include "lumencad/handles.hpp"
#include "lumencad/pyobject.hpp"
#include "orientation.hpp"

namespace lumencad::netlist {

namespace {

// The letters as shared str objects, kept for the life of the process.
nb::handle letter_str(char letter) {
  static const nb::handle letters[4] = {nb::str("n").release(), nb::str("e").release(),
                                        nb::str("s").release(), nb::str("w").release()};
  switch (letter) {
    case 'n':
      return letters[0];
    case 'e':
      return letters[1];
    case 's':
      return letters[2];
    default:
      return letters[3];
  }
}

bool less_than(nb::handle a, long b) {
  nb::object bound = checked(PyLong_FromLong(b));
  int result = PyObject_RichCompareBool(a.ptr(), bound.ptr(), Py_LT);
  if (result < 0) throw nb::python_error();
  return result == 1;
}

// Letter of an orientation already reduced by Python's `%`, for numeric types
// other than int and float: the comparisons are the type's own.
char letter_of_reduced_object(nb::handle o) {
  auto between = [&](long low, long high) {
    nb::object low_obj = checked(PyLong_FromLong(low));
    int above = PyObject_RichCompareBool(low_obj.ptr(), o.ptr(), Py_LT);
    if (above < 0) throw nb::python_error();
    return above == 1 && less_than(o, high);
  };
  if (between(45, 135)) return 'n';
  if (between(135, 225)) return 'w';
  if (between(225, 315)) return 's';
  return 'e';
}

// A port orientation reduced modulo 360 by Python's `%`: a double when the
// remainder is a float, else the remainder object itself.
struct Reduced {
  double value = 0.0;
  nb::object object;
};

Reduced reduce_orientation(nb::handle angle) {
  PyObject* obj = angle.ptr();
  // Plain floats and ints are reduced here; subclasses and other numbers use
  // their own `%`.
  if (PyFloat_CheckExact(obj)) {
    return {orientation::python_float_mod(PyFloat_AS_DOUBLE(obj), 360.0), {}};
  }
  if (PyLong_CheckExact(obj)) {
    int overflow = 0;
    long long degrees = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (degrees == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow == 0) {
      // The reduced integer is below 360, so the conversion is exact.
      return {
          static_cast<double>(orientation::python_int_mod(static_cast<std::int64_t>(degrees), 360)),
          {}};
    }
  }
  nb::object full_turn = checked(PyLong_FromLong(360));
  nb::object reduced = checked(PyNumber_Remainder(obj, full_turn.ptr()));
  if (PyFloat_Check(reduced.ptr())) return {PyFloat_AS_DOUBLE(reduced.ptr()), {}};
  return {0.0, std::move(reduced)};
}

char letter_of(const Reduced& reduced) {
  if (reduced.object.is_valid()) return letter_of_reduced_object(reduced.object);
  return orientation::letter_of_reduced(reduced.value);
}

}  // namespace

nb::object get_component_name(nb::handle, const nb::handle* args) {
  nb::handle record = args[0];
  if (PyUnicode_Check(record.ptr())) {
    if (!PyUnicode_CheckExact(record.ptr())) raise_expected("unicode", record);
    return nb::borrow(record);
  }
  nb::object name = mapping_get(record, nb::str("component"), args[1]);
  if (!name.is_none() && !PyUnicode_CheckExact(name.ptr())) raise_expected("unicode", name);
  return name;
}

nb::object get_ports(nb::handle module, const nb::handle* args) {
  nb::object component = module_global(module, "pl").attr("get_component")(args[0]);
  nb::object ports_iterable = component.attr("ports");
  std::vector<nb::object> ports;
  for (nb::handle port : ports_iterable) ports.push_back(nb::borrow(port));

  std::vector<nb::object> names;
  names.reserve(ports.size());
  for (const nb::object& port : ports) names.push_back(port.attr("name"));
  // Every orientation is reduced before any letter is picked.
  std::vector<Reduced> orientations;
  orientations.reserve(ports.size());
  for (const nb::object& port : ports)
    orientations.push_back(reduce_orientation(port.attr("orientation")));
  std::vector<char> letters;
  letters.reserve(ports.size());
  for (const Reduced& reduced : orientations) letters.push_back(letter_of(reduced));

  nb::dict directions;
  for (size_t i = 0; i < ports.size(); ++i) directions[names[i]] = letter_str(letters[i]);
  return std::move(directions);
}

nb::object try_get_ports(nb::handle module, const nb::handle* args) {
  return or_fallback([&] { return module_global(module, "_get_ports")(args[0]); }, nb::dict());
}

nb::object get_orientation(nb::handle module, const nb::handle* args) {
  nb::handle netlist = args[0];
  nb::object reference = item(item(netlist, "ports"), args[1]);
  auto [instance, port] = split_reference(reference);
  nb::object record = item(item(netlist, "instances"), instance);
  nb::object component = module_global(module, "_get_component_name")(record);
  nb::object component_ports = item(item(item(netlist, "info"), "schematic"), "component_ports");
  nb::object directions = mapping_get(component_ports, component, nb::dict());
  return mapping_get(directions, port, letter_str('e'));
}

nb::object patch_netlist_with_port_info(nb::handle module, const nb::handle* args) {
  nb::handle netlist = args[0];
  nb::object get_name = module_global(module, "_get_component_name");
  nb::object names = checked(PySet_New(nullptr));
  nb::object records = item(netlist, "instances").attr("values")();
  for (nb::handle record : records) {
    if (PySet_Add(names.ptr(), get_name(record).ptr()) < 0) throw nb::python_error();
  }
  nb::object get_ports_fn = module_global(module, "_get_ports");
  nb::object sorted_names = module_global(module, "natsorted")(names);
  for (nb::handle name : sorted_names) {
    nb::object directions = get_ports_fn(name);
    nb::object component_ports = item(item(item(netlist, "info"), "schematic"), "component_ports");
    set_item(component_ports, name, directions);
  }
  return nb::borrow(netlist);
}

}  // namespace lumencad::netlist
