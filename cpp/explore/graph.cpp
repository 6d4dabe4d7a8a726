// The PDK dependency graph: a node for every cell that builds and for every
// component name its netlist uses, an edge from each cell to what it uses.
// Building a cell is the step expected to fail, so the per-cell queries treat
// an ordinary exception as a missing component; interrupts pass through.
#include "functions.hpp"

#include <optional>
#include <vector>

#include "lumencad/handles.hpp"
#include "lumencad/mapping.hpp"
#include "lumencad/natural_sort.hpp"
#include "lumencad/pyobject.hpp"

namespace lumencad::explore {

using namespace nb::literals;

namespace {

bool is_ordinary(const nb::python_error& error) { return error.matches(PyExc_Exception); }

nb::object truth(bool value) { return nb::borrow(value ? Py_True : Py_False); }

// The component name an instance record stands for: a string record is the
// name itself, anything else answers `get("component", "")`.
nb::object used_component(nb::handle record) {
  static const nb::handle key = nb::str("component").release();
  static const nb::handle missing = nb::str("").release();
  if (PyUnicode_Check(record.ptr())) return nb::borrow(record);
  return mapping_get(record, key, missing);
}

// The used component names of a cell's instances: each once, in natural
// order, empty names dropped.
std::vector<nb::object> used_components(nb::handle module, nb::handle instances) {
  nb::object names = checked(PySet_New(nullptr));
  for_each_value(instances, [&](nb::handle record) {
    if (PySet_Add(names.ptr(), used_component(record).ptr()) < 0) throw nb::python_error();
  });
  std::vector<nb::object> used;
  nb::object sorted = module_natsorted(module, names);
  for (nb::handle name : sorted) {
    if (truthy(name)) used.push_back(nb::borrow(name));
  }
  return used;
}

// len(inspect.signature(f).parameters) read from the code object, for a
// plain function or a chain of functools.wraps wrappers ending in one (the
// signature `inspect` unwraps to); nothing for any other callable, or where
// a `__signature__` decides. Building a Signature costs far more than a cell
// lookup, and the graph asks for every cell twice.
std::optional<Py_ssize_t> plain_parameter_count(nb::handle f) {
  static const nb::handle wrapped = nb::str("__wrapped__").release();
  // Attributes through which `inspect` builds the signature some other way.
  static const nb::handle signature = nb::str("__signature__").release();
  static const nb::handle partialmethod = nb::str("_partialmethod").release();
  PyObject* current = f.ptr();
  for (int depth = 0; depth < 64; ++depth) {
    if (!PyFunction_Check(current)) return std::nullopt;
    PyObject* attributes = reinterpret_cast<PyFunctionObject*>(current)->func_dict;
    if (attributes) {
      for (nb::handle other : {signature, partialmethod}) {
        int found = PyDict_Contains(attributes, other.ptr());
        if (found < 0) throw nb::python_error();
        if (found) return std::nullopt;
      }
      PyObject* inner = PyDict_GetItemWithError(attributes, wrapped.ptr());
      if (!inner && PyErr_Occurred()) throw nb::python_error();
      if (inner) {
        current = inner;
        continue;
      }
    }
    const auto* code = reinterpret_cast<const PyCodeObject*>(PyFunction_GET_CODE(current));
    Py_ssize_t count = code->co_argcount + code->co_kwonlyargcount;
    if (code->co_flags & CO_VARARGS) ++count;
    if (code->co_flags & CO_VARKEYWORDS) ++count;
    return count;
  }
  return std::nullopt;
}

}  // namespace

nb::object num_args(nb::handle module, const nb::handle* args) {
  static const nb::handle standard_inspect = nb::module_::import_("inspect").release();
  nb::object inspect = module_global(module, "inspect");
  if (inspect.is(standard_inspect)) {
    if (auto count = plain_parameter_count(args[0])) return checked(PyLong_FromSsize_t(*count));
  }
  nb::object signature = inspect.attr("signature")(args[0]);
  nb::object parameters = signature.attr("parameters");
  Py_ssize_t count = PyObject_Size(parameters.ptr());
  if (count < 0) throw nb::python_error();
  return checked(PyLong_FromSsize_t(count));
}

nb::object get_f(nb::handle module, const nb::handle* args) {
  nb::object pdk = module_global(module, "pl").attr("get_active_pdk")();
  return pdk.attr("cells").attr("get")(args[0]);
}

nb::object get_c(nb::handle module, const nb::handle* args) {
  try {
    return module_global(module, "pl").attr("get_component")(args[0]);
  } catch (nb::python_error& error) {
    if (!is_ordinary(error)) throw;
    return nb::none();
  }
}

nb::object get_net(nb::handle module, const nb::handle* args) {
  nb::object component = call_global(module, "_get_c", args[0]);
  if (component.is_none()) return nb::dict();
  nb::object netlist;
  try {
    netlist = component.attr("get_netlist")();
  } catch (nb::python_error& error) {
    if (!is_ordinary(error)) throw;
    return nb::dict();
  }
  // The result is declared a dict: None passes, anything else is unusable.
  if (PyDict_CheckExact(netlist.ptr()) || netlist.is_none()) return netlist;
  return nb::dict();
}

nb::object get_port_names(nb::handle module, const nb::handle* args) {
  nb::object component = call_global(module, "_get_c", args[0]);
  if (!truthy(component)) return nb::tuple();
  nb::list names;
  nb::object ports = component.attr("ports");
  for (nb::handle port : ports) {
    nb::object name = port.attr("name");
    names.append(truthy(name) ? name : nb::str(""));
  }
  return checked(PyList_AsTuple(names.ptr()));
}

nb::object is_fixed(nb::handle module, const nb::handle* args) {
  if (!truthy(call_global(module, "_get_c", args[0]))) return truth(true);
  nb::object factory = call_global(module, "_get_f", args[0]);
  if (!truthy(factory)) return truth(true);
  // A factory with at most one parameter cannot be varied in a useful way.
  nb::object count = call_global(module, "num_args", factory);
  nb::object two = checked(PyLong_FromLong(2));
  int fewer = PyObject_RichCompareBool(count.ptr(), two.ptr(), Py_LT);
  if (fewer < 0) throw nb::python_error();
  return truth(fewer == 1);
}

nb::object get_pdk_graph(nb::handle module, const nb::handle*) {
  nb::object graph = module_global(module, "nx").attr("DiGraph")();
  nb::object pdk = module_global(module, "pl").attr("get_active_pdk")();
  // A snapshot of the names: building cells may change the table.
  nb::object names = checked(PySequence_List(pdk.attr("cells").ptr()));
  nb::object progress = call_global(module, "tqdm", names);

  nb::object get_c_fn = module_global(module, "_get_c");
  nb::object get_net_fn = module_global(module, "_get_net");
  nb::object get_port_names_fn = module_global(module, "_get_port_names");
  nb::object is_fixed_fn = module_global(module, "_is_fixed");
  nb::object add_node = graph.attr("add_node");
  nb::object add_edge = graph.attr("add_edge");
  auto add = [&](nb::handle name) {
    nb::object ports = get_port_names_fn(name);
    nb::object fixed = is_fixed_fn(name);
    add_node(name, "ports"_a = ports, "is_fixed"_a = fixed);
  };

  const nb::object instances_key = nb::str("instances");
  for (nb::handle name : progress) {
    if (get_c_fn(name).is_none()) continue;
    nb::object netlist = get_net_fn(name);
    nb::object instances = mapping_get(netlist, instances_key, nb::dict());
    std::vector<nb::object> used = used_components(module, instances);
    add(name);
    for (const nb::object& component : used) {
      add(component);
      add_edge(name, component);
    }
  }
  return graph;
}

}  // namespace lumencad::explore
