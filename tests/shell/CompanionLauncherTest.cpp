// The companion launcher, run from a copy of this program in a folder with blanks: once
// with the shell call recorded, and once for real, starting a stand-in companion.
#include "shell/CompanionLauncher.h"

#include "shell/ShellSeams.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ScopedSeams.h"
#include "tests/support/Scratch.h"
#include "tests/support/Wait.h"

#include <gmock/gmock.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

struct Launch {
    HWND owner;
    std::wstring verb, file, parameters, directory;
    int show;
};
std::vector<Launch> launches;

HINSTANCE WINAPI RecordShellExecute(HWND owner, const wchar_t* verb, const wchar_t* file,
                                    const wchar_t* parameters, const wchar_t* directory, int show)
{
    auto text = [](const wchar_t* t) { return t ? std::wstring(t) : std::wstring(L"<null>"); };
    launches.push_back({owner, text(verb), text(file), text(parameters), text(directory), show});
    return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(33)); // "started"
}

// Child: args are "record" or "real", then the modes to launch in order. Recorded launches
// are printed one field per line.
KESTOVA_CHILD(launch_companion)
{
    if (args.empty()) return 2;
    ScopedSeams<ShellSeams> recording(&shellSeams, [&](ShellSeams& seams) {
        if (args[0] == L"record") seams.shellExecute = RecordShellExecute;
    });
    for (size_t i = 1; i < args.size(); ++i)
        LaunchCompanion(args[i] == L"options" ? COMPANION_OPTIONS : COMPANION_RESTORE);
    for (const Launch& l : launches) {
        printf("owner=%d\nverb=%s\nfile=%s\nparameters=%s\ndirectory=%s\nshow=%d\n", l.owner != nullptr,
               Narrow(l.verb).c_str(), Narrow(l.file).c_str(), Narrow(l.parameters).c_str(),
               Narrow(l.directory).c_str(), l.show);
    }
    return 0;
}

// A copy of this program as the resident program, in a folder whose name has blanks.
struct ProgramFolder {
    ScratchDir scratch;
    std::wstring dir = scratch / L"My Tools";
    std::wstring exe;
    ProgramFolder()
    {
        MakeDirs(dir);
        exe = CopySelfTo(dir, L"Kestova.exe");
    }
};

// One recorded field as the child prints it; its standard output is in text mode.
std::string Field(const std::string& name, const std::string& value) { return name + "=" + value + "\r\n"; }

TEST(CompanionLauncherTest, QuotesTheFileAndPassesTheOptionAndFolder)
{
    ProgramFolder folder;
    ASSERT_FALSE(folder.exe.empty());
    ChildResult child = RunChild(folder.exe, L"launch_companion", {L"record", L"options", L"restore", L"options"});
    ASSERT_TRUE(child.started);
    ASSERT_EQ(child.exitCode, 0u) << child.output;

    const std::string dir = Narrow(folder.dir);
    std::string expected;
    for (const char* parameters : {"--options", "--restore", "--options"}) {
        expected += Field("owner", "0") + Field("verb", "open") +
                    Field("file", "\"" + dir + "\\Marrowby.exe\"") + Field("parameters", parameters) +
                    Field("directory", dir) + Field("show", std::to_string(SW_SHOWNORMAL));
    }
    EXPECT_EQ(child.output, expected);
}

std::vector<std::string> ReadLines(const std::wstring& path)
{
    std::string bytes;
    std::vector<std::string> lines;
    if (!ReadBytes(path, &bytes)) return lines;
    std::istringstream in(bytes);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The companion starts on its own; wait for its records with a deadline.
std::vector<std::string> WaitForLines(const std::wstring& path, size_t count, DWORD timeoutMs)
{
    std::vector<std::string> lines;
    PumpUntil([&] { return (lines = ReadLines(path)).size() >= count; }, timeoutMs);
    return lines;
}

TEST(CompanionLauncherTest, StartsTheCompanionForRealWithItsOptionAndFolder)
{
    ProgramFolder folder;
    ASSERT_FALSE(folder.exe.empty());
    std::wstring standIn = CurrentExePath();
    standIn = standIn.substr(0, standIn.find_last_of(L'\\')) + L"\\companion_stand_in.exe";
    ASSERT_TRUE(CopyFileW(standIn.c_str(), (folder.dir + L"\\Marrowby.exe").c_str(), FALSE));

    ChildResult child = RunChild(folder.exe, L"launch_companion", {L"real", L"restore", L"options"}, 30000);
    ASSERT_TRUE(child.started);
    EXPECT_FALSE(child.timedOut);
    EXPECT_EQ(child.exitCode, 0u) << child.output;

    std::vector<std::string> lines = WaitForLines(folder.dir + L"\\companion-starts.txt", 2, 30000);
    const std::string dir = Narrow(folder.dir);
    // Two starts; they may finish in either order.
    EXPECT_THAT(lines, testing::UnorderedElementsAre("--restore|" + dir, "--options|" + dir));
}

TEST(CompanionLauncherTest, MissingCompanionLeavesTheCallerRunningWithoutAMessage)
{
    ProgramFolder folder;
    ASSERT_FALSE(folder.exe.empty());
    // A message box would hold the child until the time-out.
    ChildResult child = RunChild(folder.exe, L"launch_companion", {L"real", L"options"}, 30000);
    ASSERT_TRUE(child.started);
    EXPECT_FALSE(child.timedOut);
    EXPECT_EQ(child.exitCode, 0u) << child.output;
    EXPECT_FALSE(PathExists(folder.dir + L"\\companion-starts.txt"));
}

} // namespace
