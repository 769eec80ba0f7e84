#include "backup/BackupStore.h"
#include "backup/CopyToolDigest.h"
#include "backup/MirrorRun.h"
#include "base/Md5.h"
#include "base/PathText.h"
#include "base/ScopedWin.h"
#include "base/Settings.h"
#include "contracts/ProgramFiles.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Scratch.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// Children: they run from a copy of this program in scratch, so that config.ini and
// logs.txt beside "the program" lie in scratch.

// args: tool, source, target, log, append ("1"/"0"), and optionally "link" or "plain" for
// the link reference (else the build's default). Prints the result, the status and how
// many handles the run left behind.
KESTOVA_CHILD(run_mirror)
{
    if (args.size() != 5 && args.size() != 6) return 99;
    int status = -1;
    DWORD before = CurrentHandleCount();
    int result = args.size() == 6
        ? RunMirror(args[0].c_str(), args[1].c_str(), args[2].c_str(), args[3].c_str(), args[4] == L"1", &status,
                    args[5] == L"link")
        : RunMirror(args[0].c_str(), args[1].c_str(), args[2].c_str(), args[3].c_str(), args[4] == L"1", &status);
    long leaked = static_cast<long>(CurrentHandleCount()) - static_cast<long>(before);
    printf("result=%d status=%d leaked=%ld\n", result, status, leaked);
    return 0;
}

// Prints the path VerifyCopyTool gives, or "null".
KESTOVA_CHILD(verify)
{
    wchar_t path[PATH_CAPACITY];
    DWORD before = CurrentHandleCount();
    const wchar_t* found = VerifyCopyTool(path, PATH_CAPACITY);
    long leaked = static_cast<long>(CurrentHandleCount()) - static_cast<long>(before);
    printf("leaked=%ld path=%s\n", leaked, found ? Narrow(found).c_str() : "null");
    return 0;
}

// The worker's sequence for one request and the next: choose, verify, run, choose again.
// args: source. Prints the slot, the run's result and status, and the next slot.
KESTOVA_CHILD(backup_twice)
{
    if (args.size() != 1 || !PrepareBackupStore()) return 98;
    wchar_t slot[PATH_CAPACITY], tool[PATH_CAPACITY], log[PATH_CAPACITY], next[PATH_CAPACITY];
    if (!ChooseBackupSlot(slot, PATH_CAPACITY)) return 97;
    if (!VerifyCopyTool(tool, PATH_CAPACITY)) return 96;
    if (!GetLogPath(log, PATH_CAPACITY)) return 95;
    int status = -1;
    int result = RunMirror(tool, args[0].c_str(), slot, log, false, &status);
    if (!ChooseBackupSlot(next, PATH_CAPACITY)) return 94;
    printf("slot=%s\nresult=%d status=%d\nnext=%s\n", Narrow(LastComponent(slot)).c_str(),
           result, status, Narrow(LastComponent(next)).c_str());
    return 0;
}

// Starts the tool at args[0] (scripted to hold) as a copy run starts it, in a kill-on-close
// job of its own, and writes to the file args[2] whether it started, whether it is in that
// job and in the job whose handle value is args[1], and how much of its output came
// before it was ended. The test that runs this child in that job reads no pipe from it.
KESTOVA_CHILD(spawn_in_job)
{
    if (args.size() != 3) return 99;
    HANDLE outer = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::wcstoull(args[1].c_str(), nullptr, 10)));
    UniqueHandle job(CreateKillOnCloseJob());
    std::wstring line = QuoteArgument(args[0]) + L" source target /MIR";
    HANDLE readRaw = INVALID_HANDLE_VALUE;
    UniqueHandle process(SpawnWithPipe(line.c_str(), &readRaw, nullptr, job.get()));
    UniqueHandle readEnd(readRaw);
    if (!process) return WriteBytes(args[2], "started=0") ? 0 : 98;
    BOOL inOwn = FALSE, inOuter = FALSE;
    IsProcessInJob(process.get(), job.get(), &inOwn);
    IsProcessInJob(process.get(), outer, &inOuter);
    // The tool holds once its output is out: take that much, then end it.
    std::string output;
    char chunk[1024];
    DWORD got = 0;
    while (output.find("Ended :") == std::string::npos && ReadFile(readEnd.get(), chunk, sizeof chunk, &got, nullptr))
        output.append(chunk, got);
    TerminateProcess(process.get(), 0);
    std::string result = "started=1 own=" + std::to_string(inOwn) + " outer=" + std::to_string(inOuter) +
                         " output=" + std::to_string(output.size());
    return WriteBytes(args[2], result) ? 0 : 98;
}

