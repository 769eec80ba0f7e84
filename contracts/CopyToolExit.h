// The copy tool's exit status: bits, combined. Shared by the tool that sets them and by
// every caller that judges them, so "8 and up is a failure" has one definition.
#pragma once

constexpr int COPY_EXIT_FILES_COPIED = 1;
constexpr int COPY_EXIT_EXTRAS = 2;     // entries only the target had (removed when purging)
constexpr int COPY_EXIT_MISMATCH = 4;   // a file in one tree where the other has a directory
constexpr int COPY_EXIT_FAILED = 8;     // some copy, removal or listing failed
constexpr int COPY_EXIT_FATAL = 16;     // usage error or unusable source/target; nothing changed

// The lowest status that reports a failure: everything below it only describes changes.
constexpr int COPY_EXIT_FIRST_FAILURE = COPY_EXIT_FAILED;
