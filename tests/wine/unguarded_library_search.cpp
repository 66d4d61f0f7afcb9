// The program as it would be without a limited library search: the
// planted-DLL tests run it beside the same planted files, to show that they
// catch a program that loads them.
#include "library_search.h"

void limit_library_search() {}

HMODULE load_system_library(const char *name)
{
    return LoadLibraryA(name);
}
