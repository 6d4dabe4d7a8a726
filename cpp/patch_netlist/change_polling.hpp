// Change polling for the viewer page: has the watched file changed since the
// last poll that any caller made?
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace lumencad::patch_service {

namespace nb = nanobind;

// Whether the relative path `name` (file-system bytes) stays inside the
// folder it is joined to when normalised lexically: false for an absolute
// name and for one whose ".." steps climb above its start ("a/../../x").
bool stays_inside(const std::string& name);

// A file's modification time cut to whole seconds, as int(os.path.getmtime)
// gives it (the float of seconds and nanoseconds, truncated toward zero);
// 0 when the file cannot be stat'ed (a NUL in the path included).
long long mtime_seconds(const std::string& path);

// changed(project_dir, file_name).
nb::object changed(nb::handle module, const nb::handle* args);

}  // namespace lumencad::patch_service
