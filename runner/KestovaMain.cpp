// The entry of Kestova.exe, a GUI-subsystem program: no console ever appears.
#include "base/Platform.h"
#include "runner/Startup.h"

// The runtime gives the command line after the program's name, and the show command from
// the start-up information (SW_SHOWDEFAULT when it carries none).
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandTail, int showCommand)
{
    return RunStartup(instance, commandTail ? commandTail : L"", showCommand);
}
