// Natural sort order: a text split into runs of digits and runs of other
// characters, as natsort splits it. Plain character scanning, no interpreter
// calls.
#pragma once

#include <cstddef>
#include <vector>

namespace lumencad::polyloom {

struct Run {
  bool digits;             // a run of ASCII digits (compared as a number)
  std::size_t begin, end;  // its characters, [begin, end) of the text
};

// The runs of an ASCII text: text runs and digit runs alternate, beginning
// with a text run (empty when the text begins with a digit); an empty text
// run at the end is left out, so "" has no runs and "a1" two.
std::vector<Run> natural_runs(const char* text, std::size_t size);

}  // namespace lumencad::polyloom
