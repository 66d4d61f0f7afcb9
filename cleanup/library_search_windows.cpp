#include "library_search.h"

void limit_library_search()
{
    // Looked up, not imported: Windows before 8 has these only with an
    // update (SetDefaultDllDirectories) or not at all, and a missing import
    // would stop the program from starting there.
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    using SetDefaultDllDirectoriesProc = BOOL(WINAPI *)(DWORD);
    auto set_default_dll_directories = reinterpret_cast<SetDefaultDllDirectoriesProc>(
        reinterpret_cast<void *>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
    if (set_default_dll_directories != nullptr && set_default_dll_directories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return;
    // The best an older system offers: the current folder leaves the search
    // order, the program's own folder stays in it. The report loads what it
    // needs by full path for that reason.
    using SetDllDirectoryProc = BOOL(WINAPI *)(LPCSTR);
    auto set_dll_directory = reinterpret_cast<SetDllDirectoryProc>(
        reinterpret_cast<void *>(GetProcAddress(kernel32, "SetDllDirectoryA")));
    if (set_dll_directory != nullptr)
        set_dll_directory("");
}

HMODULE load_system_library(const char *name)
{
    char path[MAX_PATH];
    // On success the length without the terminator; when the buffer is too
    // small, the size it would need.
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return nullptr;
    path[length++] = '\\';
    for (int i = 0;; ++i) {
        if (length >= MAX_PATH)
            return nullptr;
        path[length++] = name[i];
        if (name[i] == '\0')
            break;
    }
    return LoadLibraryA(path);
}
