// The frame of the annotation pipeline.
#include "functions.hpp"

#include "lumencad/checks.hpp"
#include "lumencad/collector.hpp"
#include "lumencad/deepcopy.hpp"
#include "lumencad/handles.hpp"
#include "lumencad/mapping.hpp"
#include "lumencad/pyobject.hpp"

namespace lumencad::netlist {

namespace {

// Interned keys of the netlist record, created once.
struct Keys {
  PyObject* pdk;
  PyObject* instances;
  PyObject* connections;
  PyObject* routes;
  PyObject* ports;
  PyObject* placements;
  PyObject* info;
  PyObject* schematic;
  PyObject* implicit_connections;
  PyObject* component_ports;
  PyObject* hierarchical;
  PyObject* port_placements;
  PyObject* manhattan_fractions;
  PyObject* links;
  PyObject* component;
  PyObject* settings;
  PyObject* empty;
  PyObject* dash;
  PyObject* comma;
};

PyObject* intern(const char* text) {
  PyObject* s = PyUnicode_InternFromString(text);
  if (!s) throw nb::python_error();
  return s;
}

const Keys& keys() {
  static const Keys* k = nullptr;
  if (!k) {
    k = new Keys{intern("pdk"),
                 intern("instances"),
                 intern("connections"),
                 intern("routes"),
                 intern("ports"),
                 intern("placements"),
                 intern("info"),
                 intern("schematic"),
                 intern("implicit_connections"),
                 intern("component_ports"),
                 intern("hierarchical"),
                 intern("port_placements"),
                 intern("manhattan_fractions"),
                 intern("links"),
                 intern("component"),
                 intern("settings"),
                 intern(""),
                 intern("-"),
                 intern(",")};
  }
  return *k;
}

// The canonical top-level keys, in order; `pdk` defaults to "", the others
// to a new empty mapping.
PyObject* const* canonical_keys() {
  const Keys& k = keys();
  static PyObject* const order[] = {k.pdk,   k.instances,  k.connections, k.routes,
                                    k.ports, k.placements, k.info};
  return order;
}
constexpr int kCanonicalCount = 7;

// `{k: v for k, v in mapping.items() if k in allowed}`
nb::dict filter_by_key(nb::handle mapping, nb::handle allowed) {
  nb::dict kept;
  for_each_item(mapping, [&](nb::handle k, nb::handle v) {
    if (contains(allowed, k)) set_item(kept, k.ptr(), v);
  });
  return kept;
}

// f"{a}-{b}"
nb::object connection_key(nb::handle a, nb::handle b) {
  const Keys& k = keys();
  return concat({checked(PyObject_Format(a.ptr(), k.empty)), k.dash,
                 checked(PyObject_Format(b.ptr(), k.empty))});
}

void set_add(nb::handle set, nb::handle item) {
  if (PySet_Add(set.ptr(), item.ptr()) < 0) throw nb::python_error();
}

// Runs one annotation stage: calls the module global `stage` with the netlist
// (after `name` when given) and passes the result through the keeper.
nb::object run_stage(nb::handle module, nb::handle keeper, const char* stage, nb::handle netlist) {
  return keeper(call_global(module, stage, netlist));
}

nb::object run_stage(nb::handle module, nb::handle keeper, const char* stage, nb::handle name,
                     nb::handle netlist) {
  return keeper(call_global(module, stage, name, netlist));
}

}  // namespace

nb::object patch_netlist(nb::handle module, const nb::handle* args) {
  nb::handle netlist = args[1];
  if (netlist.is_none()) raise_arg_type("netlist", "dict", netlist);
  // The stages copy the netlist again and again and build its whole layout;
  // collections in between would traverse all of it each time.
  CollectorPause pause;

  nb::dict good_netlist;
  nb::object keeper =
      call_global(module, "partial", module_global(module, "_update_good_netlist"), good_netlist);
  nb::object n = keeper(module_deepcopy(module, netlist));
  n = run_stage(module, keeper, "ensure_netlist_order", n);
  n = run_stage(module, keeper, "reset_netlist_schematic_info", n);
  // The annotation stages run here, in order, each result through the keeper.
  n = run_stage(module, keeper, "patch_netlist_with_port_info", n);
  n = run_stage(module, keeper, "patch_netlist_with_icon_info", n);
  n = run_stage(module, keeper, "patch_netlist_with_connection_info", n);
  n = run_stage(module, keeper, "patch_netlist_with_hierarchy_info", n);
  n = run_stage(module, keeper, "patch_netlist_with_placement_info", args[0], n);
  return run_stage(module, keeper, "ensure_netlist_order", n);
}

nb::object ensure_netlist_order(nb::handle, const nb::handle* args) {
  nb::handle netlist = args[0];
  // Any mapping is taken as a plain dict first; an exact dict is read as it is.
  nb::object source = nb::borrow(netlist);
  if (!PyDict_CheckExact(netlist.ptr())) {
    source = checked(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), netlist.ptr()));
  }
  const Keys& k = keys();
  nb::dict ordered;
  PyObject* const* order = canonical_keys();
  for (int i = 0; i < kCanonicalCount; ++i) {
    PyObject* value = PyDict_GetItemWithError(source.ptr(), order[i]);
    if (!value && PyErr_Occurred()) throw nb::python_error();
    if (value) {
      set_item(ordered, order[i], value);
    } else if (order[i] == k.pdk) {
      set_item(ordered, order[i], k.empty);
    } else {
      set_item(ordered, order[i], nb::dict());
    }
  }
  if (PyDict_Update(ordered.ptr(), source.ptr()) < 0) throw nb::python_error();
  return std::move(ordered);
}

