// Where the process may load libraries from. The program runs with
// administrator rights from folders that others can write to (downloads, USB
// sticks, shares), so a file planted there under a system library's name
// must never be loaded.
#pragma once

#include <windows.h>

// Limits the library search of the whole process to the system folder.
// Called first in the start-up, before anything can load a library.
void limit_library_search();

// Loads a library from the system folder by its full path, so that no other
// copy can be found whatever the search order; null when it cannot.
HMODULE load_system_library(const char *name);
