// The child-process helper every black-box test reads its programs' output through, and
// the test environment it relies on.
#include "base/ScopedWin.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Scratch.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string Pattern(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

// Writes the pattern of args[0] bytes to standard output.
KESTOVA_CHILD(print_bytes)
{
    std::string bytes = Pattern(std::stoul(args.at(0)));
    DWORD written = 0;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    for (size_t at = 0; at < bytes.size(); at += written)
        if (!WriteFile(out, bytes.data() + at, static_cast<DWORD>(bytes.size() - at), &written, nullptr)) return 1;
    return 0;
}

KESTOVA_CHILD(sleep_long)
{
    Sleep(120000);
    return 0;
}

// Leaves behind a process of its own that holds the output pipe open, prints its id and
// ends.
KESTOVA_CHILD(leave_writer)
{
    std::wstring line = QuoteArgument(CurrentExePath()) + L" --kestova-child=sleep_long";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) return 1;
    UniqueHandle process(pi.hProcess), thread(pi.hThread);
    printf("writer=%lu\n", pi.dwProcessId);
    return 0;
}

// Makes a window on the desktop named args[0] and keeps it, so the desktop stays in use.
KESTOVA_CHILD(hold_desktop)
{
    HWND window = CreateWindowExW(0, L"STATIC", L"desktop user", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    if (!window) return 1;
    Sleep(120000);
    return 0;
}

// Makes a window on a new desktop named args[0], which starts a desktop process for it
// (as the first window after the last desktop process ended does), and leaves behind a
// program that keeps the desktop in use and with it that process. The program left behind
// gets none of this child's handles; it prints its id.
KESTOVA_CHILD(start_desktop)
{
    std::wstring name = args.at(0);
    HDESK desktop = CreateDesktopW(name.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    if (!desktop || !SetThreadDesktop(desktop)) return 1;
    HWND window = CreateWindowExW(0, L"STATIC", L"child window", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    if (!window) return 2;
    std::wstring line = QuoteArgument(CurrentExePath()) + L" --kestova-child=hold_desktop " + name;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    UniqueHandle nul(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                 OPEN_EXISTING, 0, nullptr));
    for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
        SetHandleInformation(GetStdHandle(which), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.lpDesktop = name.data();
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = si.hStdOutput = si.hStdError = nul.get();
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr, nullptr, &si, &pi))
        return 3;
    UniqueHandle process(pi.hProcess), thread(pi.hThread);
    // The desktop has its second user before the first one leaves.
    WaitForInputIdle(process.get(), 10000);
    printf("holder=%lu\n", pi.dwProcessId);
    return 0;
}

void EndProcess(DWORD id)
{
    UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
    ASSERT_TRUE(process) << "process " << id;
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), 10000);
}

TEST(RunChild, CollectsTheWholeOutput)
{
    // Nothing, a few bytes left in the pipe at exit, and far more than the pipe holds.
    for (size_t size : {size_t{0}, size_t{5}, size_t{1} << 20}) {
        SCOPED_TRACE(size);
        ChildResult r = RunChild(CurrentExePath(), L"print_bytes", {std::to_wstring(size)});
        EXPECT_TRUE(r.started);
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.exitCode, 0u);
        EXPECT_TRUE(r.output == Pattern(size)) << "got " << r.output.size() << " bytes";
    }
}

TEST(RunChild, EndsWithTheChildEvenWhileAnotherProcessHoldsThePipe)
{
    ULONGLONG started = GetTickCount64();
    ChildResult r = RunChild(CurrentExePath(), L"leave_writer", {}, 30000);
    ULONGLONG took = GetTickCount64() - started;
    unsigned long writer = 0;
    ASSERT_EQ(sscanf(r.output.c_str(), "writer=%lu", &writer), 1) << r.output;
    EndProcess(writer);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_LT(took, 10000u);
}

TEST(RunChild, KillsAChildAtItsLimit)
{
    ULONGLONG started = GetTickCount64();
    ChildResult r = RunChild(CurrentExePath(), L"sleep_long", {}, 1000);
    EXPECT_TRUE(r.started);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.exitCode, 255u);
    EXPECT_LT(GetTickCount64() - started, 20000u);
}

// Programs run as on a Chinese system, where the chat client and the copy tool write
// their files in GBK.
TEST(TestEnvironment, AnsiCodePageIsGbk)
{
    EXPECT_EQ(GetACP(), CODE_PAGE_GBK) << "run the tests under scripts/wine-env.sh (LANG=zh_CN.UTF-8)";
}

// The platform's desktop process ends by itself after idle time, and the next program to
// make a window starts it again, handing it that program's standard handles. A child that
// starts one that outlives it must still come back within its limit, with its output.
TEST(TestEnvironment, ChildThatStartsADesktopProcessReturns)
{
    wchar_t name[64];
    swprintf(name, 64, L"kestova-test-%lu", GetCurrentProcessId());
    ULONGLONG started = GetTickCount64();
    ChildResult r = RunChild(CurrentExePath(), L"start_desktop", {name}, 30000);
    ULONGLONG took = GetTickCount64() - started;
    unsigned long holder = 0;
    ASSERT_EQ(sscanf(r.output.c_str(), "holder=%lu", &holder), 1) << r.output;
    EndProcess(holder);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_LT(took, 10000u);
}

} // namespace
