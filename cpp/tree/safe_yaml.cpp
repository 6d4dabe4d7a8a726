// The tree's YAML: PyYAML's safe dump, with a direct path for plain data.
#include "safe_yaml.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "lumencad/handles.hpp"
#include "lumencad/pyobject.hpp"

namespace lumencad::tree {

namespace {

// --- the stock safe dumper -----------------------------------------------

// What the safe dumper looked like when the module was imported. The direct
// path reproduces PyYAML's stock behaviour, so it is taken only while the
// dumper still represents and resolves as it did then.
struct StockDumper {
  nb::object dumper;
  nb::object representers;  // SafeDumper.yaml_representers
  nb::object resolvers;     // SafeDumper.yaml_implicit_resolvers
  Py_ssize_t resolver_count = 0;
  std::vector<std::pair<nb::object, nb::object>> plain_representers;  // type, function
};

StockDumper& stock() {
  static auto* dumper = new StockDumper();  // never destroyed, like the cached handles
  return *dumper;
}

Py_ssize_t count_resolvers(nb::handle resolvers) {
  Py_ssize_t count = 0;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(resolvers.ptr(), &pos, &key, &value)) {
    Py_ssize_t n = PyObject_Length(value);
    if (n < 0) throw nb::python_error();
    count += n;
  }
  return count;
}

bool dumper_is_stock() {
  StockDumper& s = stock();
  nb::object representers = s.dumper.attr("yaml_representers");
  nb::object resolvers = s.dumper.attr("yaml_implicit_resolvers");
  if (!representers.is(s.representers) || !resolvers.is(s.resolvers)) return false;
  for (const auto& [type, function] : s.plain_representers) {
    PyObject* current = PyDict_GetItemWithError(representers.ptr(), type.ptr());
    if (current != function.ptr()) {
      if (PyErr_Occurred()) throw nb::python_error();
      return false;
    }
  }
  return count_resolvers(resolvers) == s.resolver_count;
}

// --- plain data ----------------------------------------------------------

// Nesting beyond this goes to the dumper itself (which also handles cycles).
constexpr int kMaxDepth = 64;

bool fits_long_long(PyObject* value) {
  int overflow = 0;
  PyLong_AsLongLongAndOverflow(value, &overflow);
  if (PyErr_Occurred()) throw nb::python_error();
  return overflow == 0;
}

// Data that the stock safe dumper always represents: exact None, bool, str,
// float, machine-sized int, and lists, tuples and dicts of such data.
bool plainly_representable(PyObject* value, int depth) {
  PyTypeObject* type = Py_TYPE(value);
  if (value == Py_None || type == &PyBool_Type || type == &PyUnicode_Type || type == &PyFloat_Type)
    return true;
  if (type == &PyLong_Type) return fits_long_long(value);
  if (depth >= kMaxDepth) return false;
  if (type == &PyList_Type || type == &PyTuple_Type) {
    Py_ssize_t n = PySequence_Fast_GET_SIZE(value);
    PyObject** items = PySequence_Fast_ITEMS(value);
    for (Py_ssize_t i = 0; i < n; ++i)
      if (!plainly_representable(items[i], depth + 1)) return false;
    return true;
  }
  if (type == &PyDict_Type) {
    Py_ssize_t pos = 0;
    PyObject *key, *item;
    while (PyDict_Next(value, &pos, &key, &item))
      if (!plainly_representable(key, depth + 1) || !plainly_representable(item, depth + 1))
        return false;
    return true;
  }
  return false;
}

// --- block-style emitter -------------------------------------------------

// Writes the block-style text PyYAML's safe dump writes (keys sorted) for a
// tree of exact dicts with str keys, lists, tuples and scalars whose text is
// plain or single-quoted. A first pass checks the tree and numbers, as
// PyYAML's serializer does, the collections met more than once (in the
// order of their second meeting); the second pass writes them with "&idNNN"
// where first met and "*idNNN" after. Gives up (returns false) on other
// types, on keys or strings that need another style, on deep nesting, and on
// a root that is not a dict (a bare scalar root ends with "...").
class BlockEmitter {
 public:
  bool document(PyObject* root) {
    if (!PyDict_CheckExact(root) || !plan(root, 0)) return false;
    Node& node = nodes_.at(root);
    node.written = true;
    if (node.anchor) {
      write_anchor('&', node.anchor);
      out_ += '\n';
    }
    if (PyDict_GET_SIZE(root) == 0)
      out_ += "{}\n";
    else
      mapping(node, 0, false);
    return true;
  }

  nb::object text() const {
    return checked(
        PyUnicode_DecodeASCII(out_.data(), static_cast<Py_ssize_t>(out_.size()), nullptr));
  }

 private:
  struct Node {
    int anchor = 0;        // 0: met once, no anchor
    bool written = false;  // written once already: later meetings are aliases
    std::vector<std::pair<std::string_view, PyObject*>> entries;  // a dict's, keys sorted
  };

  std::string out_;
  // Node-based, so references to a Node stay valid while others are added.
  std::unordered_map<PyObject*, Node> nodes_;
  int anchors_ = 0;