// A child's printed lines, without the CR that its text-mode output adds.
std::string PrintedText(const ChildResult& child)
{
    std::string text = child.output;
    std::erase(text, '\r');
    return text;
}

struct RunOutcome {
    int result = -1;
    int status = -1;
    long leaked = -1;
};

constexpr const wchar_t OLD_STAMP[] = L"Thu Jan  1 00:00:00 2009";
constexpr const char OLD_LOG[] = "log of the run before\r\n";

std::wstring TestBinDir()
{
    std::wstring self = CurrentExePath();
    return self.substr(0, self.find_last_of(L'\\'));
}

// A program folder with a copy of this program, config.ini holding an old stamp for
// slot 3, a previous log, a source folder, slot 3, and the scripted tool in a folder of
// its own.
class MirrorLayout {
public:
    MirrorLayout()
    {
        MakeDirs(scratch_ / L"Runner");
        MakeDirs(source());
        MakeDirs(target());
        MakeDirs(scratch_ / L"Tool");
        exe_ = CopySelfTo(scratch_ / L"Runner", L"Kestova.exe");
        CopyFileW((TestBinDir() + L"\\fake_copy_tool.exe").c_str(), tool().c_str(), FALSE);
        WriteBytes(config(), "[Target3]\r\nEnded=" + Narrow(OLD_STAMP) + "\r\n");
        WriteBytes(log(), OLD_LOG);
    }

    bool ready() const { return !exe_.empty() && PathExists(tool()); }
    std::wstring source() const { return scratch_ / L"QQ data"; }
    std::wstring target() const { return scratch_ / L"Backup_Data\\3"; }
    std::wstring tool() const { return scratch_ / L"Tool\\robocopy.exe"; }
    std::wstring config() const { return scratch_ / L"Runner\\config.ini"; }
    std::wstring log() const { return scratch_ / L"Runner\\logs.txt"; }
    std::wstring slot(int n) const { return scratch_ / (L"Backup_Data\\" + std::to_wstring(n)); }

    void Script(const std::string& exit, const std::string& output)
    {
        WriteBytes(scratch_ / L"Tool\\tool-script.txt", exit);
        WriteBytes(scratch_ / L"Tool\\tool-output.bin", output);
        RemoveTree(scratch_ / L"Tool\\tool-ran.txt");
        RemoveTree(scratch_ / L"Tool\\tool-held.txt");
    }
    // A tool scripted with "hold" has printed its output and waits.
    bool ToolHeld() const { return PathExists(scratch_ / L"Tool\\tool-held.txt"); }

