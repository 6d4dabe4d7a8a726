// The introspectable function type behind def_function().
#include "lumencad/function.hpp"

#include <nanobind/nanobind.h>
#include <structmember.h>

#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "lumencad/checks.hpp"
#include "lumencad/handles.hpp"

namespace lumencad {

namespace {

struct ParamData {
  PyObject* name = nullptr;           // interned str
  PyObject* annotation = nullptr;     // str or nullptr
  PyObject* default_value = nullptr;  // nullptr for a required parameter
  Check check = Check::None;
};

struct FunctionData {
  std::vector<ParamData> params;
  Py_ssize_t required = 0;  // leading parameters without a default
  PyObject* return_annotation = nullptr;
  FunctionImpl impl = nullptr;

  FunctionData() = default;
  FunctionData(const FunctionData&) = delete;
  FunctionData& operator=(const FunctionData&) = delete;
  ~FunctionData() {
    for (ParamData& p : params) {
      Py_XDECREF(p.name);
      Py_XDECREF(p.annotation);
      Py_XDECREF(p.default_value);
    }
    Py_XDECREF(return_annotation);
  }
};

struct FunctionObject {
  PyObject_HEAD vectorcallfunc vectorcall;
  PyObject* module;
  PyObject* globals;
  PyObject* name;
  PyObject* qualname;
  PyObject* module_name;
  PyObject* doc;
  PyObject* annotations;
  PyObject* signature;  // built on first access
  PyObject* defaults;   // tuple, or nullptr when no parameter has a default
  PyObject* dict;
  PyObject* weakrefs;
  FunctionData* data;
};

// Parameters are few; bind into a stack buffer when they fit.
constexpr Py_ssize_t kStackParams = 8;

// ---------------------------------------------------------------------------
// Argument binding, with the interpreter's own messages.

void format_too_many_positional(const FunctionObject* f, Py_ssize_t given) {
  const FunctionData& d = *f->data;
  const Py_ssize_t count = static_cast<Py_ssize_t>(d.params.size());
  const bool has_defaults = d.required < count;
  nb::str sig = has_defaults
                    ? nb::steal<nb::str>(PyUnicode_FromFormat("from %zd to %zd", d.required, count))
                    : nb::steal<nb::str>(PyUnicode_FromFormat("%zd", count));
  if (!sig.is_valid()) return;
  const bool plural = has_defaults || count != 1;
  PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", f->qualname,
               sig.ptr(), plural ? "s" : "", given, given == 1 ? "was" : "were");
}

void format_missing(const FunctionObject* f, PyObject* const* bound, Py_ssize_t from) {
  const FunctionData& d = *f->data;
  nb::list names = nb::steal<nb::list>(PyList_New(0));
  if (!names.is_valid()) return;
  for (Py_ssize_t i = from; i < d.required; ++i) {
    if (bound[i]) continue;
    PyObject* repr = PyObject_Repr(d.params[i].name);
    if (!repr || PyList_Append(names.ptr(), repr) < 0) {
      Py_XDECREF(repr);
      return;
    }
    Py_DECREF(repr);
  }
  const Py_ssize_t len = PyList_GET_SIZE(names.ptr());
  PyObject* joined = nullptr;
  if (len == 1) {
    joined = Py_NewRef(PyList_GET_ITEM(names.ptr(), 0));
  } else if (len == 2) {
    joined = PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.ptr(), 0),
                                  PyList_GET_ITEM(names.ptr(), 1));
  } else {
    PyObject* tail = PyUnicode_FromFormat(", %U, and %U", PyList_GET_ITEM(names.ptr(), len - 2),
                                          PyList_GET_ITEM(names.ptr(), len - 1));
    if (!tail) return;
    nb::str sep(", ");
    PyObject* head_items = PyList_GetSlice(names.ptr(), 0, len - 2);
    PyObject* head = head_items ? PyUnicode_Join(sep.ptr(), head_items) : nullptr;
    Py_XDECREF(head_items);
    if (head) joined = PyUnicode_Concat(head, tail);
    Py_XDECREF(head);
    Py_DECREF(tail);
  }
  if (!joined) return;
  PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", f->qualname,
               len, len == 1 ? "" : "s", joined);
  Py_DECREF(joined);
}

