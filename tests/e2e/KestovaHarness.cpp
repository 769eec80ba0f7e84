#include "tests/e2e/KestovaHarness.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/Wait.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>

namespace {

const wchar_t WINDOW_CLASS[] = L"Kestova_Brannet_Msgwnd_Class";
const wchar_t BOX_CLASS[] = L"#32770";

std::wstring TextOf(HWND window)
{
    wchar_t text[1024] = {};
    GetWindowTextW(window, text, ARRAYSIZE(text));
    return text;
}

// The message text of a box: its static control has the identifier 0xFFFF. The text is
// asked of the box's own thread, in another process: the ask is bounded, so a process
// that stops answering fails the test instead of holding it.
std::wstring BoxText(HWND box)
{
    wchar_t text[1024] = {};
    HWND control = GetDlgItem(box, 0xFFFF);
    DWORD_PTR copied = 0;
    if (control)
        SendMessageTimeoutW(control, WM_GETTEXT, ARRAYSIZE(text), reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                            5000, &copied);
    text[ARRAYSIZE(text) - 1] = L'\0';
    return text;
}

} // namespace

bool Process::WaitForBox(MessageBoxSeen* seen) const
{
    return PumpUntil([&] {
        if (HWND box = FindTopWindow(BOX_CLASS, id())) {
            // The box exists a moment before its controls have their texts.
            std::wstring text = BoxText(box);
            if (!text.empty()) {
                *seen = {box, TextOf(box), text};
                return true;
            }
        }
        return !Running();
    }, DEADLINE_MS) && seen->box != nullptr;
}

HWND Process::WaitForWindow() const
{
    HWND found = nullptr;
    HWND box = nullptr;
    PumpUntil([&] {
        if ((found = FindTopWindow(WINDOW_CLASS, id())) != nullptr) return true;
        // A box means start-up stopped short of the window.
        return (box = FindTopWindow(BOX_CLASS, id())) != nullptr || !Running();
    }, DEADLINE_MS);
    if (!found) {
        long long status = WaitExit(0);
        std::string instead = box           ? "it shows a box: " + Narrow(BoxText(box))
                              : status >= 0 ? "it ended with status " + std::to_string(status)
                                            : std::string("it still runs");
        printf("[   NOTE   ] Kestova.exe (process %lu) made no window: %s\n", static_cast<unsigned long>(id()),
               instead.c_str());
    }
    return found;
}

long long QuitByExitMessage(const Process& process, HWND window)
{
    UINT exitMessage = RegisterWindowMessageW(EXIT_MESSAGE);
    ULONGLONG end = GetTickCount64() + DEADLINE_MS;
    while (GetTickCount64() < end) {
        PostMessageW(window, exitMessage, 0, 0);
        long long status = process.WaitExit(1000);
        if (status != -1) return status;
    }
    return -1;
}

std::wstring ReadIni(const std::wstring& file, const wchar_t* section, const wchar_t* key)
{
    static int copies = 0;
    wchar_t value[256] = {};
    std::wstring copy = file + L"." + std::to_wstring(++copies) + L".ini";
    if (!CopyFileW(file.c_str(), copy.c_str(), FALSE)) return value;
    GetPrivateProfileStringW(section, key, L"", value, ARRAYSIZE(value), copy.c_str());
    DeleteFileW(copy.c_str());
    return value;
}

std::vector<DWORD> CopyToolsOf(DWORD parentId)
{
    std::vector<DWORD> tools;
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return tools;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry))
        if (entry.th32ParentProcessID == parentId && _wcsicmp(entry.szExeFile, L"robocopy.exe") == 0)
            tools.push_back(entry.th32ProcessID);
    return tools;
}

void KestovaExe::SetUp()
{
    app_ = scratch_ / L"App";
    ASSERT_TRUE(MakeDirs(app_));
    ASSERT_TRUE(CopyFileW(BuiltProgramPath(L"Kestova.exe").c_str(), (app_ + L"\\Kestova.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(BuiltProgramPath(L"robocopy.exe").c_str(), (app_ + L"\\robocopy.exe").c_str(), FALSE));
    std::wstring companion = CurrentExePath();
    companion = companion.substr(0, companion.find_last_of(L'\\')) + L"\\companion_stand_in.exe";
    ASSERT_TRUE(CopyFileW(companion.c_str(), (app_ + L"\\Marrowby.exe").c_str(), FALSE));
}

void KestovaExe::InstallChatClient()
{
    dataDir_ = scratch_ / L"张三\\Tencent Files";
    ASSERT_TRUE(InstallChatClientEntries(&registry_, scratch_.path(), dataDir_));
    ASSERT_TRUE(WriteSampleChatData(dataDir_));
}

Process KestovaExe::Start(const std::wstring& arguments)
{
    std::wstring line = QuoteArgument(app_ + L"\\Kestova.exe");
    if (!arguments.empty()) line += L" " + arguments;
    // Started from elsewhere: the program finds its files beside itself, not in the
    // current directory.
    return Process(StartInBackground(line, scratch_.path()));
}

std::string KestovaExe::CompanionStarts()
{
    std::string record;
    ReadBytes(app_ + L"\\companion-starts.txt", &record);
    return record;
}

bool KestovaExe::WaitForCompanionStarts(size_t lines)
{
    return PumpUntil([&] {
        std::string record = CompanionStarts();
        return static_cast<size_t>(std::count(record.begin(), record.end(), '\n')) >= lines;
    }, DEADLINE_MS);
}

void KestovaExe::HoldChatFilesOpen(std::vector<UniqueHandle>* locks)
{
    for (int n = 0; n < 5; ++n) {
        std::wstring path = dataDir_ + L"\\locked" + std::to_wstring(n) + L".db";
        ASSERT_TRUE(WriteBytes(path, "held open"));
        locks->emplace_back(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(locks->back());
    }
}