    // The run as Run starts it, not waited for; its output goes nowhere.
    UniqueProcess StartRun()
    {
        std::wstring line = QuoteArgument(exe_) + L" --kestova-child=run_mirror";
        for (const std::wstring& arg : {tool(), source(), target(), log(), std::wstring(L"0")})
            line += L" " + QuoteArgument(arg);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(exe_.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                            nullptr, &startup, &info))
            return UniqueProcess();
        return UniqueProcess(info);
    }

    // The names in the program folder.
    std::vector<std::wstring> RunnerFolderNames() const
    {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW found;
        UniqueFindHandle list(FindFirstFileW((scratch_ / L"Runner\\*").c_str(), &found));
        for (bool more = list.valid(); more; more = FindNextFileW(list.get(), &found)) {
            std::wstring name = found.cFileName;
            if (name != L"." && name != L"..") names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    RunOutcome Run(bool append = false) { return Run(tool(), source(), target(), append); }
    // link: "link" or "plain" for the link reference, "" for the build's default.
    RunOutcome Run(const std::wstring& tool, const std::wstring& source, const std::wstring& target,
                   bool append = false, const std::wstring& link = L"")
    {
        RunOutcome outcome;
        std::vector<std::wstring> args = {tool, source, target, log(), append ? L"1" : L"0"};
        if (!link.empty()) args.push_back(link);
        ChildResult child = RunChild(exe_, L"run_mirror", args);
        EXPECT_TRUE(child.started && !child.timedOut && child.exitCode == 0) << child.output;
        sscanf(child.output.c_str(), "result=%d status=%d leaked=%ld", &outcome.result, &outcome.status,
               &outcome.leaked);
        return outcome;
    }

    // Slot 3's stamp as the settings file holds it now.
    std::wstring Stamp() const
    {
        wchar_t value[STAMP_CAPACITY];
        return ReadSetting(config().c_str(), L"Target3", L"Ended", value, STAMP_CAPACITY) ? value : L"<none>";
    }

    std::string Log() const
    {
        std::string bytes;
        return ReadBytes(log(), &bytes) ? bytes : "<unreadable>";
    }

    // The command line the tool was started with, or "" when it did not run.
    std::wstring ToolCommandLine() const
    {
        std::string bytes;
        if (!ReadBytes(scratch_ / L"Tool\\tool-ran.txt", &bytes)) return L"";
        return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    }

private:
    ScratchDir scratch_;
    std::wstring exe_;
};

std::string Filler(size_t size)
{
    std::string text;
    while (text.size() < size) text += "    New File  \t\t  1234  QQ\\Msg2.0.db\r\n";
    text.resize(size);
    return text;
}

std::string Ending(const char* time) { return std::string("   Ended : ") + time + "\r\n"; }

TEST(MirrorRun, StampAndOutcomeFollowTheToolsOutputAndExitCode)
{
    const std::wstring kept = OLD_STAMP;
    struct Case {
        const char* name;
        std::string script; // exit code or "crash", then the piece size
        std::string output;
        int result;
        int status;
        std::wstring stamp;
    } cases[] = {
        {"plain success", "0", Filler(300) + Ending("Sun Mar 14 10:00:00 2010"), 0, RUN_FINISHED,
         L"Sun Mar 14 10:00:00 2010"},
        {"files copied (1)", "1", Ending("Mon Mar  1 10:00:00 2010"), 0, RUN_FINISHED,
         L"Mon Mar  1 10:00:00 2010"},
        {"mismatches (7) still a whole mirror", "7", Ending("Mon Mar  1 10:00:00 2010"), 0,
         RUN_FINISHED, L"Mon Mar  1 10:00:00 2010"},
        {"failed copies (8)", "8", Filler(300) + Ending("Sun Mar 14 10:00:00 2010"), 1,
         RUN_TOOL_FAILED, kept},
        {"fatal (16)", "16", "ERROR : Invalid Parameter\r\n" + Ending("Sun Mar 14 10:00:00 2010"), 1,
         RUN_TOOL_FAILED, kept},
        {"crash after a whole output", "crash", Filler(100) + Ending("Sun Mar 14 10:00:00 2010"), 1,
         RUN_TOOL_FAILED, kept},
        {"tail spread over many small writes to both streams", "0 7",
         Filler(3000) + Ending("Tue Mar 16 11:12:13 2010"), 0, RUN_FINISHED, L"Tue Mar 16 11:12:13 2010"},
        {"last read shorter than the tail", "0", Filler(1024 + 10 - 37) + Ending("Wed Mar 17 01:02:03 2010"),
         0, RUN_FINISHED, L"Wed Mar 17 01:02:03 2010"},
        {"output of exactly 26 bytes", "0", "Thu Mar 18 23:59:59 2010\r\n", 0, RUN_FINISHED,
         L"Thu Mar 18 23:59:59 2010"},
        {"tail that is no time is stored as it is", "0", "no completion time here..\r\n", 0,
         RUN_FINISHED, L"o completion time here.."},
        // The tool reports in the ANSI code page: GBK on a Chinese system.
        {"report with Chinese names in GBK", "1",
         "    New File  \t\t  1234  " + Gbk(L"张三\\聊天记录\\图片 (1).gif") + "\r\n" +
             Ending("Fri Mar 19 08:09:10 2010"),
         0, RUN_FINISHED, L"Fri Mar 19 08:09:10 2010"},
        {"tail in GBK is stored as the text it spells", "0",
         Filler(100) + Gbk(L"结束时间：星期五 三月19日 08:09:10") + "\r\n", 0, RUN_FINISHED,
         L"星期五 三月19日 08:09:10"},
        {"output of 25 bytes", "0", "hu Mar 18 23:59:59 2010\r\n", 0, RUN_FINISHED, kept},
        {"no output", "0", "", 0, RUN_FINISHED, kept},
        {"tab in the tail", "0", Ending("Sun Mar 14\t10:00:00 2010"), 0, RUN_FINISHED, kept},
        {"line break in the tail", "0", Ending("Sun Mar 14\r\n[Target1]\r\n10"), 0, RUN_FINISHED, kept},
        {"zero byte in the tail", "0", std::string("   Ended : Sun Mar 14 10:00:00 201\0\r\n", 37), 0,
         RUN_FINISHED, kept},
        {"DEL in the tail", "0", Ending("Sun Mar 14 10:00:00 201\x7f"), 0, RUN_FINISHED, kept},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MirrorLayout layout;
        ASSERT_TRUE(layout.ready());
        layout.Script(c.script, c.output);

        RunOutcome outcome = layout.Run();
        EXPECT_EQ(outcome.result, c.result);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.leaked, 0);
        EXPECT_EQ(Narrow(layout.Stamp()), Narrow(c.stamp));
        // The log holds the output byte for byte, failed runs included.
        EXPECT_TRUE(layout.Log() == c.output) << layout.Log().size() << " bytes logged, "
                                              << c.output.size() << " printed";
        EXPECT_EQ(Narrow(layout.ToolCommandLine()),
                  Narrow(L"\"" + layout.tool() + L"\" \"" + layout.source() + L"\" \"" +
                         layout.target() + L"\" /MIR"));
    }
}