// Index of the parameter called `key`, params.size() when there is none, -1 on error.
Py_ssize_t find_param(const FunctionData& d, PyObject* key) {
  const Py_ssize_t count = static_cast<Py_ssize_t>(d.params.size());
  for (Py_ssize_t j = 0; j < count; ++j) {
    if (d.params[j].name == key) return j;
  }
  for (Py_ssize_t j = 0; j < count; ++j) {
    int equal = PyObject_RichCompareBool(key, d.params[j].name, Py_EQ);
    if (equal < 0) return -1;
    if (equal) return j;
  }
  return count;
}

// Binds args/kwnames into bound[0..count); false with a Python error set on failure.
bool bind_arguments(const FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound) {
  const FunctionData& d = *f->data;
  const Py_ssize_t count = static_cast<Py_ssize_t>(d.params.size());
  const Py_ssize_t npos = nargs < count ? nargs : count;
  for (Py_ssize_t i = 0; i < count; ++i) bound[i] = i < npos ? args[i] : nullptr;

  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->qualname);
        return false;
      }
      const Py_ssize_t j = find_param(d, key);
      if (j < 0) return false;
      if (j == count) {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname,
                     key);
        return false;
      }
      if (bound[j]) {
        PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname,
                     key);
        return false;
      }
      bound[j] = args[nargs + k];
    }
  }

  if (nargs > count) {
    format_too_many_positional(f, nargs);
    return false;
  }
  if (nargs < count) {
    for (Py_ssize_t i = nargs; i < d.required; ++i) {
      if (!bound[i]) {
        format_missing(f, bound, nargs);
        return false;
      }
    }
    for (Py_ssize_t i = d.required; i < count; ++i) {
      if (!bound[i]) bound[i] = d.params[i].default_value;
    }
  }
  return true;
}

PyObject* call_bound(FunctionObject* f, PyObject* const* bound) {
  const FunctionData& d = *f->data;
  const Py_ssize_t count = static_cast<Py_ssize_t>(d.params.size());
  nb::handle stack_args[kStackParams];
  std::unique_ptr<nb::handle[]> heap_args;
  nb::handle* handles = stack_args;
  if (count > kStackParams) {
    heap_args.reset(new nb::handle[count]);
    handles = heap_args.get();
  }
  // Float conversions create new objects that must live until the call returns.
  std::vector<nb::object> converted;
  for (Py_ssize_t i = 0; i < count; ++i) {
    nb::handle arg(bound[i]);
    switch (d.params[i].check) {
      case Check::None:
        break;
      case Check::Str:
        check_str_arg(PyUnicode_AsUTF8(d.params[i].name), arg);
        break;
      case Check::Dict:
        check_dict_arg(PyUnicode_AsUTF8(d.params[i].name), arg);
        break;
      case Check::Float:
        if (!PyFloat_CheckExact(arg.ptr())) {
          converted.push_back(to_float(arg));
          arg = converted.back();
        }
        break;
    }
    handles[i] = arg;
  }
  nb::object result = d.impl(nb::handle(f->module), handles);
  if (!result.is_valid()) {
    if (!PyErr_Occurred())
      PyErr_Format(PyExc_SystemError, "%U() returned NULL without setting an exception",
                   f->qualname);
    return nullptr;
  }
  return result.release().ptr();
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (!f->module) {
    // Broken up by the cyclic collector: defaults and module are gone.
    PyErr_Format(PyExc_SystemError, "%U() called after it was cleared", f->qualname);
    return nullptr;
  }
  const Py_ssize_t count = static_cast<Py_ssize_t>(f->data->params.size());
  PyObject* stack_bound[kStackParams];
  std::unique_ptr<PyObject*[]> heap_bound;
  PyObject** bound = stack_bound;
  if (count > kStackParams) {
    heap_bound.reset(new (std::nothrow) PyObject*[count]);
    if (!heap_bound) return PyErr_NoMemory();
    bound = heap_bound.get();
  }
  if (!bind_arguments(f, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) return nullptr;

  if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
  PyObject* result = nullptr;
  try {
    result = call_bound(f, bound);
  } catch (...) {
    set_python_error_from_current_exception();
    result = nullptr;
  }
  Py_LeaveRecursiveCall();
  return result;
}

// ---------------------------------------------------------------------------
// Attributes.

PyObject* get_name(PyObject* self, void*) {
  return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->name);
}

