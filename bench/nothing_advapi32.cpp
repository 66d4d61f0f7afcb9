// Baseline for the benchmark: the least a registry clean-up can cost, a
// process that loads the registry library and does nothing with it.
#include <windows.h>

extern "C" __attribute__((noreturn)) void bench_start()
{
    // Referenced so that it is imported, never called.
    if (GetCommandLineA() == nullptr)
        RegCloseKey(HKEY_LOCAL_MACHINE);
    ExitProcess(0);
}
