// The copy tool's entry: the command line, the checks that must pass before anything is
// changed, the run, the summary and the exit status.
//
//   robocopy <source> <target> [/MIR] [/E] [/PURGE] [/R:n] [/W:n]
#include "tools/robocopy/MirrorTool.h"

#include "base/ScopedWin.h"

#include <cstdint>
#include <cwchar>
#include <cwctype>
#include <vector>

namespace {

struct CommandLine {
    std::wstring source; // as given
    std::wstring target;
    std::wstring linkReference; // as given, empty when none
    std::wstring optionText; // as the header shows them
    bool help = false;
};

// "/LINKDEST:folder" (the command line's quotes are gone by now).
constexpr wchar_t LINKDEST_OPTION[] = L"/LINKDEST:";
constexpr size_t LINKDEST_OPTION_LENGTH = sizeof LINKDEST_OPTION / sizeof LINKDEST_OPTION[0] - 1;

bool EqualsIgnoringCase(const wchar_t* a, const wchar_t* b) { return _wcsicmp(a, b) == 0; }

// Reads n of "/R:n" or "/W:n": decimal digits only, at most max.
bool ParseCount(const wchar_t* text, unsigned max, unsigned* value)
{
    if (*text == L'\0') return false;
    unsigned long long n = 0;
    for (const wchar_t* p = text; *p; ++p) {
        if (*p < L'0' || *p > L'9') return false;
        n = n * 10 + static_cast<unsigned>(*p - L'0');
        if (n > max) return false;
    }
    *value = static_cast<unsigned>(n);
    return true;
}

// Fills *line and *options from the arguments; false with *problem on a usage error.
bool ParseArguments(int argc, wchar_t** argv, CommandLine* line, ToolOptions* options, std::wstring* problem)
{
    std::vector<std::wstring> paths;
    for (int k = 1; k < argc; ++k) {
        const wchar_t* arg = argv[k];
        if (arg[0] != L'/') {
            if (paths.size() == 2) {
                *problem = L"Unexpected argument: ";
                *problem += arg;
                return false;
            }
            paths.push_back(arg);
            continue;
        }
        if (EqualsIgnoringCase(arg, L"/?")) {
            line->help = true;
        } else if (EqualsIgnoringCase(arg, L"/MIR")) {
            options->subdirectories = options->purge = true;
        } else if (EqualsIgnoringCase(arg, L"/E")) {
            options->subdirectories = true;
        } else if (EqualsIgnoringCase(arg, L"/PURGE")) {
            options->purge = true;
        } else if (_wcsnicmp(arg, LINKDEST_OPTION, LINKDEST_OPTION_LENGTH) == 0) {
            line->linkReference = arg + LINKDEST_OPTION_LENGTH;
            if (line->linkReference.empty()) {
                *problem = L"No folder given with /LINKDEST:";
                return false;
            }
        } else if ((arg[1] == L'R' || arg[1] == L'r') && arg[2] == L':') {
            if (!ParseCount(arg + 3, MAX_RETRIES, &options->retries)) {
                *problem = FormatText(L"Invalid retry count (0 to %u): ", MAX_RETRIES) + arg;
                return false;
            }
        } else if ((arg[1] == L'W' || arg[1] == L'w') && arg[2] == L':') {
            if (!ParseCount(arg + 3, MAX_WAIT_SECONDS, &options->waitSeconds)) {
                *problem = FormatText(L"Invalid wait time (0 to %u seconds): ", MAX_WAIT_SECONDS) + arg;
                return false;
            }
        } else {
            *problem = L"Invalid parameter: ";
            *problem += arg;
            return false;
        }
    }
    if (line->help) return true;
    if (paths.size() < 2) {
        *problem = paths.empty() ? L"No source directory given." : L"No target directory given.";
        return false;
    }
    line->source = paths[0];
    line->target = paths[1];
    if (options->subdirectories && options->purge) line->optionText = L"/MIR";
    else if (options->subdirectories) line->optionText = L"/E";
    if (options->purge && !options->subdirectories) line->optionText = L"/PURGE";
    line->optionText += FormatText(L"%ls/R:%u /W:%u", line->optionText.empty() ? L"" : L" ", options->retries,
                                   options->waitSeconds);
    if (line->optionText[0] == L' ') line->optionText.erase(0, 1);
    return true;
}

// Full path of a path given on the command line: "C:\dir" or "\\server\share\dir", no
// trailing separator except in a drive's root ("C:\"). False for a text that cannot name
// a directory (empty, wildcards, quotes, control characters, streams, device paths).
bool NormalizePath(const std::wstring& given, std::wstring* full)
{
    std::wstring path = given;
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) path = L"\\\\" + path.substr(8);
    else if (path.rfind(L"\\\\?\\", 0) == 0) path = path.substr(4);
    if (path.empty() || path.rfind(L"\\\\.\\", 0) == 0) return false;
    for (size_t k = 0; k < path.size(); ++k) {
        wchar_t c = path[k];
        if (c < 32 || wcschr(L"\"*?<>|", c)) return false;
        if (c == L':' && k != 1) return false;
    }
    std::vector<wchar_t> buffer(LONG_PATH_CAPACITY);
    DWORD n = GetFullPathNameW(path.c_str(), LONG_PATH_CAPACITY, buffer.data(), nullptr);
    if (n == 0 || n >= LONG_PATH_CAPACITY) return false;
    *full = std::wstring(buffer.data(), n);
    while (full->size() > 3 && full->back() == L'\\') full->pop_back();
    bool drive = full->size() >= 3 && iswalpha((*full)[0]) && (*full)[1] == L':' && (*full)[2] == L'\\';
    bool unc = full->rfind(L"\\\\", 0) == 0 && full->size() > 2 && (*full)[2] != L'\\';
    return drive || unc;
}

