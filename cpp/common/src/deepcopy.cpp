// Deep copy of plain netlist trees.
//
// The copy follows copy.deepcopy step by step: the same memo entries
// (id(original) -> copy, inserted in the same order), the same keep-alive
// list under id(memo), tuples copied only when one of their items was. Plain
// containers and scalars are copied here; any other object goes to
// copy.deepcopy with the memo built so far. While no such object has been met
// the memo is kept natively (no Python code can run then, so every original
// stays alive and its address is a stable key); on the first foreign object it
// is turned into the equivalent Python dict, which is used from then on.
#include "lumencad/deepcopy.hpp"

#include <unordered_map>

#include <cstdint>
#include <utility>
#include <vector>

#include "lumencad/collector.hpp"
#include "lumencad/handles.hpp"
#include "lumencad/stack.hpp"

namespace lumencad {

namespace {

// Ending of the RecursionError message of a tree too deep to copy.
constexpr const char* kWhere = " while deep-copying an object";

// Types copy.deepcopy returns as they are, and whose hashing and comparison
// run no Python code (so they are safe to handle with the native memo).
bool is_atomic(PyTypeObject* t) {
  return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
         t == Py_TYPE(Py_None) || t == &PyBytes_Type || t == &PyComplex_Type ||
         t == Py_TYPE(Py_Ellipsis) || t == Py_TYPE(Py_NotImplemented) || t == &PyType_Type ||
         t == &PyRange_Type || t == &PyCFunction_Type || t == &PyFunction_Type ||
         t == &PyProperty_Type || t == &PyCode_Type;
}

// True when every item of the array is atomic: copy.deepcopy then copies the
// container without touching the memo for any item.
bool all_atomic(PyObject* const* items, Py_ssize_t n) {
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!is_atomic(Py_TYPE(items[i]))) return false;
  }
  return true;
}

bool dict_all_atomic(PyObject* d) {
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(d, &pos, &key, &value)) {
    if (!is_atomic(Py_TYPE(key)) || !is_atomic(Py_TYPE(value))) return false;
  }
  return true;
}

// Object addresses are 16-byte aligned and clustered: mix the bits before
// the power-of-two bucket mask sees them.
struct AddressHash {
  size_t operator()(PyObject* p) const noexcept {
    uint64_t h = reinterpret_cast<uintptr_t>(p);
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return static_cast<size_t>(h);
  }
};

class DeepCopier {
 public:
  // memo: an exact dict to use as the memo, or nullptr for a fresh one.
  explicit DeepCopier(PyObject* memo) : memo_(Py_XNewRef(memo)) {}
  ~DeepCopier() {
    Py_XDECREF(memo_);
    Py_XDECREF(memo_id_);
  }
  DeepCopier(const DeepCopier&) = delete;
  DeepCopier& operator=(const DeepCopier&) = delete;

  // New reference, or nullptr with a Python error set. `sole`: x is referenced
  // only by the slot of a list or dict it is read from; that container is
  // memoised before its items are copied, so the walk cannot meet x again and
  // the native memo need not index it.
  PyObject* copy(PyObject* x, bool sole = false) {
    PyTypeObject* t = Py_TYPE(x);
    // The native memo never holds atomic objects; a Python memo may hold anything.
    if (memo_ || (!is_atomic(t) && !sole)) {
      PyObject* hit = nullptr;
      if (memo_get(x, &hit) < 0) return nullptr;
      if (hit) return hit;
    }
    if (is_atomic(t)) return Py_NewRef(x);
    PyObject* y;
    if (t == &PyDict_Type) {
      y = copy_dict(x, sole);
    } else if (t == &PyList_Type) {
      y = copy_list(x, sole);
    } else if (t == &PyTuple_Type) {
      y = copy_tuple(x);
    } else {
      // copy.deepcopy memoises its own result.
      return copy_foreign(x);
    }
    if (!y) return nullptr;
    // copy.deepcopy memoises the result again here; lists and dicts already
    // hold their native memo entry, only a Python memo sees the repeat.
    const bool stored = !memo_ && t != &PyTuple_Type;
    if (y != x && ((!stored && store(x, y, sole) < 0) || keep_alive(x) < 0)) {
      Py_DECREF(y);
      return nullptr;
    }
    return y;
  }

 private:
  // Sets *hit to a new reference to the memoised copy of x, or nullptr.
  int memo_get(PyObject* x, PyObject** hit) {
    if (!memo_) {
      auto it = copies_.find(x);
      *hit = it == copies_.end() ? nullptr : Py_NewRef(it->second);
      return 0;
    }
    PyObject* key = PyLong_FromVoidPtr(x);
    if (!key) return -1;
    PyObject* value = PyDict_GetItemWithError(memo_, key);
    Py_DECREF(key);
    if (!value) return PyErr_Occurred() ? -1 : 0;
    *hit = Py_NewRef(value);
    return 0;
  }

