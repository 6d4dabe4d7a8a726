// The viewer page rewrite: theme, style block, polling script, shadows.
#include "viewer_page.hpp"

#include "lumencad/checks.hpp"
#include "lumencad/pyobject.hpp"

namespace lumencad::patch_service {

namespace {

constexpr const char* kStyleBlock =
    "<style>\n"
    "  [data-bs-theme=light] {\n"
    "    --bs-body-bg: #f5f5f5;\n"
    "  }\n"
    "  [data-bs-theme=dark] {\n"
    "    --bs-body-bg: #121317;\n"
    "  }\n"
    "</style>\n"
    "</head>";

// "%path%" stands for the watched file as a script string; the request
// encodes it as a URL component.
constexpr const char* kPollingScript =
    "<script>\n"
    "  function checkChanged() {\n"
    "    const request = new XMLHttpRequest();\n"
    "    request.onload = function () {\n"
    "      if (JSON.parse(request.responseText).changed) {\n"
    "        if (socket.readyState > 1) {\n"
    "          window.location.reload();\n"
    "        } else {\n"
    "          document.getElementById(\"reload\").click();\n"
    "        }\n"
    "      }\n"
    "    };\n"
    "    request.open(\"GET\", \"/changed?path=\" + encodeURIComponent(\"%path%\"));\n"
    "    request.send();\n"
    "    setTimeout(checkChanged, 1000);\n"
    "  }\n"
    "  window.onload = checkChanged;\n"
    "  window.addEventListener(\"message\", function (event) {\n"
    "    const message = JSON.parse(event.data);\n"
    "    if (message.reload) {\n"
    "      document.getElementById(\"reload\").click();\n"
    "      return;\n"
    "    }\n"
    "    const category = message.category;\n"
    "    const cell = message.cell;\n"
    "    const itemIdxs = message.itemIdxs;\n"
    "    document.getElementById(\"rdb-tab\").click();\n"
    "    console.log(\"IFRAME: \", message);\n"
    "    document.getElementById(\"rdb-tab\").click();\n"
    "    const categorySelect = document.getElementById(\"rdbCategoryOptions\");\n"
    "    const cellSelect = document.getElementById(\"rdbCellOptions\");\n"
    "    const categoryOptions = {};\n"
    "    for (const option of categorySelect.children) {\n"
    "      categoryOptions[option.innerHTML] = option.value;\n"
    "    }\n"
    "    const cellOptions = {};\n"
    "    for (const option of cellSelect.children) {\n"
    "      cellOptions[option.innerHTML] = option.value;\n"
    "    }\n"
    "    console.log(categoryOptions);\n"
    "    console.log(cellOptions);\n"
    "    const cellIndex = cellOptions[cell];\n"
    "    const categoryIndex = categoryOptions[category];\n"
    "    console.log(\"cellIndex: \" + cellIndex);\n"
    "    console.log(\"categoryIndex: \" + categoryIndex);\n"
    "    categorySelect.value = categoryIndex;\n"
    "    cellSelect.value = cellIndex;\n"
    "    const change = new Event(\"change\");\n"
    "    categorySelect.dispatchEvent(change);\n"
    "    cellSelect.dispatchEvent(change);\n"
    "    setTimeout(function () {\n"
    "      const items = document.getElementById(\"rdbItems\");\n"
    "      for (const index of itemIdxs) {\n"
    "        const option = items.options[index];\n"
    "        if (option) {\n"
    "          option.selected = true;\n"
    "        }\n"
    "        requestItemDrawings();\n"
    "      }\n"
    "    }, 200);\n"
    "  });\n"
    "</script>\n"
    "</body>";

void append_ascii(std::u32string& out, const char* text) {
  while (*text) out.push_back(static_cast<char32_t>(*text++));
}

void append_u_escape(std::u32string& out, char32_t c) {
  static const char digits[] = "0123456789ABCDEF";
  append_ascii(out, "\\u");
  for (int shift = 12; shift >= 0; shift -= 4) out.push_back(digits[(c >> shift) & 0xF]);
}

std::u32string to_u32(nb::handle text) {
  PyObject* s = text.ptr();
  Py_ssize_t length = PyUnicode_GET_LENGTH(s);
  int kind = PyUnicode_KIND(s);
  const void* data = PyUnicode_DATA(s);
  std::u32string out(static_cast<std::size_t>(length), U'\0');
  for (Py_ssize_t i = 0; i < length; ++i)
    out[static_cast<std::size_t>(i)] = PyUnicode_READ(kind, data, i);
  return out;
}

nb::object from_u32(const std::u32string& text) {
  return checked(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(),
                                           static_cast<Py_ssize_t>(text.size())));
}

nb::object replace(nb::handle text, const char* old, nb::handle replacement) {
  return text.attr("replace")(old, replacement);
}

}  // namespace

std::u32string script_string_body(const std::u32string& text) {
  std::u32string out;
  out.reserve(text.size() + text.size() / 8);
  for (char32_t c : text) {
    switch (c) {
      case U'\\':
        append_ascii(out, "\\\\");
        break;
      case U'"':
        append_ascii(out, "\\\"");
        break;
      case U'\'':
        append_ascii(out, "\\'");
        break;
      case U'\n':
        append_ascii(out, "\\n");
        break;
      case U'\r':
        append_ascii(out, "\\r");
        break;
      case U'\t':
        out.push_back(c);
        break;
      case U'<':
      case U'>':
      case U'&':
      case U'\u2028':
      case U'\u2029':
        append_u_escape(out, c);
        break;
      default:
        if (c < 0x20 || (c >= 0xD800 && c <= 0xDFFF))
          append_u_escape(out, c);
        else
          out.push_back(c);
    }
  }
  return out;
}

nb::object modify_body(nb::handle, const nb::handle* args) {
  nb::handle body = args[0], theme = args[1], file = args[2];
  if (!PyUnicode_Check(file.ptr())) raise_arg_type("file", "str", file);
  nb::object page = nb::borrow(body);
  int light = PyObject_RichCompareBool(theme.ptr(), nb::str("light").ptr(), Py_EQ);
  if (light < 0) throw nb::python_error();
  if (light) page = replace(page, "data-bs-theme=\"dark\"", nb::str("data-bs-theme=\"light\""));
  page = replace(page, "</head>", nb::str(kStyleBlock));
  // Shadows go before the script comes in: a watched path holding " shadow "
  // must reach the server as it is.
  page = replace(page, " shadow ", nb::str(" shadow-none "));
  nb::object script =
      nb::str(kPollingScript).attr("replace")("%path%", from_u32(script_string_body(to_u32(file))));
  return replace(page, "</body>", script);
}

}  // namespace lumencad::patch_service
