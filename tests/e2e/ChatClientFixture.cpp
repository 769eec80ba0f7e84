#include "tests/e2e/ChatClientFixture.h"

#include "base/ScopedWin.h"
#include "tests/support/Scratch.h"

static const wchar_t TYPE_ENTRY_KEY[] = L"SOFTWARE\\Tencent\\PlatForm_Type_List\\10";
static const wchar_t SHELL_FOLDERS_KEY[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

ChatClientRegistry::~ChatClientRegistry()
{
    for (auto saved = saved_.rbegin(); saved != saved_.rend(); ++saved) {
        UniqueRegKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, saved->key.c_str(), 0, KEY_SET_VALUE | KEY_WOW64_32KEY,
                          key.put()) != ERROR_SUCCESS)
            continue;
        if (saved->existed)
            RegSetValueExW(key.get(), saved->name.c_str(), 0, saved->type, saved->data.data(),
                           static_cast<DWORD>(saved->data.size()));
        else
            RegDeleteValueW(key.get(), saved->name.c_str());
    }
    for (auto created = created_.rbegin(); created != created_.rend(); ++created)
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, created->c_str(), KEY_WOW64_32KEY, 0);
}

bool ChatClientRegistry::Set(const std::wstring& keyPath, const std::wstring& name,
                             const std::wstring& text)
{
    // One level at a time, so that each level this creates is removed again.
    UniqueRegKey key;
    for (size_t end = 0; end != std::wstring::npos;) {
        end = keyPath.find(L'\\', end + 1);
        std::wstring level = keyPath.substr(0, end);
        DWORD disposition = 0;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, level.c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, key.put(),
                            &disposition) != ERROR_SUCCESS)
            return false;
        if (disposition == REG_CREATED_NEW_KEY) created_.push_back(level);
    }
    bool remembered = false;
    for (const Saved& saved : saved_)
        if (saved.key == keyPath && saved.name == name) remembered = true;
    if (!remembered) {
        Saved saved{keyPath, name, false, REG_NONE, {}};
        DWORD bytes = 0;
        if (RegQueryValueExW(key.get(), name.c_str(), nullptr, &saved.type, nullptr, &bytes) ==
            ERROR_SUCCESS) {
            saved.data.resize(bytes);
            saved.existed = RegQueryValueExW(key.get(), name.c_str(), nullptr, &saved.type,
                                             saved.data.data(), &bytes) == ERROR_SUCCESS;
            saved.data.resize(bytes);
        }
        saved_.push_back(std::move(saved));
    }
    return RegSetValueExW(key.get(), name.c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool InstallChatClientEntries(ChatClientRegistry* registry, const std::wstring& scratchDir,
                              const std::wstring& dataDir)
{
    std::wstring docs = scratchDir + L"\\Docs";
    std::string ini = "[UserDataSet]\r\nUserDataSavePath=" + Narrow(dataDir) + "\r\n";
    return registry->Set(TYPE_ENTRY_KEY, L"TypeName", L"QQ2010") &&
           registry->Set(TYPE_ENTRY_KEY, L"TypePath", scratchDir + L"\\QQ\\Bin\\QQ.exe") &&
           registry->Set(SHELL_FOLDERS_KEY, L"Common Documents", docs) &&
           WriteBytes(docs + L"\\Tencent\\QQ\\UserDataInfo.ini", ini);
}

bool WriteSampleChatData(const std::wstring& dataDir)
{
    std::string database(200000, '\0');
    for (size_t i = 0; i < database.size(); ++i) database[i] = static_cast<char>(i * 7919 % 251);
    return WriteBytes(dataDir + L"\\12345\\Msg3.0.db", database) &&
           WriteBytes(dataDir + L"\\12345\\Image\\a b.jpg", "picture") &&
           WriteBytes(dataDir + L"\\12345\\聊天\\记录.txt", "\xE4\xBD\xA0\xE5\xA5\xBD") &&
           WriteBytes(dataDir + L"\\All Users\\empty.txt", "") &&
           MakeDirs(dataDir + L"\\12345\\Audio");
}