// The checks that must pass before anything is changed. Reports the reason and returns
// false when the run must not go on.
bool CheckPaths(const ToolOptions& options)
{
    if (IsVolumeRoot(options.target)) {
        ReportLine(L"ERROR : The target is the root of a drive or share. Mirroring into it would");
        ReportLine(L"        remove everything there that the source does not have. Name a directory.");
        return false;
    }
    std::wstring source = ResolvedPath(options.source);
    std::wstring target = ResolvedPath(options.target);
    if (IsVolumeRoot(target)) {
        ReportLine(L"ERROR : The target leads to the root of a drive or share: " + target);
        return false;
    }
    // Nested trees would copy into themselves without end, or purge the source.
    if (IsSameOrInside(options.target, options.source) || IsSameOrInside(options.source, options.target) ||
        IsSameOrInside(target, source) || IsSameOrInside(source, target)) {
        ReportLine(L"ERROR : The source and the target must be separate directories; neither may");
        ReportLine(L"        lie inside the other.");
        return false;
    }
    DWORD attributes = GetFileAttributesW(LongPathOf(options.source).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        ReportError(GetLastError(), L"Accessing source directory", options.source);
        return false;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ReportLine(L"ERROR : The source is not a directory: " + options.source);
        return false;
    }
    attributes = GetFileAttributesW(LongPathOf(options.target).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ReportLine(L"ERROR : The target exists and is not a directory: " + options.target);
        return false;
    }
    return true;
}

// The name of the lock that a run holds on its target: the target's path with links
// resolved (two spellings of one folder, a junction to it, give one name), upper-cased as
// the file system compares names, hashed (FNV-1a, 64 bits) into hex digits, since an
// object name may hold no backslash beyond its namespace prefix and no more than MAX_PATH
// characters. In the global namespace: a slot is a folder on disk that a runner in any
// session can reach (a second logon, a remote session, a scheduled task), and a lock in one
// session's namespace would not keep a run in another session out. A mutex may be made
// there from any session without a privilege (only file mappings and symbolic links need
// one).
std::wstring TargetLockName(const std::wstring& target)
{
    std::wstring resolved = ResolvedPath(target);
    std::wstring folded = resolved;
    // LCMAP_UPPERCASE in the invariant locale folds as the file system does, whatever the
    // user's language.
    int n = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, resolved.c_str(), static_cast<int>(resolved.size()),
                          folded.data(), static_cast<int>(folded.size()), nullptr, nullptr, 0);
    if (n != static_cast<int>(folded.size())) folded = resolved;
    uint64_t hash = 14695981039346656037ull;
    for (wchar_t c : folded) {
        for (int byte = 0; byte < 2; ++byte) {
            hash ^= static_cast<unsigned char>(static_cast<unsigned>(c) >> (8 * byte));
            hash *= 1099511628211ull;
        }
    }
    return FormatText(L"Global\\Kestova_CopyTarget_%016llx", static_cast<unsigned long long>(hash));
}

