#include "companion/FileHolders.h"

RestartManagerCalls RealRestartManagerCalls()
{
    return RestartManagerCalls{RmStartSession, RmRegisterResources, RmGetList, RmEndSession};
}

RestartManagerCalls restartManagerCalls = RealRestartManagerCalls();

wchar_t* NameFileHolders(const wchar_t*, wchar_t* names, size_t capacity)
{
    if (names && capacity) names[0] = L'\0';
    return names;
}
