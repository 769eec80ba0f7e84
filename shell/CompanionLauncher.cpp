#include "shell/CompanionLauncher.h"

#include "base/PathText.h"
#include "base/Settings.h"
#include "contracts/ProgramFiles.h"
#include "shell/ShellSeams.h"

#include <cwchar>

namespace {

const wchar_t* CompanionParameters(CompanionMode mode)
{
    switch (mode) {
    case COMPANION_OPTIONS: return L"--options";
    case COMPANION_RESTORE: return L"--restore";
    }
    return nullptr;
}

} // namespace

void LaunchCompanion(CompanionMode mode)
{
    const wchar_t* parameters = CompanionParameters(mode);
    if (!parameters) return;
    wchar_t directory[PATH_CAPACITY];
    if (!GetProgramDir(directory, PATH_CAPACITY)) return;

    // The file text is quoted, so a directory with blanks still names one file. Room for
    // the longest directory, the separator, the file name and both quotes.
    wchar_t file[PATH_CAPACITY + ARRAYSIZE(COMPANION_FILE_NAME) + 3];
    int written = swprintf(file, ARRAYSIZE(file), L"\"%ls%lc%ls\"", directory, PATH_SEPARATOR,
                           COMPANION_FILE_NAME);
    if (written < 0 || static_cast<size_t>(written) >= ARRAYSIZE(file)) return;

    // Fire and forget: the companion reports its own failures; no handle is kept.
    shellSeams.shellExecute(nullptr, L"open", file, parameters, directory, SW_SHOWNORMAL);
}
