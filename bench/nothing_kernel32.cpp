// Baseline for the benchmark: a process that loads nothing beyond kernel32.
#include <windows.h>

extern "C" __attribute__((noreturn)) void bench_start()
{
    ExitProcess(0);
}
