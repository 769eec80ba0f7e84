#include "contracts/ProgramFiles.h"

#include "base/Settings.h"

wchar_t* GetConfigPath(wchar_t* buffer, size_t capacity)
{
    return GetProgramFilePath(buffer, capacity, CONFIG_FILE_NAME);
}

wchar_t* GetLogPath(wchar_t* buffer, size_t capacity)
{
    return GetProgramFilePath(buffer, capacity, LOG_FILE_NAME);
}

wchar_t* GetCompanionPath(wchar_t* buffer, size_t capacity)
{
    return GetProgramFilePath(buffer, capacity, COMPANION_FILE_NAME);
}
