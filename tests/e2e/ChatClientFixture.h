// An installed chat client, as far as the program can see one: its registry entries in
// the 32-bit view and its UserDataInfo.ini naming a data directory in scratch. Shared by
// the black-box tests and the runner benchmark.
#pragma once

#include "base/Platform.h"

#include <string>
#include <vector>

// Machine-wide text values in the 32-bit view, where the chat client keeps its entries.
// Values it changes get their old data back, and keys it created are removed, deepest
// first, when it goes, even after a failed assertion.
class ChatClientRegistry {
public:
    ChatClientRegistry() = default;
    ChatClientRegistry(const ChatClientRegistry&) = delete;
    ChatClientRegistry& operator=(const ChatClientRegistry&) = delete;
    ~ChatClientRegistry();

    bool Set(const std::wstring& keyPath, const std::wstring& name, const std::wstring& text);

private:
    struct Saved {
        std::wstring key, name;
        bool existed;
        DWORD type;
        std::vector<BYTE> data;
    };
    std::vector<std::wstring> created_;
    std::vector<Saved> saved_;
};

// The platform type entry "QQ2010" (its program in scratchDir\QQ\Bin), the common
// documents folder scratchDir\Docs, and its Tencent\QQ\UserDataInfo.ini naming dataDir.
bool InstallChatClientEntries(ChatClientRegistry* registry, const std::wstring& scratchDir,
                              const std::wstring& dataDir);

// A few files in nested folders, shaped like a chat client's data: a database, names
// with blanks and Chinese, an empty file and an empty folder (9 entries in all).
bool WriteSampleChatData(const std::wstring& dataDir);
