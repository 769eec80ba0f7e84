// What the copy tool refuses before it changes anything, and what escapes its body: each
// ends the run with a failure status that no caller can take for success.
#include "tests/tools/CopyToolHarness.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/Scratch.h"
#include "tools/robocopy/MirrorTool.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Every refusal ends the run before anything is changed, with status 16.
TEST_F(CopyTool, RefusesBadCommandLinesAndUnsafeTargets)
{
    ASSERT_TRUE(WriteFileAt(source + L"\\a.txt", "a"));
    ASSERT_TRUE(WriteFileAt(scratch / L"file.txt", "f"));
    wchar_t drive[8] = L"";
    GetEnvironmentVariableW(L"KESTOVA_TEST_ROOT_DRIVE", drive, 8);
    struct Case {
        const char* name;
        std::vector<std::wstring> args;
        const char* says;
    };
    const std::vector<Case> cases = {
        {"no arguments", {}, "Usage:"},
        {"help", {L"/?"}, "Usage:"},
        {"no target", {source, L"/MIR"}, "No target"},
        {"unknown option", {source, target, L"/MIR", L"/XYZ"}, "Invalid parameter: /XYZ"},
        {"bad retry count", {source, target, L"/R:many"}, "Invalid retry count"},
        {"wait too long", {source, target, L"/W:99999"}, "Invalid wait time"},
        {"link reference without a folder", {source, target, L"/MIR", L"/LINKDEST:"}, "No folder given"},
        {"link reference with a wildcard", {source, target, L"/MIR", L"/LINKDEST:" + source + L"\\*"},
         "Invalid /LINKDEST"},
        {"third path", {source, target, L"*.txt"}, "Unexpected argument"},
        {"wildcard path", {source + L"\\*", target, L"/MIR"}, "Invalid source"},
        {"missing source", {scratch / L"nothing", target, L"/MIR"}, "Accessing source"},
        {"source is a file", {scratch / L"file.txt", target, L"/MIR"}, "not a directory"},
        {"target is a file", {source, scratch / L"file.txt", L"/MIR"}, "not a directory"},
        {"target is the source", {source, source + L"\\", L"/MIR"}, "separate directories"},
        {"target inside the source", {source, source + L"\\sub", L"/MIR"}, "separate directories"},
        {"target inside, other case", {source, scratch / L"SRC\\..\\src\\sub", L"/MIR"}, "separate directories"},
        {"source inside the target", {source, scratch.path(), L"/MIR"}, "separate directories"},
        {"target is a drive root", {source, std::wstring(drive) + L"\\", L"/MIR"}, "root of a drive"},
    };
    TreeSnapshot before = Snapshot(scratch.path());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.args.size() > 1 && c.args[1] == L"\\") continue; // no test drive here
        ToolRun run = RunTool(c.args);
        EXPECT_EQ(run.exitCode, 16u) << run.output;
        EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
        ExpectEndedLast(run.output);
        EXPECT_EQ(Difference(before, Snapshot(scratch.path())), "");
        EXPECT_FALSE(PathExists(target));
    }
}

// What escapes the tool's body ends the run with a failure status the caller cannot take
// for success, and the report still ends with its last line.
KESTOVA_CHILD(copytool_guarded)
{
    int (*body)(int, wchar_t**) = nullptr;
    if (args[0] == L"bad_alloc") body = [](int, wchar_t**) -> int { ReportLine(L"Working"); throw std::bad_alloc(); };
    if (args[0] == L"runtime_error")
        body = [](int, wchar_t**) -> int { throw std::runtime_error("broken invariant"); };
    if (args[0] == L"abort") {
        InstallAbortHandlers();
        body = [](int, wchar_t**) -> int { abort(); };
    }
    if (args[0] == L"terminate") {
        InstallAbortHandlers();
        body = [](int, wchar_t**) -> int { std::terminate(); };
    }
    return body ? RunGuarded(body, 0, nullptr) : 99;
}

TEST(CopyToolGuard, EscapesAndAbortsEndAsFailures)
{
    struct Case {
        const wchar_t* how;
        bool reported; // the report ends with the error and its usual last line
        const char* says;
    };
    const Case cases[] = {
        {L"bad_alloc", true, "internal error (out of memory)"},
        {L"runtime_error", true, "internal error (broken invariant)"},
        {L"abort", false, ""},
        {L"terminate", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.how));
        ChildResult r = RunChild(CurrentExePath(), L"copytool_guarded", {c.how});
        ASSERT_TRUE(r.started);
        EXPECT_EQ(r.exitCode, 24u) << r.output;
        if (c.reported) {
            EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
            ExpectEndedLast(r.output);
        }
    }
}

} // namespace
