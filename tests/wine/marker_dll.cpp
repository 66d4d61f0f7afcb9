// A stand-in for a system DLL, put beside a copy of the program under that
// DLL's name. It exports nothing the program needs (as user32.dll it is a
// user32 without MessageBoxA) and, once loaded, leaves the file
// "<its own path>.loaded" beside itself: proof that a planted file's code
// ran inside the program.
#include <windows.h>

extern "C" __declspec(dllexport) int NotMessageBoxA()
{
    return 0;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void * /*reserved*/)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    static const char suffix[] = ".loaded";
    char path[MAX_PATH + sizeof suffix];
    DWORD length = GetModuleFileNameA(instance, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return TRUE;
    for (DWORD i = 0; i < sizeof suffix; ++i)
        path[length + i] = suffix[i];
    HANDLE marker = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker != INVALID_HANDLE_VALUE)
        CloseHandle(marker);
    return TRUE;
}
