#include "base/FileCalls.h"

#include <atomic>

const FileCalls REAL_FILE_CALLS = {
    CreateFileW,      CloseHandle,      MoveFileExW,          DeleteFileW,
    RemoveDirectoryW, CreateDirectoryW, SetFileAttributesW,   GetFileAttributesExW,
    CreateHardLinkW,  SetFileTime,      FindFirstFileExW,     GetVolumeInformationW,
};

namespace {

std::atomic<const FileCalls*> inForce{&REAL_FILE_CALLS};

} // namespace

const FileCalls& Files() { return *inForce.load(std::memory_order_acquire); }

DWORD AttributesOf(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    return Files().getFileAttributesEx(path.c_str(), GetFileExInfoStandard, &data) ? data.dwFileAttributes
                                                                                   : INVALID_FILE_ATTRIBUTES;
}

ScopedFileCalls::ScopedFileCalls(const FileCalls& calls)
    : previous_(inForce.exchange(&calls, std::memory_order_acq_rel))
{
}

ScopedFileCalls::~ScopedFileCalls() { inForce.store(previous_, std::memory_order_release); }
