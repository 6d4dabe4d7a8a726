// Holding the cyclic garbage collector off around work that allocates many
// containers at once.
#pragma once

#include <Python.h>

#include "lumencad/export.hpp"

namespace lumencad {

// Disables the collector for the life of the object and enables it again on
// the way out (return or exception) if it was enabled on the way in; nested
// pauses leave the decision to the outermost one. Every allocation of a
// container counts towards a collection, and a collection traverses the very
// trees being built: with large netlists the old-generation passes make the
// work quadratic. What becomes garbage meanwhile is collected as usual once
// the collector runs again.
class LUMENCAD_API CollectorPause {
 public:
  CollectorPause();
  ~CollectorPause();
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  bool was_enabled_;
};

}  // namespace lumencad
