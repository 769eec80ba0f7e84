// TEMPORARY: stands in for the chat client environment (client/) until its branch is
// merged; the build uses it only while no kestova_client library exists. Delete this file
// and its line in CMakeLists.txt once client/ is in.
//
// A short form of the locator (platform type list in the 32-bit registry view, newest
// entry named "QQ2010", its UserDataInfo.ini in the common documents folder, else the
// "Users" folder beside the client's folder) and of the process watch.
#include "base/PathText.h"
#include "base/ScopedWin.h"
#include "base/Settings.h"
#include "client/ChatLocator.h"
#include "client/ProcessWatch.h"

#include <tlhelp32.h>

#include <cwchar>

static bool ReadHklmString(const wchar_t* key, const wchar_t* value, wchar_t* buffer, size_t capacity)
{
    UniqueRegKey opened;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | KEY_WOW64_32KEY, opened.put()) != ERROR_SUCCESS)
        return false;
    DWORD bytes = static_cast<DWORD>((capacity - 1) * sizeof(wchar_t));
    if (RegQueryValueExW(opened.get(), value, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &bytes) != ERROR_SUCCESS)
        return false;
    buffer[bytes / sizeof(wchar_t)] = L'\0';
    return true;
}

bool LocateChatData(wchar_t* directory, size_t capacity)
{
    for (int n = 10; n >= 0; --n) {
        wchar_t key[128], name[TYPE_NAME_CAPACITY], path[PATH_CAPACITY];
        swprintf(key, 128, L"SOFTWARE\\Tencent\\PlatForm_Type_List\\%d", n);
        if (!ReadHklmString(key, L"TypeName", name, TYPE_NAME_CAPACITY)) continue;
        if (!ReadHklmString(key, L"TypePath", path, PATH_CAPACITY)) continue;
        if (wcscmp(name, L"QQ2010") != 0) continue;
        wchar_t documents[PATH_CAPACITY], ini[PATH_CAPACITY];
        if (ReadHklmString(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
                           L"Common Documents", documents, PATH_CAPACITY)) {
            StripTrailingSeparator(documents);
            swprintf(ini, PATH_CAPACITY, L"%ls\\Tencent\\QQ\\UserDataInfo.ini", documents);
            if (ReadSetting(ini, L"UserDataSet", L"UserDataSavePath", directory, capacity)) return true;
        }
        StripLastComponent(path);
        return JoinSibling(directory, capacity, path, L"Users") != nullptr;
    }
    return false;
}

int IsProcessRunning(const wchar_t* name)
{
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return -1;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    if (!Process32FirstW(snapshot.get(), &entry)) return -1;
    do {
        if (CompareStringOrdinal(entry.szExeFile, -1, name, -1, TRUE) == CSTR_EQUAL) return 1;
    } while (Process32NextW(snapshot.get(), &entry));
    return 0;
}
