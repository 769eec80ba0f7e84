// What the copy tool's tests share: the built tool run on trees in a scratch folder, files
// written with a fixed old time and given attributes, and the report's last line and
// summary rows read back.
#pragma once

#include "base/Platform.h"
#include "tests/support/Scratch.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

// The path in its long form, past MAX_PATH.
std::wstring Long(const std::wstring& path);

bool SetWriteTime(const std::wstring& path, uint64_t ticks);

// A fixed, old time, so a copy made "now" can never match it by chance.
constexpr uint64_t TIME_2009 = 128738592000000000ull;

bool WriteFileAt(const std::wstring& path, const std::string& bytes, uint64_t ticks = TIME_2009);

bool AddAttributes(const std::wstring& path, DWORD attributes);

// Deterministic contents of a given length.
std::string Pattern(size_t length, unsigned seed);

// The last line is "   Ended : " + "Www Mmm dd hh:mm:ss yyyy" + CR LF, day blank-padded,
// and it names the present moment (checked to the day).
void ExpectEndedLast(const std::string& output);

// The six numbers of a summary row ("Dirs", "Files", "Bytes"): total, copied, skipped,
// mismatch, failed, extras. Empty when the row is missing.
std::vector<uint64_t> SummaryRow(const std::string& output, const std::string& label);

struct ToolRun {
    DWORD exitCode = 0;
    std::string output;
};

// The built tool with these arguments, waited for.
ToolRun RunTool(const std::vector<std::wstring>& args);

class CopyTool : public ::testing::Test {
protected:
    ScratchDir scratch;
    std::wstring source = scratch / L"src";
    std::wstring target = scratch / L"dst";

    ToolRun Mirror(std::vector<std::wstring> extra = {})
    {
        std::vector<std::wstring> args = {source, target, L"/MIR"};
        args.insert(args.end(), extra.begin(), extra.end());
        ToolRun run = RunTool(args);
        ExpectEndedLast(run.output);
        return run;
    }
};
