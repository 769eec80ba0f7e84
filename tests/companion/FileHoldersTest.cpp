// Naming the programs that hold files under a folder: what is handed to the Restart
// Manager and what is made of its answer, through a stand-in for it; and the real one.
#include "companion/FileHolders.h"
#include "companion/Restore.h"
#include "tests/companion/CompanionHarness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// Lower case, without the long-path prefix, sorted: the registered files as a set.
std::vector<std::wstring> Comparable(std::vector<std::wstring> paths)
{
    for (std::wstring& path : paths) {
        if (path.rfind(L"\\\\?\\", 0) == 0) path.erase(0, 4);
        CharLowerBuffW(path.data(), static_cast<DWORD>(path.size()));
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

TEST(FileHolders, NamesTheProgramsHoldingFilesUnderTheFolder)
{
    ScratchDir scratch;
    const std::wstring folder = scratch / L"Users";
    const std::wstring db = folder + L"\\12345\\Msg2.0.db", image = folder + L"\\12345\\Image\\a.png";
    const std::wstring outside = scratch / L"Users.other\\x";
    ASSERT_TRUE(WriteBytes(db, "db") && WriteBytes(image, "image") && WriteBytes(outside, "x"));
    ASSERT_TRUE(MakeDirs(folder + L"\\Empty"));

    const std::wstring indexer = L"Windows Search Indexer（进程 4321）";
    struct Case {
        const char* name;
        std::vector<FakeRestartManager::Program> programs;
        size_t capacity;
        std::wstring names;
    } cases[] = {
        {"nobody holds a file", {}, HOLDERS_CAPACITY, L""},
        {"one program", {{L"Windows Search Indexer", 4321, db}}, HOLDERS_CAPACITY, indexer},
        {"two programs", {{L"Windows Search Indexer", 4321, db}, {L"QQ安全防护", 88, image}}, HOLDERS_CAPACITY,
         indexer + L"、QQ安全防护（进程 88）"},
        {"only whole names fit", {{L"Windows Search Indexer", 4321, db}, {L"QQ安全防护", 88, image}},
         indexer.size() + 3, indexer},
        {"a program that holds a file outside the folder", {{L"Other", 5, outside}}, HOLDERS_CAPACITY, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeRestartManager restartManager(c.programs);
        std::vector<wchar_t> names(c.capacity, L'#');
        EXPECT_EQ(NameFileHolders(folder.c_str(), names.data(), names.size()), names.data());
        EXPECT_EQ(std::wstring(names.data()), c.names);
        EXPECT_EQ(Comparable(restartManager.registered), Comparable({db, image})); // every file, no folder
        EXPECT_EQ(restartManager.openSessions, 0);
    }
}

// The platform's own Restart Manager. The test platform's is a stub that lists nobody;
// Windows's lists this process for the file it holds open. Either way the lookup comes back.
TEST(FileHolders, RealRestartManagerNamesNobodyButThisProcess)
{
    ScratchDir scratch;
    ASSERT_TRUE(WriteBytes(scratch / L"Users\\held.txt", "held"));
    UniqueHandle held(CreateFileW((scratch / L"Users\\held.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    wchar_t names[HOLDERS_CAPACITY];
    NameFileHolders((scratch / L"Users").c_str(), names, HOLDERS_CAPACITY);
    std::wstring got = names;
    EXPECT_TRUE(got.empty() || got.find(L"（进程 " + std::to_wstring(GetCurrentProcessId()) + L"）") != std::wstring::npos)
        << Narrow(got);
}

} // namespace