nb::object reset_netlist_schematic_info(nb::handle module, const nb::handle* args) {
  nb::handle netlist = args[0];
  const Keys& k = keys();
  for (PyObject* key : {k.instances, k.connections, k.ports, k.info}) {
    if (!contains(netlist, key)) set_item(netlist, key, nb::dict());
  }
  nb::object info = item(netlist, k.info);
  if (!contains(info, k.schematic)) set_item(info, k.schematic, nb::dict());
  nb::object schematic = item(info, k.schematic);

  set_item(schematic, k.implicit_connections, nb::dict());
  set_item(schematic, k.component_ports, nb::dict());
  set_item(schematic, k.hierarchical, nb::list());

  if (!contains(schematic, k.placements)) {
    set_item(schematic, k.placements, nb::dict());
  } else {
    nb::object placements = item(schematic, k.placements);
    set_item(schematic, k.placements, filter_by_key(placements, item(netlist, k.instances)));
  }

  if (!contains(schematic, k.port_placements)) {
    set_item(schematic, k.port_placements, nb::dict());
  } else {
    nb::object port_placements = item(schematic, k.port_placements);
    set_item(schematic, k.port_placements, filter_by_key(port_placements, item(netlist, k.ports)));
  }

  nb::object available = call_global(module, "_get_available_connections", netlist);
  if (!contains(schematic, k.manhattan_fractions)) {
    set_item(schematic, k.manhattan_fractions, nb::dict());
  } else {
    nb::object fractions = item(schematic, k.manhattan_fractions);
    set_item(schematic, k.manhattan_fractions, filter_by_key(fractions, available));
  }
  return nb::borrow(netlist);
}

nb::object wrap_component_in_netlist(nb::handle module, const nb::handle* args) {
  nb::handle name = args[0];
  const Keys& k = keys();
  nb::object pl = module_global(module, "pl");
  nb::object c = pl.attr("Component")();
  try {
    nb::object component = pl.attr("get_component")(name);
    checked(PyNumber_Lshift(c.ptr(), component.ptr()));
  } catch (nb::python_error& e) {
    // A component that cannot be built leaves c empty; the port lookup below reports it.
    if (!e.matches(PyExc_Exception)) throw;
  }
  c.attr("name") = name;

  nb::object first = nb::int_(0);
  nb::object instance = item(c.attr("insts"), first);
  nb::dict ports;
  for (nb::handle port : instance.attr("ports")) {
    nb::object text = checked(PyObject_Str(port.ptr()));
    set_item(ports, text, concat({name, k.comma, text}));
  }

  nb::dict sorted_ports;
  for (nb::handle port_name : call_global(module, "natsorted", ports)) {
    set_item(sorted_ports, port_name.ptr(), item(ports, port_name.ptr()));
  }
  nb::dict record;
  set_item(record, k.component, name);
  set_item(record, k.settings, nb::dict());
  nb::dict instances;
  set_item(instances, name.ptr(), record);

  nb::dict result;
  set_item(result, k.instances, instances);
  set_item(result, k.connections, nb::dict());
  set_item(result, k.ports, sorted_ports);
  return std::move(result);
}

nb::object get_available_connections(nb::handle, const nb::handle* args) {
  nb::handle netlist = args[0];
  const Keys& k = keys();
  nb::object available = checked(PySet_New(nullptr));

  for_each_item(item(netlist, k.connections), [&](nb::handle a, nb::handle b) {
    set_add(available, connection_key(a, b));
    set_add(available, connection_key(b, a));
  });
  for_each_item(item(netlist, k.ports), [&](nb::handle port, nb::handle reference) {
    set_add(available, connection_key(port, reference));
  });
  for_each_value(item(netlist, k.routes), [&](nb::handle route) {
    for_each_item(item(route, k.links), [&](nb::handle a, nb::handle b) {
      set_add(available, connection_key(a, b));
      set_add(available, connection_key(b, a));
    });
  });
  return available;
}

nb::object update_good_netlist(nb::handle module, const nb::handle* args) {
  nb::handle good_netlist = args[0];
  nb::handle netlist = args[1];
  if (!truthy(netlist)) {
    return module_deepcopy(module, call_global(module, "ensure_netlist_order", good_netlist));
  }
  nb::object fresh = call_global(module, "ensure_netlist_order", module_deepcopy(module, netlist));

  nb::object old_keys = checked(PyMapping_Keys(good_netlist.ptr()));
  for (nb::handle key : old_keys) {
    if (PyObject_DelItem(good_netlist.ptr(), key.ptr()) < 0) throw nb::python_error();
  }
  if (PyDict_CheckExact(good_netlist.ptr()) && PyDict_CheckExact(fresh.ptr())) {
    if (PyDict_Update(good_netlist.ptr(), fresh.ptr()) < 0) throw nb::python_error();
  } else {
    good_netlist.attr("update")(fresh);
  }
  return fresh;
}

}  // namespace lumencad::netlist
