#include "tests/support/UnixSide.h"

#include "base/ScopedWin.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/OwnedProcess.h"
#include "tests/support/Scratch.h"
#include "tests/support/Wait.h"

#include <cstring>

namespace {

// Wine's own exports for the mapping between its drives and Unix paths; null elsewhere.
template <typename Function>
Function WineExport(const char* name)
{
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

} // namespace

std::wstring UnixPath(const std::wstring& path)
{
    auto toUnix = WineExport<char*(CDECL*)(const wchar_t*)>("wine_get_unix_file_name");
    if (!toUnix) return L"";
    char* unixPath = toUnix(path.c_str());
    if (!unixPath) return L"";
    // Wine gives the Unix path in the Unix locale's encoding, UTF-8 here; it takes a
    // command line's wide text back into the same encoding.
    int length = static_cast<int>(strlen(unixPath));
    std::wstring wide(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, unixPath, length, nullptr, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, unixPath, length, wide.data(), static_cast<int>(wide.size()));
    HeapFree(GetProcessHeap(), 0, unixPath);
    return wide;
}

bool RunUnix(const std::wstring& program, const std::vector<std::wstring>& args)
{
    auto toDos = WineExport<wchar_t*(CDECL*)(const char*)>("wine_get_dos_file_name");
    if (!toDos) return false;
    std::string narrow(program.begin(), program.end()); // the Unix programs used have ASCII paths
    wchar_t* dosProgram = toDos(narrow.c_str());
    if (!dosProgram) return false;
    std::wstring application = dosProgram;
    HeapFree(GetProcessHeap(), 0, dosProgram);
    std::wstring line = QuoteArgument(program);
    for (const auto& a : args) line += L" " + QuoteArgument(a);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info))
        return false;
    UniqueProcess started(info);
    if (started) WaitForSingleObject(started.process(), 10000);
    return true;
}

bool RunUnixShell(const std::wstring& command, const std::wstring& statusFile)
{
    std::wstring statusUnix = UnixPath(statusFile);
    if (statusUnix.empty()) return false;
    std::wstring script = command + L" >/dev/null 2>&1; echo $? > '" + statusUnix + L"'";
    if (!RunUnix(L"/bin/sh", {L"-c", script})) return false;
    std::string written;
    bool done = PumpUntil([&] { return ReadBytes(statusFile, &written) && written.find('\n') != std::string::npos; },
                          PROCESS_DEADLINE_MS);
    DeleteFileW(statusFile.c_str());
    return done && written == "0\n";
}
