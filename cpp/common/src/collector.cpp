// The collector pause shared by the deep copy and the annotation pipeline.
#include "lumencad/collector.hpp"

namespace lumencad {

CollectorPause::CollectorPause() : was_enabled_(PyGC_Disable() != 0) {}

CollectorPause::~CollectorPause() {
  if (was_enabled_) PyGC_Enable();
}

}  // namespace lumencad
