// A scripted stand-in for the copy tool. Its command line is fixed by the mirror run, so
// it takes its script from files beside its own .exe:
//   tool-script.txt  "<exit code> [<piece bytes>] [hold]" or "crash [<piece bytes>]"
//   tool-output.bin  the bytes to print (missing: print nothing)
// With a piece size the output goes out in pieces of that many bytes, alternately to
// standard output and standard error. It records its command line (UTF-16) in
// tool-ran.txt, so a test can tell whether and how it was started. With "hold" it writes
// tool-held.txt once its output is out and then waits (a minute at most) instead of ending,
// so a test can cut the run off mid-way.
#include "base/Platform.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static std::wstring OwnDir()
{
    wchar_t path[4096];
    DWORD n = GetModuleFileNameW(nullptr, path, 4096);
    std::wstring text(path, n);
    return text.substr(0, text.find_last_of(L'\\'));
}

static std::string ReadAll(const std::wstring& path)
{
    std::string bytes;
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (!file) return bytes;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, got);
    fclose(file);
    return bytes;
}

static void WriteAll(HANDLE out, const char* data, size_t size)
{
    DWORD written = 0;
    WriteFile(out, data, static_cast<DWORD>(size), &written, nullptr);
}

// Ends the process with the exception's code and no debugger or error box, as the mirror
// run sees a crashed tool.
static LONG WINAPI EndWithExceptionCode(EXCEPTION_POINTERS* info)
{
    TerminateProcess(GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

int main()
{
    std::wstring dir = OwnDir();
    const wchar_t* commandLine = GetCommandLineW();
    if (FILE* ran = _wfopen((dir + L"\\tool-ran.txt").c_str(), L"wb")) {
        fwrite(commandLine, sizeof(wchar_t), wcslen(commandLine), ran);
        fclose(ran);
    }

    std::string script = ReadAll(dir + L"\\tool-script.txt");
    std::string output = ReadAll(dir + L"\\tool-output.bin");
    bool crash = script.rfind("crash", 0) == 0;
    char* rest = nullptr;
    unsigned long exitCode = crash ? 0 : std::strtoul(script.c_str(), &rest, 10);
    const char* pieceText = crash ? script.c_str() + 5 : rest;
    size_t piece = pieceText ? std::strtoul(pieceText, nullptr, 10) : 0;

    HANDLE streams[2] = {GetStdHandle(STD_OUTPUT_HANDLE), GetStdHandle(STD_ERROR_HANDLE)};
    if (piece == 0) {
        WriteAll(streams[0], output.data(), output.size());
    } else {
        for (size_t at = 0, n = 0; at < output.size(); at += piece, ++n)
            WriteAll(streams[n % 2], output.data() + at, std::min(piece, output.size() - at));
    }

    if (!crash && script.find("hold") != std::string::npos) {
        if (FILE* held = _wfopen((dir + L"\\tool-held.txt").c_str(), L"wb")) fclose(held);
        Sleep(60000);
    }

    if (crash) {
        SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
        SetUnhandledExceptionFilter(EndWithExceptionCode);
        *static_cast<volatile int*>(nullptr) = 1;
    }
    return static_cast<int>(exitCode);
}
