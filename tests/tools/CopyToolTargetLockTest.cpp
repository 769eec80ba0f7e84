// Two runs of the copy tool never write into one target at once: a run left behind by a
// runner that could not end it (Windows 7 refuses to put a runner's tool in a job when
// the runner is in one already) and the next backup into the same slot would otherwise
// mirror over each other. The built tool runs on real trees in scratch folders.
#include "base/ScopedWin.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Scratch.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <string>
#include <vector>

namespace {

std::wstring Long(const std::wstring& path) { return L"\\\\?\\" + path; }

std::wstring Quoted(const std::vector<std::wstring>& args)
{
    std::wstring line = QuoteArgument(BuiltProgramPath(L"robocopy.exe"));
    for (const auto& a : args) line += L" " + QuoteArgument(a);
    return line;
}

// The report's very last line is its completion time.
bool EndsWithEnded(const std::string& output)
{
    size_t at = output.rfind("   Ended : ");
    return at != std::string::npos && at + 11 + 24 + 2 == output.size();
}

// A run of the tool that stands still on a source file held open with no sharing, retrying
// once a second, with its report going into a file. It holds its target for as long as it
// stands; Free lets it finish. Killed, with anything it started, when this goes.
class HeldRun {
public:
    HeldRun(const std::wstring& source, const std::wstring& target, const std::wstring& locked,
            const std::wstring& report)
        : report_(report)
    {
        lock_.reset(CreateFileW(Long(locked).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        job_.reset(CreateJobObjectW(nullptr, nullptr));
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (!lock_ || !job_ ||
            !SetInformationJobObject(job_.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits))
            return;
        SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
        UniqueHandle out(CreateFileW(report.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                     CREATE_ALWAYS, 0, nullptr));
        if (!out) return;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = out.get();
        startup.hStdError = out.get();
        std::wstring line = Quoted({source, target, L"/MIR", L"/R:1000", L"/W:1"});
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr,
                            nullptr, &startup, &info))
            return;
        process_ = UniqueProcess(info);
        AssignProcessToJobObject(job_.get(), process_.process());
        ResumeThread(process_.thread());
    }

    // Waits until the run stands on the held file, retrying.
    bool Standing()
    {
        return process_ && PumpUntil([&] {
            std::string text;
            return ReadBytes(report_, &text) && text.find("Retrying") != std::string::npos;
        }, 30000);
    }

    // Lets the held file go; the run's exit status once it has ended, or -1.
    long Free()
    {
        lock_.reset();
        DWORD code = 0;
        if (!process_ || WaitForSingleObject(process_.process(), 30000) != WAIT_OBJECT_0 ||
            !GetExitCodeProcess(process_.process(), &code))
            return -1;
        return static_cast<long>(code);
    }

private:
    std::wstring report_;
    UniqueHandle lock_;
    UniqueHandle job_;
    UniqueProcess process_;
};

TEST(CopyToolTargetLock, ASecondRunIntoATargetInUseChangesNothing)
{
    ScratchDir scratch;
    std::wstring source = scratch / L"src";
    std::wstring target = scratch / L"dst";
    std::wstring other = scratch / L"other";
    ASSERT_TRUE(WriteBytes(source + L"\\a.txt", "a"));
    ASSERT_TRUE(WriteBytes(source + L"\\locked.db", "database"));
    ASSERT_TRUE(WriteBytes(other + L"\\new.txt", "new"));
    ASSERT_TRUE(WriteBytes(target + L"\\old.txt", "old")); // an extra the first run has yet to purge

    HeldRun first(source, target, source + L"\\locked.db", scratch / L"first-report.txt");
    ASSERT_TRUE(first.Standing()) << "the first run never reached the held file";
    TreeSnapshot standing = Snapshot(target);

    // Another source, so that a second run that got through would purge and copy.
    std::wstring capitals = target;
    for (wchar_t& c : capitals) c = towupper(c);
    struct Case {
        const char* spelling;
        std::wstring target;
    } cases[] = {
        {"as the first run named it", target},
        {"in capitals", capitals},
        {"with a trailing separator", target + L"\\"},
        {"in its long form", Long(target)},
        {"through a folder and back", target + L"\\..\\dst"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.spelling);
        ChildResult second = RunCommand(Quoted({other, c.target, L"/MIR"}), L"", 60000);
        ASSERT_TRUE(second.started && !second.timedOut);
        EXPECT_EQ(second.exitCode, 16u) << second.output;
        EXPECT_NE(second.output.find("\r\nERROR : Another run of the copy tool is writing into the target"),
                  std::string::npos)
            << second.output;
        EXPECT_TRUE(EndsWithEnded(second.output)) << second.output;
        EXPECT_EQ(Difference(standing, Snapshot(target)), "");
        EXPECT_FALSE(PathExists(target + L"\\new.txt"));
    }

    // The lock is the target's alone: another target is written meanwhile.
    std::wstring elsewhere = scratch / L"elsewhere";
    ChildResult beside = RunCommand(Quoted({other, elsewhere, L"/MIR"}), L"", 60000);
    EXPECT_EQ(beside.exitCode, 1u) << beside.output;
    EXPECT_EQ(Difference(Snapshot(other), Snapshot(elsewhere)), "");

    // Once the first run has ended, the target is free again.
    EXPECT_EQ(first.Free(), 1 | 2);
    EXPECT_EQ(Difference(Snapshot(source), Snapshot(target)), "");
    ChildResult after = RunCommand(Quoted({other, target, L"/MIR"}), L"", 60000);
    EXPECT_EQ(after.exitCode, 1u | 2u) << after.output;
    EXPECT_EQ(Difference(Snapshot(other), Snapshot(target)), "");
}

} // namespace