// Takes the lock on the target for the rest of the run (the platform lets it go when the
// process ends, however it ends). False, with the reason reported, when another run holds
// it or it cannot be taken: this run must then change nothing.
bool LockTarget(const std::wstring& target, UniqueHandle* lock)
{
    // A named mutex that exists already is opened as it is and not owned: ownership is
    // what tells a live holder, so it is waited for, without waiting. A holder that ended
    // without letting go leaves it abandoned, which this run then owns.
    lock->reset(CreateMutexW(nullptr, FALSE, TargetLockName(target).c_str()));
    DWORD error = GetLastError();
    if (*lock) {
        DWORD taken = WaitForSingleObject(lock->get(), 0);
        if (taken == WAIT_OBJECT_0 || taken == WAIT_ABANDONED) return true;
        error = taken == WAIT_TIMEOUT ? ERROR_ACCESS_DENIED : GetLastError();
        lock->reset();
    }
    // Another user's run holds a lock that this user may not open: the same answer.
    if (error == ERROR_ACCESS_DENIED) {
        ReportLine(L"ERROR : Another run of the copy tool is writing into the target: " + target);
        ReportLine(L"        Nothing was changed; the target is free again once that run has ended.");
    } else {
        ReportError(error, L"Locking target directory", target);
    }
    return false;
}

int ExitStatusOf(const MirrorStats& stats)
{
    int status = 0;
    // A linked file is written into the target as much as a copied one.
    if (stats.files.copied || stats.linkedFiles) status |= EXIT_FILES_COPIED;
    if (stats.files.extras || stats.dirs.extras) status |= EXIT_EXTRAS;
    if (stats.files.mismatch || stats.dirs.mismatch) status |= EXIT_MISMATCH;
    if (stats.files.failed || stats.dirs.failed) status |= EXIT_FAILED;
    return status;
}

// The tool's body, run under RunGuarded.
int MirrorMain(int argc, wchar_t** argv)
{
    ULONGLONG startTick = GetTickCount64();
    std::wstring started = ReportTimeText();

    CommandLine line;
    ToolOptions options;
    std::wstring problem;
    bool parsed = ParseArguments(argc, argv, &line, &options, &problem);
    if (!parsed || line.help) {
        ReportUsage();
        if (!parsed) ReportLine(L"ERROR : " + problem);
        ReportEnded();
        return EXIT_FATAL;
    }
    bool sourceOk = NormalizePath(line.source, &options.source);
    bool targetOk = NormalizePath(line.target, &options.target);
    if (!sourceOk) options.source = line.source;
    if (!targetOk) options.target = line.target;
    bool referenceOk = line.linkReference.empty() || NormalizePath(line.linkReference, &options.linkReference);
    if (!referenceOk) options.linkReference = line.linkReference;
    ReportHeader(started.c_str(), options, line.optionText.c_str());
    if (!sourceOk || !targetOk) {
        ReportLine(std::wstring(L"ERROR : Invalid ") + (sourceOk ? L"target" : L"source") +
                   L" directory: " + (sourceOk ? line.target : line.source));
        ReportEnded();
        return EXIT_FATAL;
    }
    if (!referenceOk) {
        ReportLine(L"ERROR : Invalid /LINKDEST directory: " + line.linkReference);
        ReportEnded();
        return EXIT_FATAL;
    }
    if (!CheckPaths(options)) {
        ReportEnded();
        return EXIT_FATAL;
    }
    // Two runs never write into one target at once.
    UniqueHandle targetLock;
    if (!LockTarget(options.target, &targetLock)) {
        ReportEnded();
        return EXIT_FATAL;
    }

    MirrorStats stats;
    MirrorTree(options, &stats);
    ReportSummary(stats, !options.linkReference.empty(), GetTickCount64() - startTick);
    ReportEnded();
    return ExitStatusOf(stats);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    InstallAbortHandlers();
    return RunGuarded(MirrorMain, argc, argv);
}