  int store(PyObject* x, PyObject* y, bool sole) {
    if (!memo_) {
      if (sole) {
        order_.emplace_back(x, y);
        return 0;
      }
      auto [it, inserted] = copies_.try_emplace(x, y);
      if (inserted) {
        order_.emplace_back(x, y);
      } else {
        it->second = y;
      }
      return 0;
    }
    PyObject* key = PyLong_FromVoidPtr(x);
    if (!key) return -1;
    const int rc = PyDict_SetItem(memo_, key, y);
    Py_DECREF(key);
    return rc;
  }

  int keep_alive(PyObject* x) {
    if (!memo_) {
      if (keep_alive_at_ < 0) keep_alive_at_ = static_cast<Py_ssize_t>(order_.size());
      kept_.push_back(x);
      return 0;
    }
    PyObject* key = memo_id();
    if (!key) return -1;
    PyObject* kept = PyDict_GetItemWithError(memo_, key);
    if (kept) {
      Py_INCREF(kept);
      int rc;
      if (PyList_CheckExact(kept)) {
        rc = PyList_Append(kept, x);
      } else {
        PyObject* r = PyObject_CallMethod(kept, "append", "O", x);
        rc = r ? 0 : -1;
        Py_XDECREF(r);
      }
      Py_DECREF(kept);
      return rc;
    }
    if (PyErr_Occurred()) return -1;
    PyObject* list = PyList_New(1);
    if (!list) return -1;
    PyList_SET_ITEM(list, 0, Py_NewRef(x));
    const int rc = PyDict_SetItem(memo_, key, list);
    Py_DECREF(list);
    return rc;
  }

  PyObject* memo_id() {
    if (!memo_id_) memo_id_ = PyLong_FromVoidPtr(memo_);
    return memo_id_;
  }

  // Turns the native memo into the dict copy.deepcopy would have built.
  int switch_to_dict() {
    memo_ = PyDict_New();
    if (!memo_) return -1;
    PyObject* key = memo_id();
    if (!key) return -1;
    PyObject* kept = nullptr;
    if (keep_alive_at_ >= 0) {
      kept = PyList_New(static_cast<Py_ssize_t>(kept_.size()));
      if (!kept) return -1;
      for (size_t i = 0; i < kept_.size(); ++i) {
        PyList_SET_ITEM(kept, static_cast<Py_ssize_t>(i), Py_NewRef(kept_[i]));
      }
    }
    int rc = 0;
    for (size_t i = 0; i <= order_.size() && rc == 0; ++i) {
      if (kept && static_cast<Py_ssize_t>(i) == keep_alive_at_)
        rc = PyDict_SetItem(memo_, key, kept);
      if (i == order_.size() || rc < 0) break;
      PyObject* original = order_[i].first;
      auto indexed = copies_.find(original);
      PyObject* copied = indexed == copies_.end() ? order_[i].second : indexed->second;
      PyObject* id = PyLong_FromVoidPtr(original);
      rc = id ? PyDict_SetItem(memo_, id, copied) : -1;
      Py_XDECREF(id);
    }
    Py_XDECREF(kept);
    copies_.clear();
    order_.clear();
    kept_.clear();
    return rc;
  }

  PyObject* copy_foreign(PyObject* x) {
    if (!memo_ && switch_to_dict() < 0) return nullptr;
    try {
      nb::object& deepcopy = cached("copy", "deepcopy");
      PyObject* args[] = {x, memo_};
      return PyObject_Vectorcall(deepcopy.ptr(), args, 2, nullptr);
    } catch (nb::python_error& e) {
      e.restore();
      return nullptr;
    }
  }