  static bool is_sequence(PyObject* value) {
    return PyList_CheckExact(value) || PyTuple_CheckExact(value);
  }

  static bool is_collection(PyObject* value) {
    return PyDict_CheckExact(value) || is_sequence(value);
  }

  static Py_ssize_t size_of(PyObject* value) {
    return PyDict_CheckExact(value) ? PyDict_GET_SIZE(value) : PySequence_Fast_GET_SIZE(value);
  }

  // The empty tuple is the one collection the safe dumper never anchors.
  static bool never_anchored(PyObject* value) {
    return PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == 0;
  }

  // --- first pass ---

  bool plan(PyObject* value, int depth) {
    if (!is_collection(value)) return plain_scalar(value);
    if (never_anchored(value)) return true;
    auto [it, first] = nodes_.try_emplace(value);
    Node& node = it->second;
    if (!first) {
      if (!node.anchor) node.anchor = ++anchors_;
      return true;
    }
    if (depth >= kMaxDepth) return false;
    if (PyDict_CheckExact(value)) {
      Py_ssize_t pos = 0;
      PyObject *key, *item;
      while (PyDict_Next(value, &pos, &key, &item)) {
        std::string_view text;
        if (!plain_key(key, text)) return false;
        node.entries.emplace_back(text, item);
      }
      // sort_keys: ASCII keys sort by their bytes as Python sorts str.
      std::sort(node.entries.begin(), node.entries.end(),
                [](const auto& a, const auto& b) { return a.first < b.first; });
      for (const auto& entry : node.entries)
        if (!plan(entry.second, depth + 1)) return false;
      return true;
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(value);
    PyObject** items = PySequence_Fast_ITEMS(value);
    for (Py_ssize_t i = 0; i < n; ++i)
      if (!plan(items[i], depth + 1)) return false;
    return true;
  }

  static bool plain_key(PyObject* key, std::string_view& text) {
    if (!PyUnicode_CheckExact(key) || !ascii_text(key, text)) return false;
    // Longer keys are written as "? key" (PyYAML's simple-key limit).
    return text.size() < 128 && is_plain_text(text) && !resolves_to_other_type(text);
  }

  static bool plain_scalar(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    if (value == Py_None || type == &PyBool_Type || type == &PyFloat_Type) return true;
    if (type == &PyLong_Type) return fits_long_long(value);
    std::string_view text;
    return type == &PyUnicode_Type && ascii_text(value, text) && is_plain_text(text);
  }

  static bool ascii_text(PyObject* str, std::string_view& text) {
    if (!PyUnicode_IS_ASCII(str)) return false;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (!data) throw nb::python_error();
    text = std::string_view(data, static_cast<size_t>(size));
    return true;
  }

  // Text that PyYAML writes without quotes (unless it reads as another type):
  // a letter or underscore, then letters, digits and "_", ".", "/", "-".
  static bool is_plain_text(std::string_view text) {
    auto letter = [](char c) {
      return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    };
    if (text.empty() || !letter(text[0])) return false;
    for (char c : text.substr(1))
      if (!letter(c) && !(c >= '0' && c <= '9') && c != '.' && c != '/' && c != '-') return false;
    return true;
  }

  // Plain text of that form that the safe dumper's resolvers read as a bool
  // or null (the only resolvers for text starting with a letter).
  static bool resolves_to_other_type(std::string_view text) {
    static constexpr const char* kWords[] = {
        "yes",   "Yes", "YES", "no", "No",  "NO",  "true", "True", "TRUE", "false", "False",
        "FALSE", "on",  "On",  "ON", "off", "Off", "OFF",  "null", "Null", "NULL"};
    for (const char* word : kWords)
      if (text == word) return true;
    return false;
  }

  // --- second pass ---

  void indent(int column) { out_.append(static_cast<size_t>(column), ' '); }

  void write_anchor(char indicator, int anchor) {
    char text[16];
    std::snprintf(text, sizeof text, "%cid%03d", indicator, anchor);
    out_ += text;
  }

  // Keys at `column`; with `inline_first`, the first key follows a "-" on its line.
  void mapping(const Node& node, int column, bool inline_first) {
    bool first = true;
    for (const auto& [key, value] : node.entries) {
      if (first && inline_first)
        out_ += ' ';
      else
        indent(column);
      first = false;
      out_.append(key);
      out_ += ':';
      value_after_key(value, column);
    }
  }

  // Dashes at `column`; with `inline_first`, the first item follows a "-".
  void sequence(PyObject* seq, int column, bool inline_first) {
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    PyObject** items = PySequence_Fast_ITEMS(seq);
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (i == 0 && inline_first)
        out_ += ' ';
      else
        indent(column);
      out_ += '-';
      value_after_dash(items[i], column);
    }
  }

