#include "natural.hpp"

namespace lumencad::polyloom {

std::vector<Run> natural_runs(const char* text, std::size_t size) {
  auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  std::vector<Run> runs;
  std::size_t p = 0;
  while (true) {
    std::size_t start = p;
    while (p != size && !is_digit(text[p])) ++p;
    if (p == size) {
      if (p != start) runs.push_back({false, start, p});
      return runs;
    }
    runs.push_back({false, start, p});
    start = p;
    while (p != size && is_digit(text[p])) ++p;
    runs.push_back({true, start, p});
  }
}

}  // namespace lumencad::polyloom
