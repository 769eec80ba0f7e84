// Registry changes made by a test, undone when the owner goes out of scope, even after a
// failed assertion: changed values get their old data back (or are removed again), then
// the keys it created are deleted, deepest first.
#pragma once

#include "base/Platform.h"
#include "base/ScopedWin.h"

#include <string>
#include <vector>

class RegistryChanges {
public:
    RegistryChanges() = default;
    RegistryChanges(const RegistryChanges&) = delete;
    RegistryChanges& operator=(const RegistryChanges&) = delete;
    ~RegistryChanges();

    // Creates keyPath as needed and sets one value. The view defaults to the 32-bit one,
    // where the chat client (a 32-bit program) keeps its machine-wide entries.
    bool SetBytes(HKEY root, const std::wstring& keyPath, const std::wstring& name, DWORD type,
                  const void* data, size_t bytes, REGSAM view = KEY_WOW64_32KEY);

    // The text with its terminator, as the platform's own tools store it.
    bool SetString(HKEY root, const std::wstring& keyPath, const std::wstring& name,
                   const std::wstring& text, DWORD type = REG_SZ, REGSAM view = KEY_WOW64_32KEY);

    // True when the value is gone afterwards, also when it or its key never existed.
    bool DeleteValue(HKEY root, const std::wstring& keyPath, const std::wstring& name,
                     REGSAM view = KEY_WOW64_32KEY);

private:
    bool CreateKey(HKEY root, const std::wstring& keyPath, REGSAM view, UniqueRegKey* key);
    void Remember(HKEY root, const std::wstring& keyPath, const std::wstring& name, REGSAM view);

    struct Created {
        HKEY root;
        std::wstring path;
        REGSAM view;
    };
    struct Saved {
        HKEY root;
        std::wstring key;
        std::wstring name;
        REGSAM view;
        bool existed;
        DWORD type;
        std::vector<BYTE> data;
    };
    std::vector<Created> created_;
    std::vector<Saved> saved_;
};
