// Netlist YAML through the fastest PyYAML classes that give the same text.
#include "yaml_text.hpp"

#include <unordered_set>

#include "lumencad/handles.hpp"
#include "lumencad/stack.hpp"

namespace lumencad::patch_service {

namespace {

// Longest key the pure emitter still writes as a simple key: its limit is
// 128 characters, counted with the five of the implicit tag "!!str".
constexpr Py_ssize_t kLongestSimpleKey = 122;

struct YamlClasses {
  nb::object loader;       // CSafeLoader, else SafeLoader
  nb::object dumper;       // CSafeDumper, else SafeDumper
  nb::object pure_dumper;  // SafeDumper
};

// Never destroyed: the classes outlive the module's last call.
YamlClasses*& classes() {
  static YamlClasses* picked = nullptr;
  return picked;
}

nb::object c_or_pure(nb::handle yaml, const char* c_name, const char* pure_name) {
  if (PyObject_HasAttrString(yaml.ptr(), c_name)) return yaml.attr(c_name);
  return yaml.attr(pure_name);
}

bool printable_ascii(nb::handle text) {
  PyObject* s = text.ptr();
  if (!PyUnicode_IS_ASCII(s)) return false;
  const Py_UCS1* chars = PyUnicode_1BYTE_DATA(s);
  Py_ssize_t length = PyUnicode_GET_LENGTH(s);
  for (Py_ssize_t i = 0; i < length; ++i)
    if (chars[i] < 0x20 || chars[i] > 0x7e) return false;
  return true;
}

bool plain_key(nb::handle key) {
  if (!PyUnicode_CheckExact(key.ptr())) return false;
  Py_ssize_t length = PyUnicode_GET_LENGTH(key.ptr());
  return length >= 1 && length <= kLongestSimpleKey && printable_ascii(key);
}

class AlikeCheck {
 public:
  bool operator()(nb::handle value) {
    PyObject* obj = value.ptr();
    if (obj == Py_None || PyBool_Check(obj) || PyLong_CheckExact(obj) || PyFloat_CheckExact(obj))
      return true;
    if (PyUnicode_CheckExact(obj)) return printable_ascii(value);
    bool is_dict = PyDict_CheckExact(obj);
    if (!is_dict && !PyList_CheckExact(obj)) return false;
    // A container met again is an alias (or a cycle): checked the first time.
    if (!seen_.insert(obj).second) return true;
    RecursionGuard guard(" while checking a netlist for the YAML emitter");
    if (is_dict) {
      Py_ssize_t pos = 0;
      PyObject *key, *item;
      while (PyDict_Next(obj, &pos, &key, &item))
        if (!plain_key(key) || !(*this)(item)) return false;
      return true;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i)
      if (!(*this)(PyList_GET_ITEM(obj, i))) return false;
    return true;
  }

 private:
  std::unordered_set<PyObject*> seen_;
};

}  // namespace

void init_yaml_text() {
  if (classes()) return;
  nb::module_ yaml = nb::module_::import_("yaml");
  cached("yaml", "load");
  cached("yaml", "dump");
  classes() =
      new YamlClasses{c_or_pure(yaml, "CSafeLoader", "SafeLoader"),
                      c_or_pure(yaml, "CSafeDumper", "SafeDumper"), yaml.attr("SafeDumper")};
}

nb::object load_yaml(nb::handle source) {
  return cached("yaml", "load")(source, nb::arg("Loader") = classes()->loader);
}

nb::object dump_yaml(nb::handle data) {
  const YamlClasses& picked = *classes();
  bool fast = !picked.dumper.is(picked.pure_dumper) && c_emitter_writes_alike(data);
  return cached("yaml", "dump")(data, nb::arg("Dumper") = fast ? picked.dumper : picked.pure_dumper,
                                nb::arg("sort_keys") = false);
}

bool c_emitter_writes_alike(nb::handle data) { return AlikeCheck()(data); }

}  // namespace lumencad::patch_service
