#include "tests/support/Scratch.h"

#include "base/FileTree.h"
#include "base/ScopedWin.h"

#include <atomic>
#include <cwchar>
#include <vector>

static std::wstring TempRoot()
{
    wchar_t buffer[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
    std::wstring root(buffer, n);
    if (!root.empty() && root.back() == L'\\') root.pop_back();
    return root;
}

ScratchDir::ScratchDir()
{
    static std::atomic<unsigned> counter{0};
    std::wstring root = TempRoot();
    for (;;) {
        wchar_t name[64];
        swprintf(name, 64, L"\\kestova-test-%lu-%u", GetCurrentProcessId(), counter.fetch_add(1));
        path_ = root + name;
        if (CreateDirectoryW(path_.c_str(), nullptr)) return;
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            // Fall back to a folder beside the test program.
            MakeDirs(path_);
            return;
        }
    }
}

ScratchDir::~ScratchDir()
{
    RemoveTree(path_);
}

// The extended-length form, so that trees deeper than MAX_PATH work too.
static std::wstring Extended(const std::wstring& path)
{
    std::vector<wchar_t> extended(EXTENDED_PATH_CAPACITY);
    return ExtendedLengthPath(extended.data(), extended.size(), path.c_str()) ? extended.data() : path;
}

bool MakeDirs(const std::wstring& path)
{
    if (path.empty() || IsDirectory(path)) return true;
    size_t cut = path.find_last_of(L'\\');
    if (cut != std::wstring::npos && cut > 0 && !MakeDirs(path.substr(0, cut))) return false;
    return CreateDirectoryW(Extended(path).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes)
{
    size_t cut = path.find_last_of(L'\\');
    if (cut != std::wstring::npos) MakeDirs(path.substr(0, cut));
    UniqueHandle file(CreateFileW(Extended(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    BOOL ok = bytes.empty() ||
              WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    return ok && written == bytes.size();
}

bool ReadBytes(const std::wstring& path, std::string* bytes)
{
    UniqueHandle file(CreateFileW(Extended(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    bytes->clear();
    char chunk[65536];
    DWORD got = 0;
    BOOL ok;
    while ((ok = ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr)) && got > 0) bytes->append(chunk, got);
    return ok != FALSE;
}

namespace {
void SnapshotInto(const std::wstring& root, const std::wstring& relative, TreeSnapshot* tree)
{
    std::wstring dir = relative.empty() ? root : root + L"\\" + relative;
    WIN32_FIND_DATAW found;
    UniqueFindHandle listing(FindFirstFileW((Extended(dir) + L"\\*").c_str(), &found));
    if (!listing) return;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        std::wstring child = relative.empty() ? name : relative + L"\\" + name;
        TreeEntry entry;
        entry.directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entry.lastWrite = (uint64_t(found.ftLastWriteTime.dwHighDateTime) << 32) | found.ftLastWriteTime.dwLowDateTime;
        entry.attributes = found.dwFileAttributes & SNAPSHOT_ATTRIBUTES;
        if (entry.directory) SnapshotInto(root, child, tree);
        else if (!ReadBytes(root + L"\\" + child, &entry.bytes)) entry.bytes = UNREADABLE;
        (*tree)[child] = entry;
    } while (FindNextFileW(listing.get(), &found));
}
} // namespace

TreeSnapshot Snapshot(const std::wstring& root)
{
    TreeSnapshot tree;
    SnapshotInto(root, L"", &tree);
    return tree;
}

void PrintTo(const TreeEntry& entry, std::ostream* out)
{
    if (entry.directory) *out << "<folder>";
    else *out << entry.bytes.size() << " bytes";
    *out << " written " << entry.lastWrite << " attributes " << entry.attributes;
}

std::string Difference(const TreeSnapshot& expected, const TreeSnapshot& actual)
{
    for (const auto& [name, entry] : expected) {
        auto found = actual.find(name);
        if (found == actual.end()) return "missing: " + Narrow(name);
        if (found->second.directory != entry.directory) return "kind differs: " + Narrow(name);
        if (found->second.bytes != entry.bytes) return "contents differ: " + Narrow(name);
        if (found->second.lastWrite != entry.lastWrite) return "time differs: " + Narrow(name);
        if (found->second.attributes != entry.attributes) return "attributes differ: " + Narrow(name);
    }
    for (const auto& [name, entry] : actual)
        if (!expected.count(name)) return "extra: " + Narrow(name);
    return "";
}

bool PathExists(const std::wstring& path)
{
    return GetFileAttributesW(Extended(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsDirectory(const std::wstring& path)
{
    DWORD a = GetFileAttributesW(Extended(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

DWORD CurrentHandleCount()
{
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

namespace {
std::string InCodePage(UINT codePage, const std::wstring& text)
{
    int n = WideCharToMultiByte(codePage, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(codePage, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}
} // namespace

std::string Narrow(const std::wstring& text) { return InCodePage(CP_UTF8, text); }

std::string Gbk(const std::wstring& text) { return InCodePage(CODE_PAGE_GBK, text); }

bool FromGbk(const std::string& bytes, std::wstring* text)
{
    int size = static_cast<int>(bytes.size());
    int n = MultiByteToWideChar(CODE_PAGE_GBK, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
    if (n == 0 && size > 0) return false;
    text->assign(n, L'\0');
    return MultiByteToWideChar(CODE_PAGE_GBK, MB_ERR_INVALID_CHARS, bytes.data(), size, text->data(), n) == n;
}