TEST(MirrorRun, RunThatCannotStartChangesNothing)
{
    // The command line's fixed part: three pairs of quotes, three blanks and /MIR.
    auto sourceFilling = [](const MirrorLayout& layout, size_t lineLength) {
        size_t fixed = layout.tool().size() + layout.target().size() + 13;
        return L"C:\\" + std::wstring(lineLength - fixed - 3, L'a');
    };
    struct Case {
        const char* name;
        std::wstring (*tool)(const MirrorLayout&);
        std::wstring (*source)(const MirrorLayout&);
        std::wstring (*target)(const MirrorLayout&);
    } cases[] = {
        {"tool missing", [](const MirrorLayout& l) { return l.tool() + L".gone.exe"; },
         [](const MirrorLayout& l) { return l.source(); }, [](const MirrorLayout& l) { return l.target(); }},
        // A crafted data path that would give /MIR a second target outside the store.
        {"quote in the source", [](const MirrorLayout& l) { return l.tool(); },
         [](const MirrorLayout& l) { return l.source() + L"\" \"C:\\Users\\me\\Documents"; },
         [](const MirrorLayout& l) { return l.target(); }},
        {"quote in the target", [](const MirrorLayout& l) { return l.tool(); },
         [](const MirrorLayout& l) { return l.source(); },
         [](const MirrorLayout& l) { return l.target() + L"\" /PURGE \"x"; }},
        // A backslash before the closing quote escapes it.
        {"source still ending in a backslash", [](const MirrorLayout& l) { return l.tool(); },
         [](const MirrorLayout& l) { return l.source() + L"\\"; },
         [](const MirrorLayout& l) { return l.target(); }},
        {"target still ending in a backslash", [](const MirrorLayout& l) { return l.tool(); },
         [](const MirrorLayout& l) { return l.source(); },
         [](const MirrorLayout& l) { return l.target() + L"\\"; }},
        {"command line of 4096 characters", [](const MirrorLayout& l) { return l.tool(); },
         [](const MirrorLayout& l) { return L"C:\\" + std::wstring(4096 - l.tool().size() - l.target().size() - 16, L'a'); },
         [](const MirrorLayout& l) { return l.target(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MirrorLayout layout;
        ASSERT_TRUE(layout.ready());
        layout.Script("0", Ending("Sun Mar 14 10:00:00 2010"));

        RunOutcome outcome = layout.Run(c.tool(layout), c.source(layout), c.target(layout));
        EXPECT_EQ(outcome.result, 1);
        EXPECT_EQ(outcome.status, RUN_NOT_STARTED);
        EXPECT_EQ(outcome.leaked, 0);
        EXPECT_EQ(layout.ToolCommandLine(), L"") << "the tool was started";
        EXPECT_EQ(layout.Log(), OLD_LOG);
        EXPECT_EQ(Narrow(layout.Stamp()), Narrow(OLD_STAMP));
    }

    // One character less than the 4096 fits, and runs.
    MirrorLayout layout;
    ASSERT_TRUE(layout.ready());
    layout.Script("0", Ending("Sun Mar 14 10:00:00 2010"));
    std::wstring source = sourceFilling(layout, 4095);
    RunOutcome outcome = layout.Run(layout.tool(), source, layout.target());
    EXPECT_EQ(outcome.status, RUN_FINISHED);
    EXPECT_EQ(layout.ToolCommandLine().size(), 4095u);
}

// The copy tool this build made links unchanged files to the newest other generation; any
// other tool gets the plain line it knows.
TEST(MirrorRun, LinkReferenceIsTheNewestOtherStampedSlot)
{
    const wchar_t* const MARCH_15 = L"Mon Mar 15 10:00:00 2010";
    const wchar_t* const MARCH_16 = L"Tue Mar 16 10:00:00 2010";
    struct Case {
        const char* name;
        const wchar_t* stamps[SLOT_COUNT]; // slot 3, the target, keeps OLD_STAMP when null
        bool link;
        int reference; // 0: the plain line
    } cases[] = {
        {"only the target stamped", {}, true, 0},
        {"the newest of the others", {MARCH_15, nullptr, nullptr, MARCH_16, nullptr}, true, 4},
        {"the target newer than all others", {nullptr, L"Thu Jan  1 00:00:00 2009", L"Wed Mar 17 10:00:00 2010"},
         true, 2},
        {"a tie goes to the lower slot", {nullptr, MARCH_16, nullptr, nullptr, MARCH_16}, true, 2},
        {"unusable stamps are none", {L"garbage", L"Wed Mar", nullptr, nullptr, L""}, true, 0},
        {"another tool", {MARCH_15, nullptr, nullptr, MARCH_16, nullptr}, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MirrorLayout layout;
        ASSERT_TRUE(layout.ready());
        layout.Script("0", Ending("Sun Mar 21 10:00:00 2010"));
        for (int n = 0; n < SLOT_COUNT; ++n) {
            if (c.stamps[n]) {
                ASSERT_TRUE(WriteSetting(layout.config().c_str(), (L"Target" + std::to_wstring(n + 1)).c_str(),
                                         L"Ended", c.stamps[n]));
            }
        }

        RunOutcome outcome = layout.Run(layout.tool(), layout.source(), layout.target(), false,
                                        c.link ? L"link" : L"plain");
        EXPECT_EQ(outcome.status, RUN_FINISHED);
        EXPECT_EQ(outcome.leaked, 0);
        std::wstring line = L"\"" + layout.tool() + L"\" \"" + layout.source() + L"\" \"" + layout.target() + L"\" /MIR";
        if (c.reference) line += L" /LINKDEST:\"" + layout.slot(c.reference) + L"\"";
        EXPECT_EQ(Narrow(layout.ToolCommandLine()), Narrow(line));
        EXPECT_EQ(Narrow(layout.Stamp()), "Sun Mar 21 10:00:00 2010");
    }

    // By default the reference goes only to the tool this build made.
    MirrorLayout layout;
    ASSERT_TRUE(layout.ready());
    layout.Script("0", Ending("Sun Mar 21 10:00:00 2010"));
    ASSERT_TRUE(WriteSetting(layout.config().c_str(), L"Target1", L"Ended", MARCH_15));
    EXPECT_EQ(layout.Run().status, RUN_FINISHED);
    EXPECT_EQ(layout.ToolCommandLine().find(L"/LINKDEST") != std::wstring::npos, EXPECTED_TOOL_IS_BUILT)
        << Narrow(layout.ToolCommandLine());
}

TEST(MirrorRun, LogThatCannotBeOpenedDoesNotStopTheRun)
{
    MirrorLayout layout;
    ASSERT_TRUE(layout.ready());
    layout.Script("0 100", Filler(5000) + Ending("Sun Mar 14 10:00:00 2010"));
    HANDLE lock = CreateFileW(layout.log().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);

    RunOutcome outcome = layout.Run();
    CloseHandle(lock);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.status, RUN_FINISHED);
    EXPECT_EQ(outcome.leaked, 0);
    EXPECT_EQ(Narrow(layout.Stamp()), "Sun Mar 14 10:00:00 2010");
    EXPECT_EQ(layout.Log(), OLD_LOG);
}

TEST(MirrorRun, AppendChoosesBetweenReplacingAndExtendingTheLog)
{
    const std::string first = "first run\r\n" + Ending("Sun Mar 14 10:00:00 2010");
    const std::string second = "second run\r\n" + Ending("Mon Mar 15 10:00:00 2010");
    struct Case {
        bool append;
        std::string log;
    } cases[] = {
        {false, second},
        {true, std::string(OLD_LOG) + first + second},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.append ? "append" : "replace");
        MirrorLayout layout;
        ASSERT_TRUE(layout.ready());
        layout.Script("0", first);
        EXPECT_EQ(layout.Run(c.append).status, RUN_FINISHED);
        layout.Script("0", second);
        EXPECT_EQ(layout.Run(c.append).status, RUN_FINISHED);
        EXPECT_EQ(layout.Log(), c.log);
        EXPECT_EQ(Narrow(layout.Stamp()), "Mon Mar 15 10:00:00 2010");
    }
}

TEST(MirrorRun, SpawnWithPipeFailsCleanly)
{
    DWORD before = CurrentHandleCount();
    HANDLE readEnd = nullptr;
    ScratchDir scratch;
    std::wstring line = L"\"" + scratch / L"missing.exe" + L"\" x";
    EXPECT_EQ(SpawnWithPipe(line.c_str(), &readEnd, nullptr), nullptr);
    EXPECT_EQ(readEnd, INVALID_HANDLE_VALUE);
    std::wstring tooLong = L"\"" + TestBinDir() + L"\\fake_copy_tool.exe\" " + std::wstring(4096, L'x');
    readEnd = nullptr;
    EXPECT_EQ(SpawnWithPipe(tooLong.c_str(), &readEnd, nullptr), nullptr);
    EXPECT_EQ(readEnd, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CurrentHandleCount(), before);
}

// The job that ends the tool with its owner (the black-box test kills the runner): no
// child may inherit it, or the tool itself would keep it open after the owner has gone.
TEST(MirrorRun, CopyToolJobIsNotInherited)
{
    UniqueHandle job(CreateKillOnCloseJob());
    ASSERT_TRUE(job);
    DWORD flags = 0xdeadbeef;
    ASSERT_TRUE(GetHandleInformation(job.get(), &flags));
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
}

TEST(VerifyCopyTool, AcceptsOnlyTheExactFile)
{
    std::wstring built = BuiltProgramPath(L"robocopy.exe");
    std::string builtBytes;
    ASSERT_TRUE(ReadBytes(built, &builtBytes));
    Md5Digest digest;
    char hex[33];
    ASSERT_TRUE(Md5File(built.c_str(), &digest));
    ASSERT_TRUE(DigestToHex(&digest, hex, sizeof hex));
    // A build configured with another digest (the original tool's) has no such file here.
    bool builtIsExpected = std::string(hex) == EXPECTED_TOOL_DIGEST;

    std::string changed = builtBytes;
    changed[changed.size() / 2] ^= 0x01;
    struct Case {
        const char* name;
        const std::string* bytes; // null: a directory of that name; empty: no file
        bool accepted;
    } cases[] = {
        {"the built tool", &builtBytes, builtIsExpected},
        {"one byte different", &changed, false},
        {"missing", nullptr, false},
        {"a directory", nullptr, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir scratch;
        std::wstring exe = CopySelfTo(scratch.path(), L"Kestova.exe");
        ASSERT_FALSE(exe.empty());
        std::wstring tool = scratch / L"robocopy.exe";
        if (c.bytes) {
            ASSERT_TRUE(WriteBytes(tool, *c.bytes));
        }
        if (std::string(c.name) == "a directory") {
            ASSERT_TRUE(MakeDirs(tool));
        }

        ChildResult child = RunChild(exe, L"verify", {});
        ASSERT_TRUE(child.started && child.exitCode == 0) << child.output;
        EXPECT_EQ(PrintedText(child), "leaked=0 path=" + (c.accepted ? Narrow(tool) : "null") + "\n");
    }
    if (!builtIsExpected) GTEST_SKIP() << "built with another expected digest: " << EXPECTED_TOOL_DIGEST;
}

// The shipped copy tool, as the worker uses it: the chosen slot is mirrored and stamped,
// and the rotation moves on to the next slot.
TEST(MirrorRun, ShippedToolMirrorsIntoTheChosenSlot)
{
    ScratchDir scratch;
    std::wstring runner = scratch / L"Runner";
    ASSERT_TRUE(MakeDirs(runner));
    std::wstring exe = CopySelfTo(runner, L"Kestova.exe");
    ASSERT_FALSE(exe.empty());
    ASSERT_TRUE(CopyFileW(BuiltProgramPath(L"robocopy.exe").c_str(), (runner + L"\\robocopy.exe").c_str(), FALSE));
    struct File {
        std::wstring path;
        std::string bytes;
    } files[] = {
        {L"10001\\Msg2.0.db", std::string(70000, 'm')},
        {L"10001\\Image\\Group\\{A1B2} pic.jpg", "\xff\xd8\xff\xe0 jpeg"},
        {L"10001\\聊天记录\\info.txt", "text"},
        {L"All Users\\QQ\\Registry.db", ""},
    };
    std::wstring source = scratch / L"QQ data";
    for (const auto& f : files) ASSERT_TRUE(WriteBytes(source + L"\\" + f.path, f.bytes));
    ASSERT_TRUE(MakeDirs(source + L"\\empty dir"));

    ChildResult child = RunChild(exe, L"backup_twice", {source});
    ASSERT_TRUE(child.started && child.exitCode == 0) << child.exitCode << " " << child.output;
    EXPECT_EQ(PrintedText(child), "slot=1\nresult=0 status=1\nnext=2\n");

    wchar_t stamp[STAMP_CAPACITY];
    ASSERT_TRUE(ReadSetting((runner + L"\\config.ini").c_str(), L"Target1", L"Ended", stamp, STAMP_CAPACITY));
    EXPECT_GT(StampToTime(stamp), StampToTime(nullptr)) << Narrow(stamp);
    std::string log;
    ASSERT_TRUE(ReadBytes(runner + L"\\logs.txt", &log));
    EXPECT_TRUE(log.size() >= 37 && log.compare(log.size() - 37, 37, Ending(Narrow(stamp).c_str())) == 0) << log;

    std::wstring slot = scratch / L"Backup_Data\\1";
    for (const auto& f : files) {
        SCOPED_TRACE(Narrow(f.path));
        std::string copied;
        ASSERT_TRUE(ReadBytes(slot + L"\\" + f.path, &copied));
        EXPECT_TRUE(copied == f.bytes);
    }
    EXPECT_TRUE(IsDirectory(slot + L"\\empty dir"));
}

// The log is the record of the last run that got to its end. A run cut off mid-way (the
// runner killed, or the session ending under it) leaves the previous log byte for byte, and
// what it had written never stands in its place; the next run that ends replaces the log
// and leaves nothing of the cut-off one beside it.
TEST(MirrorRun, ARunCutOffLeavesThePreviousLog)
{
    MirrorLayout layout;
    ASSERT_TRUE(layout.ready());
    std::vector<std::wstring> before = layout.RunnerFolderNames();
    layout.Script("0 hold", Filler(5000));
    UniqueProcess run = layout.StartRun();
    ASSERT_TRUE(run);
    bool held = PumpUntil([&] { return layout.ToolHeld(); }, 20000);
    TerminateProcess(run.process(), 1);
    ASSERT_EQ(WaitForSingleObject(run.process(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    ASSERT_TRUE(held) << "the tool never printed its output";
    EXPECT_TRUE(layout.Log() == OLD_LOG) << layout.Log().size() << " bytes in the log";
    EXPECT_EQ(Narrow(layout.Stamp()), Narrow(OLD_STAMP));

    const std::string whole = Filler(300) + Ending("Sun Mar 14 10:00:00 2010");
    layout.Script("0", whole);
    EXPECT_EQ(layout.Run().status, RUN_FINISHED);
    EXPECT_TRUE(layout.Log() == whole) << layout.Log().size() << " bytes logged";
    EXPECT_EQ(layout.RunnerFolderNames(), before);
}

// A runner that is itself in a job (Task Scheduler, a launcher, a remote session) starts
// its tool outside that job where the job lets it go, so the tool can join the runner's
// kill-on-close job even on Windows 7, which puts a process in one job only. A job that
// does not let it go refuses such a start: the tool then starts inside it, and still runs.
TEST(MirrorRun, ARunnerInAJobStillStartsItsTool)
{
    const std::string output = Filler(300) + Ending("Sun Mar 14 10:00:00 2010");
    struct Case {
        const char* name;
        DWORD limits;
        const char* membership; // of the tool: its runner's job, the job the runner is in
    } cases[] = {
        {"the job lets children go", JOB_OBJECT_LIMIT_BREAKAWAY_OK, "own=1 outer=0"},
        {"the job keeps its children", 0, "outer=1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MirrorLayout layout;
        ASSERT_TRUE(layout.ready());
        layout.Script("0 hold", output);
        ScratchDir scratch;
        std::wstring resultFile = scratch / L"result.txt";

        // Inherited by the child, which asks whether its tool is in it.
        SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
        UniqueHandle outer(CreateJobObjectW(&inheritable, nullptr));
        ASSERT_TRUE(outer);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | c.limits;
        ASSERT_TRUE(SetInformationJobObject(outer.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits));
        std::wstring self = CurrentExePath();
        std::wstring line = QuoteArgument(self) + L" --kestova-child=spawn_in_job " + QuoteArgument(layout.tool()) +
                            L" " + std::to_wstring(reinterpret_cast<uintptr_t>(outer.get())) + L" " +
                            QuoteArgument(resultFile);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        ASSERT_TRUE(CreateProcessW(self.c_str(), line.data(), nullptr, nullptr, TRUE,
                                   CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info))
            << GetLastError();
        UniqueProcess runner(info);
        ASSERT_TRUE(AssignProcessToJobObject(outer.get(), runner.process())) << GetLastError();
        ResumeThread(runner.thread());
        ASSERT_EQ(WaitForSingleObject(runner.process(), 20000), static_cast<DWORD>(WAIT_OBJECT_0));

        std::string result;
        ASSERT_TRUE(ReadBytes(resultFile, &result));
        EXPECT_EQ(result.rfind("started=1 ", 0), 0u) << result;
        EXPECT_NE(result.find(c.membership), std::string::npos) << result;
        EXPECT_NE(result.find(" output=" + std::to_string(output.size())), std::string::npos) << result;
    }
}

} // namespace