  PyObject* copy_list(PyObject* x, bool sole) {
    // Leaf lists (the common case in netlists) copy in one step. Only while
    // the memo is native: a foreign object must never see a half-built copy,
    // and a Python memo may hold entries for any object.
    if (!memo_ && all_atomic(&PyList_GET_ITEM(x, 0), PyList_GET_SIZE(x))) {
      PyObject* y = PyList_GetSlice(x, 0, PyList_GET_SIZE(x));
      if (y && store(x, y, sole) < 0) Py_CLEAR(y);
      return y;
    }
    PyObject* y = PyList_New(0);
    if (!y) return nullptr;
    if (store(x, y, sole) < 0 || enter_recursive_call(kWhere)) {
      Py_DECREF(y);
      return nullptr;
    }
    // The size is read on every step: foreign copies may change the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(x); ++i) {
      PyObject* item = PyList_GET_ITEM(x, i);
      const bool sole_item = Py_REFCNT(item) == 1;
      Py_INCREF(item);
      PyObject* c = copy(item, sole_item);
      Py_DECREF(item);
      if (!c || PyList_Append(y, c) < 0) {
        Py_XDECREF(c);
        Py_DECREF(y);
        Py_LeaveRecursiveCall();
        return nullptr;
      }
      Py_DECREF(c);
    }
    Py_LeaveRecursiveCall();
    return y;
  }

  PyObject* copy_dict(PyObject* x, bool sole) {
    if (!memo_ && dict_all_atomic(x)) {
      PyObject* y = PyDict_Copy(x);
      if (y && store(x, y, sole) < 0) Py_CLEAR(y);
      return y;
    }
    // Sized for all entries at once: a large mapping is not grown (and
    // rehashed) step by step.
    PyObject* y = _PyDict_NewPresized(PyDict_GET_SIZE(x));
    if (!y) return nullptr;
    if (store(x, y, sole) < 0 || enter_recursive_call(kWhere)) {
      Py_DECREF(y);
      return nullptr;
    }
    const Py_ssize_t size = PyDict_GET_SIZE(x);
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    bool ok = true;
    while (ok && PyDict_Next(x, &pos, &key, &value)) {
      const bool sole_key = Py_REFCNT(key) == 1;
      const bool sole_value = Py_REFCNT(value) == 1;
      Py_INCREF(key);
      Py_INCREF(value);
      PyObject* ckey = copy(key, sole_key);
      PyObject* cvalue = ckey ? copy(value, sole_value) : nullptr;
      ok = cvalue && PyDict_SetItem(y, ckey, cvalue) == 0;
      Py_DECREF(key);
      Py_DECREF(value);
      Py_XDECREF(ckey);
      Py_XDECREF(cvalue);
      if (ok && PyDict_GET_SIZE(x) != size) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        ok = false;
      }
    }
    Py_LeaveRecursiveCall();
    if (!ok) {
      Py_DECREF(y);
      return nullptr;
    }
    return y;
  }

  PyObject* copy_tuple(PyObject* x) {
    const Py_ssize_t n = PyTuple_GET_SIZE(x);
    if (!memo_ && all_atomic(&PyTuple_GET_ITEM(x, 0), n)) return Py_NewRef(x);
    PyObject* y = PyTuple_New(n);
    if (!y) return nullptr;
    if (enter_recursive_call(kWhere)) {
      Py_DECREF(y);
      return nullptr;
    }
    bool changed = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PyTuple_GET_ITEM(x, i);
      // Never `sole`: a tuple is memoised only after its items, so a cycle
      // through one of them enters the tuple, and that slot, again.
      PyObject* c = copy(item);
      if (!c) {
        Py_DECREF(y);
        Py_LeaveRecursiveCall();
        return nullptr;
      }
      changed = changed || c != item;
      PyTuple_SET_ITEM(y, i, c);
    }
    Py_LeaveRecursiveCall();
    // A tuple reached again through its own items has been copied already.
    PyObject* hit = nullptr;
    if (memo_get(x, &hit) < 0) {
      Py_DECREF(y);
      return nullptr;
    }
    if (hit || !changed) {
      Py_DECREF(y);
      return hit ? hit : Py_NewRef(x);
    }
    return y;
  }

  PyObject* memo_ = nullptr;     // the Python memo once in use
  PyObject* memo_id_ = nullptr;  // id(memo_)
  // Native memo: original -> copy for objects the walk may meet again (both
  // kept alive by the trees); every memo entry (original, copy) in insertion
  // order; the keep-alive list and the position of its memo entry.
  std::unordered_map<PyObject*, PyObject*, AddressHash> copies_;
  std::vector<std::pair<PyObject*, PyObject*>> order_;
  std::vector<PyObject*> kept_;
  Py_ssize_t keep_alive_at_ = -1;
};

}  // namespace

nb::object deep_copy(nb::handle obj) {
  CollectorPause pause;
  DeepCopier copier(nullptr);
  PyObject* result = copier.copy(obj.ptr());
  if (!result) throw nb::python_error();
  return nb::steal(result);
}

nb::object deep_copy(nb::handle obj, nb::dict memo) {
  if (!PyDict_CheckExact(memo.ptr())) return cached("copy", "deepcopy")(obj, memo);
  CollectorPause pause;
  DeepCopier copier(memo.ptr());
  PyObject* result = copier.copy(obj.ptr());
  if (!result) throw nb::python_error();
  return nb::steal(result);
}

}  // namespace lumencad

namespace lumencad {

nb::object module_deepcopy(nb::handle module, nb::handle obj) {
  nb::object deepcopy = module_global(module, "deepcopy");
  if (deepcopy.is(cached("copy", "deepcopy"))) return deep_copy(obj);
  return deepcopy(obj);
}

}  // namespace lumencad
