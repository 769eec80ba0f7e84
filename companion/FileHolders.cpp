#include "companion/FileHolders.h"

#include "base/FileTree.h"
#include "companion/CompanionTexts.h"

#include <cwchar>
#include <string>
#include <vector>

namespace {

// The list asked for until it fits: it can grow between one call and the next.
constexpr int LIST_ATTEMPTS = 3;

// The programs that hold any of files, as the Restart Manager lists them; empty when the
// session cannot be had or a call fails.
std::vector<RM_PROCESS_INFO> ListHolders(const std::vector<std::wstring>& files)
{
    std::vector<RM_PROCESS_INFO> found;
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = L"";
    if (restartManagerCalls.startSession(&session, 0, key) != ERROR_SUCCESS) return found;
    std::vector<LPCWSTR> names;
    names.reserve(files.size());
    for (const std::wstring& file : files) names.push_back(file.c_str());
    DWORD result = restartManagerCalls.registerResources(session, static_cast<UINT>(names.size()), names.data(), 0,
                                                         nullptr, 0, nullptr);
    for (int attempt = 0; result == ERROR_SUCCESS && attempt < LIST_ATTEMPTS; ++attempt) {
        UINT needed = 0;
        UINT count = static_cast<UINT>(found.size());
        DWORD reasons = 0;
        result = restartManagerCalls.getList(session, &needed, &count, found.data(), &reasons);
        if (result == ERROR_MORE_DATA) {
            found.resize(needed);
            result = ERROR_SUCCESS;
            continue;
        }
        if (result == ERROR_SUCCESS) found.resize(count);
        break;
    }
    restartManagerCalls.endSession(session);
    if (result != ERROR_SUCCESS) found.clear();
    return found;
}

} // namespace

RestartManagerCalls RealRestartManagerCalls()
{
    return RestartManagerCalls{RmStartSession, RmRegisterResources, RmGetList, RmEndSession};
}

RestartManagerCalls restartManagerCalls = RealRestartManagerCalls();

wchar_t* NameFileHolders(const wchar_t* folder, wchar_t* names, size_t capacity)
{
    if (!names || capacity == 0) return names;
    names[0] = L'\0';
    if (!folder || !folder[0]) return names;
    // The Restart Manager knows files, not folders: every file under the folder is asked
    // about, as any one of them can be the one held.
    std::vector<std::wstring> files;
    ForEachFile(folder, [&](const std::wstring& path, const WIN32_FIND_DATAW&) { files.push_back(path); });
    if (files.empty()) return names;

    std::wstring text;
    for (const RM_PROCESS_INFO& program : ListHolders(files)) {
        wchar_t one[CCH_RM_MAX_APP_NAME + 32];
        swprintf(one, sizeof one / sizeof one[0], TEXT_FILE_HOLDER_FORMAT, program.strAppName,
                 static_cast<unsigned long>(program.Process.dwProcessId));
        std::wstring next = text.empty() ? std::wstring(one) : text + TEXT_FILE_HOLDER_SEPARATOR + one;
        // Whole names only: a name cut short could name another program.
        if (next.size() + 1 > capacity) break;
        text = next;
    }
    wmemcpy(names, text.c_str(), text.size() + 1);
    return names;
}