  // Writes what stays on the current line: a scalar, an alias, an empty
  // collection, or just the anchor of a collection that follows below.
  // Returns the node still to write below the line, or null.
  Node* inline_part(PyObject* value) {
    out_ += ' ';
    if (!is_collection(value)) {
      scalar(value);
    } else if (never_anchored(value)) {
      out_ += "[]";
    } else {
      Node& node = nodes_.at(value);
      if (node.written) {
        write_anchor('*', node.anchor);
      } else {
        node.written = true;
        if (node.anchor) write_anchor('&', node.anchor);
        if (size_of(value) > 0) {
          if (!node.anchor) out_.pop_back();  // nothing on the line after all
          out_ += '\n';
          return &node;
        }
        if (node.anchor) out_ += ' ';
        out_ += PyDict_CheckExact(value) ? "{}" : "[]";
      }
    }
    out_ += '\n';
    return nullptr;
  }

  // A key's value: a mapping below the key, indented; a sequence below it at
  // the key's own column.
  void value_after_key(PyObject* value, int column) {
    Node* below = inline_part(value);
    if (!below) return;
    if (PyDict_CheckExact(value))
      mapping(*below, column + 2, false);
    else
      sequence(value, column, false);
  }

  // A sequence item: a collection starts on the dash's line, unless it has an
  // anchor, which keeps that line to itself.
  void value_after_dash(PyObject* value, int column) {
    if (is_collection(value) && !never_anchored(value)) {
      Node& node = nodes_.at(value);
      if (!node.written && !node.anchor && size_of(value) > 0) {
        node.written = true;
        if (PyDict_CheckExact(value))
          mapping(node, column + 2, true);
        else
          sequence(value, column + 2, true);
        return;
      }
    }
    Node* below = inline_part(value);
    if (!below) return;
    if (PyDict_CheckExact(value))
      mapping(*below, column + 2, false);
    else
      sequence(value, column + 2, false);
  }

  void scalar(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    if (value == Py_None) {
      out_ += "null";
    } else if (type == &PyBool_Type) {
      out_ += value == Py_True ? "true" : "false";
    } else if (type == &PyLong_Type) {
      out_ += std::to_string(PyLong_AsLongLong(value));
    } else if (type == &PyFloat_Type) {
      float_text(value);
    } else {
      std::string_view text;
      ascii_text(value, text);
      // Text that would read back as a bool or null is quoted.
      bool quoted = resolves_to_other_type(text);
      if (quoted) out_ += '\'';
      out_.append(text);
      if (quoted) out_ += '\'';
    }
  }

  // SafeRepresenter.represent_float: ".nan", ".inf", "-.inf", else the
  // lower-cased repr with ".0" put before an exponent that has no point.
  void float_text(PyObject* value) {
    double number = PyFloat_AS_DOUBLE(value);
    if (std::isnan(number)) {
      out_ += ".nan";
    } else if (std::isinf(number)) {
      out_ += number > 0 ? ".inf" : "-.inf";
    } else {
      nb::object repr = checked(PyObject_Repr(value));
      std::string_view digits;
      ascii_text(repr.ptr(), digits);
      std::string text(digits);
      for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (text.find('.') == std::string::npos) {
        size_t e = text.find('e');
        if (e != std::string::npos) text.insert(e, ".0");
      }
      out_ += text;
    }
  }
};

}  // namespace

void prepare_safe_yaml() {
  StockDumper& s = stock();
  s.dumper = nb::module_::import_("yaml").attr("SafeDumper");
  s.representers = s.dumper.attr("yaml_representers");
  s.resolvers = s.dumper.attr("yaml_implicit_resolvers");
  s.resolver_count = count_resolvers(s.resolvers);
  nb::object representer = nb::module_::import_("yaml.representer").attr("SafeRepresenter");
  const std::pair<PyObject*, const char*> plain[] = {
      {reinterpret_cast<PyObject*>(Py_TYPE(Py_None)), "represent_none"},
      {reinterpret_cast<PyObject*>(&PyBool_Type), "represent_bool"},
      {reinterpret_cast<PyObject*>(&PyLong_Type), "represent_int"},
      {reinterpret_cast<PyObject*>(&PyFloat_Type), "represent_float"},
      {reinterpret_cast<PyObject*>(&PyUnicode_Type), "represent_str"},
      {reinterpret_cast<PyObject*>(&PyList_Type), "represent_list"},
      {reinterpret_cast<PyObject*>(&PyTuple_Type), "represent_list"},
      {reinterpret_cast<PyObject*>(&PyDict_Type), "represent_dict"},
  };
  for (const auto& [type, method] : plain)
    s.plain_representers.emplace_back(nb::borrow(type), representer.attr(method));
  cached("yaml", "safe_dump");
}

bool safe_dumpable(nb::handle value) {
  if (plainly_representable(value.ptr(), 0) && dumper_is_stock()) return true;
  nb::dict probe;
  probe["x"] = value;
  try {
    cached("yaml", "safe_dump")(probe, nb::arg("sort_keys") = false);
  } catch (nb::python_error& error) {
    if (!error.matches(PyExc_Exception)) throw;
    return false;
  }
  return true;
}

nb::object safe_dump_sorted(nb::handle data) {
  if (dumper_is_stock()) {
    BlockEmitter emitter;
    if (emitter.document(data.ptr())) return emitter.text();
  }
  return cached("yaml", "safe_dump")(data, nb::arg("sort_keys") = true,
                                     nb::arg("default_flow_style") = false);
}

}  // namespace lumencad::tree
