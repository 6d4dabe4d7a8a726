// Natural sort order with natsort's default key, made once.
#include "lumencad/natural_sort.hpp"

#include "lumencad/handles.hpp"
#include "lumencad/pyobject.hpp"

namespace lumencad {

nb::object module_natsorted(nb::handle module, nb::handle names) {
  nb::object natsorted = module_global(module, "natsorted");
  if (!natsorted.is(cached("natsort", "natsorted"))) return natsorted(names);
  // natsorted(seq) is sorted(seq, key=natsort_keygen()); the default key
  // depends on no setting (no locale), so one serves every call. Never
  // released: it must outlive the interpreter's shutdown.
  static const nb::handle key = cached("natsort", "natsort_keygen")().release();
  nb::object sorted = checked(PySequence_List(names.ptr()));
  sorted.attr("sort")(nb::arg("key") = key);
  return sorted;
}

}  // namespace lumencad
