// A user32.dll without MessageBoxA, put beside a copy of the program to see
// that a report it cannot show is skipped without a crash.
extern "C" __declspec(dllexport) int NotMessageBoxA()
{
    return 0;
}
