#include "tests/support/RegistryFixture.h"

RegistryChanges::~RegistryChanges()
{
    for (auto saved = saved_.rbegin(); saved != saved_.rend(); ++saved) {
        UniqueRegKey key;
        if (RegOpenKeyExW(saved->root, saved->key.c_str(), 0, KEY_SET_VALUE | saved->view,
                          key.put()) != ERROR_SUCCESS)
            continue;
        if (saved->existed)
            RegSetValueExW(key.get(), saved->name.c_str(), 0, saved->type, saved->data.data(),
                           static_cast<DWORD>(saved->data.size()));
        else
            RegDeleteValueW(key.get(), saved->name.c_str());
    }
    for (auto created = created_.rbegin(); created != created_.rend(); ++created)
        RegDeleteKeyExW(created->root, created->path.c_str(), created->view, 0);
}

bool RegistryChanges::SetBytes(HKEY root, const std::wstring& keyPath, const std::wstring& name,
                               DWORD type, const void* data, size_t bytes, REGSAM view)
{
    Remember(root, keyPath, name, view);
    UniqueRegKey key;
    if (!CreateKey(root, keyPath, view, &key)) return false;
    return RegSetValueExW(key.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data),
                          static_cast<DWORD>(bytes)) == ERROR_SUCCESS;
}

bool RegistryChanges::SetString(HKEY root, const std::wstring& keyPath, const std::wstring& name,
                                const std::wstring& text, DWORD type, REGSAM view)
{
    return SetBytes(root, keyPath, name, type, text.c_str(), (text.size() + 1) * sizeof(wchar_t),
                    view);
}

bool RegistryChanges::DeleteValue(HKEY root, const std::wstring& keyPath, const std::wstring& name,
                                  REGSAM view)
{
    Remember(root, keyPath, name, view);
    UniqueRegKey key;
    LONG status = RegOpenKeyExW(root, keyPath.c_str(), 0, KEY_SET_VALUE | view, key.put());
    if (status == ERROR_FILE_NOT_FOUND) return true;
    if (status != ERROR_SUCCESS) return false;
    status = RegDeleteValueW(key.get(), name.c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

// One level at a time, noting each level that did not exist before, so that the
// destructor removes exactly those.
bool RegistryChanges::CreateKey(HKEY root, const std::wstring& keyPath, REGSAM view,
                                UniqueRegKey* key)
{
    for (size_t end = 0; end != std::wstring::npos;) {
        end = keyPath.find(L'\\', end + 1);
        std::wstring level = keyPath.substr(0, end);
        DWORD disposition = 0;
        if (RegCreateKeyExW(root, level.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr,
                            key->put(), &disposition) != ERROR_SUCCESS)
            return false;
        if (disposition == REG_CREATED_NEW_KEY) created_.push_back({root, level, view});
    }
    return true;
}

// Only the first change to a value is remembered: that is the state to go back to.
void RegistryChanges::Remember(HKEY root, const std::wstring& keyPath, const std::wstring& name,
                               REGSAM view)
{
    for (const Saved& saved : saved_)
        if (saved.root == root && saved.key == keyPath && saved.name == name && saved.view == view)
            return;
    Saved saved{root, keyPath, name, view, false, REG_NONE, {}};
    UniqueRegKey key;
    if (RegOpenKeyExW(root, keyPath.c_str(), 0, KEY_QUERY_VALUE | view, key.put()) == ERROR_SUCCESS) {
        DWORD bytes = 0;
        if (RegQueryValueExW(key.get(), name.c_str(), nullptr, &saved.type, nullptr, &bytes) ==
            ERROR_SUCCESS) {
            saved.data.resize(bytes);
            saved.existed = RegQueryValueExW(key.get(), name.c_str(), nullptr, &saved.type,
                                             saved.data.data(), &bytes) == ERROR_SUCCESS;
            saved.data.resize(bytes);
        }
    }
    saved_.push_back(std::move(saved));
}
