#include "tests/companion/CompanionHarness.h"

#include "base/ProcessJob.h"
#include "base/ScopedWin.h"

#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <utility>
#include <vector>

namespace {

FakeRestartManager* fakeRestartManager = nullptr;

// The full path without the long-path prefix, in lower case.
std::wstring Comparable(std::wstring path)
{
    if (path.rfind(L"\\\\?\\", 0) == 0) path.erase(0, 4);
    CharLowerBuffW(path.data(), static_cast<DWORD>(path.size()));
    return path;
}

DWORD WINAPI FakeRmStartSession(DWORD* session, DWORD, WCHAR* key)
{
    *session = 7;
    if (key) key[0] = L'\0';
    ++fakeRestartManager->openSessions;
    return ERROR_SUCCESS;
}

DWORD WINAPI FakeRmRegisterResources(DWORD, UINT files, LPCWSTR names[], UINT, RM_UNIQUE_PROCESS[], UINT, LPCWSTR[])
{
    for (UINT i = 0; i < files; ++i) fakeRestartManager->registered.push_back(names[i]);
    return ERROR_SUCCESS;
}

// As the real call: ERROR_MORE_DATA with the room needed when the list does not fit.
DWORD WINAPI FakeRmGetList(DWORD, UINT* needed, UINT* count, RM_PROCESS_INFO found[], DWORD* reasons)
{
    std::vector<const FakeRestartManager::Program*> listed;
    for (const auto& program : fakeRestartManager->programs)
        for (const std::wstring& file : fakeRestartManager->registered)
            if (Comparable(file) == Comparable(program.file)) {
                listed.push_back(&program);
                break;
            }
    *needed = static_cast<UINT>(listed.size());
    if (reasons) *reasons = 0;
    if (*count < listed.size()) return ERROR_MORE_DATA;
    for (size_t i = 0; i < listed.size(); ++i) {
        found[i] = RM_PROCESS_INFO{};
        found[i].Process.dwProcessId = listed[i]->id;
        wcsncpy(found[i].strAppName, listed[i]->name.c_str(), CCH_RM_MAX_APP_NAME);
    }
    *count = static_cast<UINT>(listed.size());
    return ERROR_SUCCESS;
}

DWORD WINAPI FakeRmEndSession(DWORD)
{
    --fakeRestartManager->openSessions;
    return ERROR_SUCCESS;
}

// The platform starts its desktop process for the first window of a session, and that
// process inherits the standard handles of whoever made the window. Were that a child of
// ours, it would hold the child's output pipe open and RunCommand would never see its
// end. So this process makes the desktop first, and keeps a window on it for the run.
class DesktopFirst : public testing::Environment {
public:
    void SetUp() override
    {
        GetDesktopWindow();
        window_ = CreateWindowExW(0, L"STATIC", L"companion_test", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    }
    void TearDown() override
    {
        if (window_) DestroyWindow(window_);
    }

private:
    HWND window_ = nullptr;
};

[[maybe_unused]] testing::Environment* const desktopFirst = testing::AddGlobalTestEnvironment(new DesktopFirst);

} // namespace

CompanionFolder::CompanionFolder()
{
    app_ = scratch_ / L"App";
    data_ = scratch_ / L"QQ\\Users";
    MakeDirs(app_);
    EXPECT_TRUE(CopyFileW(BuiltProgramPath(L"Marrowby.exe").c_str(), marrowby().c_str(), FALSE));
    EXPECT_TRUE(CopyFileW(BuiltProgramPath(L"robocopy.exe").c_str(), (app_ + L"\\robocopy.exe").c_str(), FALSE));
    for (int n = 1; n <= 5; ++n) MakeDirs(slot(n));
    MakeDirs(scratch_ / L"QQ\\Bin");
    WriteBytes(data_ + L"\\12345\\Msg2.0.db", std::string("live messages \x01\x02", 16));
    WriteBytes(data_ + L"\\12345\\Image\\a.png", "live image");
    WriteBytes(data_ + L"\\All Users\\QQ\\Registry.db", "live registry");
}

std::wstring CompanionFolder::slot(int n) const { return scratch_ / (L"Backup_Data\\" + std::to_wstring(n)); }

void CompanionFolder::FillSlot(int n, const std::string& tag)
{
    WriteBytes(slot(n) + L"\\12345\\Msg2.0.db", "slot messages " + tag);
    WriteBytes(slot(n) + L"\\12345\\Image\\b.png", "slot image " + tag);
    MakeDirs(slot(n) + L"\\12345\\Empty");
}

std::wstring CompanionFolder::FindSibling(const std::wstring& label) const
{
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(FindFirstFileW((data_ + L"." + label + L"-*").c_str(), &entry));
    if (!find) return L"";
    return scratch_ / (L"QQ\\" + std::wstring(entry.cFileName));
}

int CompanionFolder::SiblingCount() const
{
    int count = 0;
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(FindFirstFileW((data_ + L".*").c_str(), &entry));
    if (!find) return 0;
    // The pattern "Users.*" also matches "Users" itself.
    do count += std::wstring(entry.cFileName) != L"Users";
    while (FindNextFileW(find.get(), &entry));
    return count;
}

ChatClientEntry::ChatClientEntry(const std::wstring& root)
{
    ok_ = InstallChatClientEntries(&registry_, root, root + L"\\QQ\\Users");
}

Background::Background(const std::wstring& commandLine, const std::wstring& dir)
{
    job_.reset(CreateKillOnCloseJob());
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                        dir.empty() ? nullptr : dir.c_str(), &startup, &info))
        return;
    UniqueProcess started(info);
    if (job_) AssignProcessToJobObject(job_.get(), started.process());
    ResumeThread(started.thread());
    process_.reset(started.releaseProcess());
    id_ = info.dwProcessId;
}

Background::~Background()
{
    if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_.get(), 1);
        WaitForSingleObject(process_.get(), 5000);
    }
}

long Background::Wait(DWORD timeoutMs)
{
    if (!process_ || WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    return static_cast<long>(code);
}

FakeRestartManager::FakeRestartManager(std::vector<Program> programs)
    : programs(std::move(programs)), calls_(&restartManagerCalls, [](RestartManagerCalls& calls) {
          calls = RestartManagerCalls{FakeRmStartSession, FakeRmRegisterResources, FakeRmGetList, FakeRmEndSession};
      })
{
    fakeRestartManager = this;
}

FakeRestartManager::~FakeRestartManager() { fakeRestartManager = nullptr; }
