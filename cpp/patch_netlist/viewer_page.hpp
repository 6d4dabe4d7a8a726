// The viewer page as the server sends it: theme, background colours, the
// change-polling script, no shadows.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace lumencad::patch_service {

namespace nb = nanobind;

// The text of a JavaScript string literal's body (between double quotes,
// inside an HTML script element) that stands for `text`: backslashes and
// both quotes escaped, line breaks (U+000A, U+000D, U+2028, U+2029) and the
// other C0 controls except tab, and lone surrogates, written as escapes, and
// "<", ">" and "&" as \u escapes so that no "</script>" or character
// reference can form. Every other character is kept, so an ordinary path
// reads as it is, each backslash doubled.
std::u32string script_string_body(const std::u32string& text);

// modify_body(body, theme, file).
nb::object modify_body(nb::handle module, const nb::handle* args);

}  // namespace lumencad::patch_service
