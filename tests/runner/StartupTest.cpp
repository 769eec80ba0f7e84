#include "runner/Startup.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

namespace {

TEST(ParseOptions, MatchesWholeArgumentsInTheirExactCase)
{
    struct Case {
        const wchar_t* tail;
        bool backupNow, restore, quit;
    };
    const Case cases[] = {
        {L"", false, false, false},
        {L"-b", true, false, false},
        {L"--backupnow", true, false, false},
        {L"-r", false, true, false},
        {L"--restore", false, true, false},
        {L"-q", false, false, true},
        {L"--quit", false, false, true},
        {L"-r -q", false, true, true},
        {L"-b\t--restore   --quit", true, true, true},
        {L"-b -b --backupnow", true, false, false},
        // Quoting is the splitter's business: the argument itself is "-q".
        {L"\"-q\"", false, false, true},
        {L"other --restore more", false, true, false},
        // Another case, a prefix, a longer argument or two options run together: nothing.
        {L"-B --BACKUPNOW --Restore -Q", false, false, false},
        {L"--backupnow=1 -bq --quitnow -", false, false, false},
        {L"b restore quit", false, false, false},
        // One argument holding a blank is not two options.
        {L"\"-b -q\"", false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "tail: " << std::string(c.tail, c.tail + wcslen(c.tail)));
        StartupOptions options = ParseOptions(c.tail);
        EXPECT_EQ(options.backupNow, c.backupNow);
        EXPECT_EQ(options.restore, c.restore);
        EXPECT_EQ(options.quit, c.quit);
    }
}

} // namespace
