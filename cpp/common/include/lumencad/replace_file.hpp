// Replacing a file's content whole: readers (other threads, other processes)
// see the old content or the new one, never an empty or partial file.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "lumencad/export.hpp"

namespace lumencad {

namespace nb = nanobind;

// Writes `data` to a temporary sibling of `path` with a name no other writer
// uses at the same time (pid and a per-process counter), gives it the
// permission bits of the regular file it replaces (a new file gets 0666 less
// the umask) and renames it over `path`. Returns 0, or the errno of the step
// that failed, with the temporary removed; `path` then keeps its old content.
LUMENCAD_API int replace_file_bytes(const std::string& path, const std::string& data);

// replace_file_bytes for a Python path (str or path-like; an embedded NUL
// raises ValueError) and bytes; a failure raises the OSError of its errno
// naming `path`.
LUMENCAD_API void replace_file(nb::handle path, const std::string& data);

}  // namespace lumencad
