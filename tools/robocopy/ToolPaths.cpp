// Paths as the tool compares them: volume roots, and the path a directory really has once
// links are resolved. The long form and nesting are base/FileTree.h's (LongPathOf,
// IsSameOrInside).
#include "tools/robocopy/MirrorTool.h"

#include "base/ScopedWin.h"

#include <vector>

bool IsVolumeRoot(const std::wstring& full)
{
    if (full.size() <= 3 && full.size() >= 2 && full[1] == L':') return true;
    if (full.rfind(L"\\\\", 0) == 0) {
        size_t first = full.find(L'\\', 2);
        if (first == std::wstring::npos) return true;
        size_t second = full.find(L'\\', first + 1);
        return second == std::wstring::npos || second + 1 == full.size();
    }
    return false;
}

namespace {

// The plain form of a full path that may be in its long form.
std::wstring PlainPathOf(const std::wstring& path)
{
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + path.substr(8);
    if (path.rfind(L"\\\\?\\", 0) == 0) return path.substr(4);
    return path;
}

} // namespace

std::wstring ResolvedPath(const std::wstring& given)
{
    std::wstring full = PlainPathOf(given);
    std::wstring existing = full;
    std::wstring rest;
    for (;;) {
        UniqueHandle h(CreateFileW(LongPathOf(existing).c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (h) {
            std::vector<wchar_t> buffer(LONG_PATH_CAPACITY);
            DWORD n = GetFinalPathNameByHandleW(h.get(), buffer.data(), LONG_PATH_CAPACITY,
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
            if (n == 0 || n >= LONG_PATH_CAPACITY) return full;
            std::wstring resolved = PlainPathOf(std::wstring(buffer.data(), n));
            while (resolved.size() > 3 && resolved.back() == L'\\') resolved.pop_back();
            if (!rest.empty() && resolved.back() == L'\\') rest.erase(0, 1);
            return resolved + rest;
        }
        if (IsVolumeRoot(existing)) return full;
        size_t cut = existing.find_last_of(L'\\');
        if (cut == std::wstring::npos) return full;
        rest = existing.substr(cut) + rest;
        existing.resize(cut);
        if (existing.size() == 2 && existing[1] == L':') existing += L'\\';
    }
}