int set_str_attr(PyObject** slot, PyObject* value, const char* message) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
  }
  Py_SETREF(*slot, Py_NewRef(value));
  return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
  return set_str_attr(&reinterpret_cast<FunctionObject*>(self)->name, value,
                      "__name__ must be set to a string object");
}

PyObject* get_qualname(PyObject* self, void*) {
  return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

int set_qualname(PyObject* self, PyObject* value, void*) {
  return set_str_attr(&reinterpret_cast<FunctionObject*>(self)->qualname, value,
                      "__qualname__ must be set to a string object");
}

PyObject* get_annotations(PyObject* self, void*) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (!f->annotations) {
    f->annotations = PyDict_New();
    if (!f->annotations) return nullptr;
  }
  return Py_NewRef(f->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (value == Py_None) value = nullptr;
  if (value && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XSETREF(f->annotations, Py_XNewRef(value));
  return 0;
}

PyObject* build_signature(const FunctionObject* f) {
  const FunctionData& d = *f->data;
  nb::object parameter = cached("inspect", "Parameter");
  nb::object signature = cached("inspect", "Signature");
  nb::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
  nb::object empty = parameter.attr("empty");
  nb::list params;
  for (const ParamData& p : d.params) {
    params.append(
        parameter(nb::handle(p.name), kind,
                  nb::arg("default") = p.default_value ? nb::handle(p.default_value) : empty,
                  nb::arg("annotation") = p.annotation ? nb::handle(p.annotation) : empty));
  }
  nb::object ret = d.return_annotation ? nb::borrow(d.return_annotation) : empty;
  return signature(params, nb::arg("return_annotation") = ret).release().ptr();
}

PyObject* get_signature(PyObject* self, void*) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (!f->signature) {
    try {
      f->signature = build_signature(f);
    } catch (...) {
      set_python_error_from_current_exception();
      return nullptr;
    }
  }
  return Py_NewRef(f->signature);
}

int set_signature(PyObject* self, PyObject* value, void*) {
  // Deleting drops a replacement; the signature is then rebuilt from the parameters.
  Py_XSETREF(reinterpret_cast<FunctionObject*>(self)->signature, Py_XNewRef(value));
  return 0;
}

PyObject* get_defaults(PyObject* self, void*) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  return Py_NewRef(f->defaults ? f->defaults : Py_None);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module_name), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickled (and so deep-copied) by reference, as Python functions are.
PyObject* function_reduce(PyObject* self, PyObject*) {
  return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Object protocol.

// The references the garbage collector may clear; the name and qualified
// name (plain strings) stay until the function is deallocated.
PyObject* FunctionObject::* const kClearable[] = {
    &FunctionObject::module,   &FunctionObject::globals,     &FunctionObject::module_name,
    &FunctionObject::doc,      &FunctionObject::annotations, &FunctionObject::signature,
    &FunctionObject::defaults, &FunctionObject::dict,
};

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  for (auto field : kClearable) Py_VISIT(f->*field);
  if (f->data) {
    for (const ParamData& p : f->data->params) Py_VISIT(p.default_value);
  }
  return 0;
}

int function_clear(PyObject* self) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  for (auto field : kClearable) Py_CLEAR(f->*field);
  if (f->data) {
    for (ParamData& p : f->data->params) Py_CLEAR(p.default_value);
  }
  return 0;
}

void function_dealloc(PyObject* self) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (f->weakrefs) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  delete f->data;
  f->data = nullptr;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>",
                              reinterpret_cast<FunctionObject*>(self)->qualname, self);
}

