// The copy tool's report, as the tool writes it and as its readers read it: the runner
// takes the completion stamp from its end, the companion the failures and the summary
// from logs.txt. The tool writes its lines in the ANSI code page, ending each with CR LF;
// every label below is ASCII, one byte a character in any code page.
#pragma once

#include <cstddef>

// Header and summary rows: the label right-aligned in REPORT_LABEL_WIDTH characters,
// then " : " and the value ("   Files : 12 3 9 0 0 0").
constexpr int REPORT_LABEL_WIDTH = 8;
constexpr const wchar_t REPORT_STARTED[] = L"Started";
constexpr const wchar_t REPORT_SOURCE[] = L"Source";
constexpr const wchar_t REPORT_TARGET[] = L"Target";
constexpr const wchar_t REPORT_LINK_REFERENCE[] = L"LinkDest";
constexpr const wchar_t REPORT_OPTIONS[] = L"Options";
constexpr const wchar_t REPORT_DIRS[] = L"Dirs";
constexpr const wchar_t REPORT_FILES[] = L"Files";
constexpr const wchar_t REPORT_BYTES[] = L"Bytes";
constexpr const wchar_t REPORT_LINKED[] = L"Linked";
constexpr const wchar_t REPORT_TIMES[] = L"Times";
constexpr const wchar_t REPORT_ENDED[] = L"Ended";

// The columns of the Dirs, Files and Bytes rows, in order; the row's numbers are
// separated by blanks.
constexpr const wchar_t* const REPORT_COLUMNS[] = {L"Total", L"Copied", L"Skipped", L"Mismatch", L"FAILED",
                                                   L"Extras"};
constexpr int REPORT_FAILED_COLUMN = 4;

// An error line: "ERROR <code> (0x<code, 8 hex digits>) <what> <path>". The path of a file
// that could not be written into the target follows one of the two file operations.
constexpr const wchar_t REPORT_ERROR_PREFIX[] = L"ERROR ";
constexpr const wchar_t REPORT_COPYING_FILE[] = L"Copying file";
constexpr const wchar_t REPORT_FOLLOWING_FILE_LINK[] = L"Following file link";

// The very last line is the Ended row: the completion stamp "Www Mmm dd hh:mm:ss yyyy",
// always REPORT_STAMP_CHARS ASCII characters (bytes), then CR LF. The runner stores it as the slot's
// completion stamp.
constexpr size_t REPORT_STAMP_CHARS = 24;
constexpr size_t REPORT_STAMP_TAIL_CHARS = REPORT_STAMP_CHARS + 2;

namespace report_detail {
// Reached only for a label that is not ASCII, which makes the constant evaluation (and so
// the build) fail.
inline void LabelIsNotAscii() {}
} // namespace report_detail

// A label of the report as narrow text, for a reader of the report's ANSI bytes.
template <size_t N>
struct ReportText {
    char text[N] = {};
    constexpr explicit ReportText(const wchar_t (&wide)[N])
    {
        for (size_t i = 0; i < N; ++i) {
            if (wide[i] > 0x7F) report_detail::LabelIsNotAscii();
            text[i] = static_cast<char>(wide[i]);
        }
    }
    constexpr size_t size() const { return N - 1; }
};
