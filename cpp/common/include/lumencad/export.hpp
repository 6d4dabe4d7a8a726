// LUMENCAD_API marks what the shared common layer exports to the modules; all
// else in it stays private to the library.
#pragma once

#define LUMENCAD_API __attribute__((visibility("default")))