// Bound like a Python function when stored on a class.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (!obj || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "lumencad.compiled_function",
    static_cast<int>(sizeof(FunctionObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

PyTypeObject* function_type() {
  // Created once per module binary and kept for the life of the process.
  static PyTypeObject* type = nullptr;
  if (!type) {
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    if (!type) throw nb::python_error();
  }
  return type;
}

PyObject* new_ref_or_null(const char* text) {
  if (!text) return nullptr;
  PyObject* s = PyUnicode_FromString(text);
  if (!s) throw nb::python_error();
  return s;
}

}  // namespace

nb::object def_function(nb::module_& m, FunctionSpec spec) {
  if (!spec.name || !spec.impl) throw std::invalid_argument("def_function: name and impl required");

  auto data = std::make_unique<FunctionData>();
  data->impl = spec.impl;
  data->required = static_cast<Py_ssize_t>(spec.params.size());
  bool seen_default = false;
  nb::dict annotations;
  nb::list defaults;
  for (size_t i = 0; i < spec.params.size(); ++i) {
    const Param& p = spec.params[i];
    if (p.default_value.is_valid()) {
      if (!seen_default) data->required = static_cast<Py_ssize_t>(i);
      seen_default = true;
      defaults.append(p.default_value);
    } else if (seen_default) {
      throw std::invalid_argument(std::string(spec.name) + "(): parameter '" + p.name +
                                  "' without a default follows a parameter with a default");
    }
    data->params.emplace_back();
    ParamData& stored = data->params.back();
    stored.check = p.check;
    stored.name = PyUnicode_InternFromString(p.name);
    if (!stored.name) throw nb::python_error();
    stored.annotation = new_ref_or_null(p.annotation);
    if (p.default_value.is_valid()) stored.default_value = p.default_value.inc_ref().ptr();
    if (p.annotation) annotations[nb::handle(stored.name)] = nb::handle(stored.annotation);
  }
  data->return_annotation = new_ref_or_null(spec.return_annotation);
  if (spec.return_annotation) annotations["return"] = nb::handle(data->return_annotation);

  PyTypeObject* type = function_type();
  nb::object obj = nb::steal(type->tp_alloc(type, 0));
  if (!obj.is_valid()) throw nb::python_error();
  auto* f = reinterpret_cast<FunctionObject*>(obj.ptr());
  f->vectorcall = function_vectorcall;
  f->data = data.release();
  f->module = m.inc_ref().ptr();
  f->globals = Py_NewRef(PyModule_GetDict(m.ptr()));
  f->name = new_ref_or_null(spec.name);
  f->qualname = Py_NewRef(f->name);
  f->module_name = nb::object(m.attr("__name__")).release().ptr();
  f->doc = spec.doc ? new_ref_or_null(spec.doc) : Py_NewRef(Py_None);
  f->annotations = annotations.release().ptr();
  f->defaults = seen_default ? PyList_AsTuple(defaults.ptr()) : nullptr;
  if (seen_default && !f->defaults) throw nb::python_error();

  m.attr(spec.name) = obj;
  return obj;
}

namespace {

// The Python exception type of one of nanobind's builtin C++ exceptions.
PyObject* python_type_of(nb::exception_type type) {
  const std::pair<nb::exception_type, PyObject*> types[] = {
      {nb::exception_type::stop_iteration, PyExc_StopIteration},
      {nb::exception_type::index_error, PyExc_IndexError},
      {nb::exception_type::key_error, PyExc_KeyError},
      {nb::exception_type::value_error, PyExc_ValueError},
      {nb::exception_type::type_error, PyExc_TypeError},
      {nb::exception_type::buffer_error, PyExc_BufferError},
      {nb::exception_type::import_error, PyExc_ImportError},
      {nb::exception_type::attribute_error, PyExc_AttributeError},
  };
  for (const auto& [from, to] : types)
    if (from == type) return to;
  return PyExc_RuntimeError;
}

}  // namespace

void set_python_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (nb::python_error& e) {
    e.restore();
  } catch (const nb::builtin_exception& e) {
    PyErr_SetString(python_type_of(e.type()), e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::out_of_range& e) {
    PyErr_SetString(PyExc_IndexError, e.what());
  } catch (const std::overflow_error& e) {
    PyErr_SetString(PyExc_OverflowError, e.what());
  } catch (const std::logic_error& e) {  // domain_error, invalid_argument, length_error
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::range_error& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
}

nb::object def_command(nb::module_& m, FunctionSpec spec) {
  const char* name = spec.name;
  nb::object command = m.attr("app").attr("command")()(def_function(m, std::move(spec)));
  m.attr(name) = command;
  return command;
}

}  // namespace lumencad
