#include "tests/e2e/ChatClientFixture.h"

#include "tests/support/Scratch.h"

static const wchar_t TYPE_ENTRY_KEY[] = L"SOFTWARE\\Tencent\\PlatForm_Type_List\\10";
static const wchar_t SHELL_FOLDERS_KEY[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

bool InstallChatClientEntries(ChatClientRegistry* registry, const std::wstring& scratchDir,
                              const std::wstring& dataDir)
{
    std::wstring docs = scratchDir + L"\\Docs";
    // The client writes the file in the ANSI code page, GBK on the users' systems.
    std::string ini = "[UserDataSet]\r\nUserDataSavePath=" + Gbk(dataDir) + "\r\n";
    return registry->SetString(HKEY_LOCAL_MACHINE, TYPE_ENTRY_KEY, L"TypeName", L"QQ2010") &&
           registry->SetString(HKEY_LOCAL_MACHINE, TYPE_ENTRY_KEY, L"TypePath",
                               scratchDir + L"\\QQ\\Bin\\QQ.exe") &&
           registry->SetString(HKEY_LOCAL_MACHINE, SHELL_FOLDERS_KEY, L"Common Documents", docs) &&
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
