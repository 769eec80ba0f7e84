// Placeholder copy tool: copies nothing, prints one line and the completion line.
#include "base/Platform.h"

#include <cstring>
#include <ctime>

static void Print(HANDLE out, const char* text)
{
    DWORD written = 0;
    WriteFile(out, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

int main()
{
    // Straight to the handle: the C runtime's text mode would turn CR LF into CR CR LF.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    Print(out, "Kestova copy tool placeholder: nothing copied\r\n");
    std::time_t now = std::time(nullptr);
    // ctime's layout: 24 characters (the day blank-padded) and a line feed, left out.
    char ended[25] = {};
    const char* text = std::ctime(&now);
    if (text) std::memcpy(ended, text, 24);
    Print(out, "   Ended : ");
    Print(out, ended);
    Print(out, "\r\n");
    return 0;
}
