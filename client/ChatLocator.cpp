#include "client/ChatLocator.h"

#include "base/PathText.h"
#include "base/Platform.h"
#include "base/ScopedWin.h"
#include "base/Settings.h"

#include <climits>
#include <cwchar>

namespace {

constexpr const wchar_t CLIENT_TYPE_NAME[] = L"QQ2010";

constexpr const wchar_t TYPE_NAME_FORMAT[] =
    L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Tencent\\PlatForm_Type_List\\%d\\TypeName";
constexpr const wchar_t TYPE_PATH_FORMAT[] =
    L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Tencent\\PlatForm_Type_List\\%d\\TypePath";
// Room for either format with any int: the format's length plus 11 digits and a sign.
constexpr size_t TYPE_VALUE_PATH_CAPACITY = 96;

constexpr const wchar_t COMMON_DOCUMENTS_VALUE[] =
    L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders"
    L"\\Common Documents";
constexpr const wchar_t PERSONAL_VALUE[] =
    L"HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders"
    L"\\Personal";

constexpr const wchar_t SETTINGS_FILE_TAIL[] = L"\\Tencent\\QQ\\UserDataInfo.ini";
constexpr const wchar_t SECTION_USER_DATA_SET[] = L"UserDataSet";
constexpr const wchar_t KEY_USER_DATA_SAVE_PATH[] = L"UserDataSavePath";
constexpr const wchar_t DERIVED_DATA_DIR_NAME[] = L"Users";

// Walk entries are numbered 0 to 10; the walk goes down from the highest.
constexpr int PLATFORM_TYPE_TOP = 10;

// The number of the next platform type entry to examine. Process-wide and unguarded: only
// one search may run at a time (start-up finishes its search before the worker starts).
int g_platformTypeCursor = PLATFORM_TYPE_TOP;

struct RootName {
    const wchar_t* name;
    HKEY key;
};

// Compared in this order, each over its own length.
const RootName ROOT_NAMES[] = {
    {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {L"HKEY_USERS", HKEY_USERS},
};

HKEY FindRoot(const wchar_t* path)
{
    for (const RootName& root : ROOT_NAMES)
        if (wcsncmp(path, root.name, wcslen(root.name)) == 0) return root.key;
    return nullptr;
}

// text exactly, or null when it does not fit in capacity characters with its terminator.
wchar_t* CopyText(wchar_t* destination, size_t capacity, const wchar_t* text)
{
    size_t length = wcslen(text);
    if (length + 1 > capacity) return nullptr;
    wmemcpy(destination, text, length + 1);
    return destination;
}

// folder + "\Tencent\QQ\UserDataInfo.ini", or null when that does not fit: a path that
// would be cut names some other file, so it counts as no settings file.
wchar_t* FormSettingsPath(wchar_t* path, size_t capacity, const wchar_t* folder)
{
    size_t folderLength = wcslen(folder);
    size_t tailLength = wcslen(SETTINGS_FILE_TAIL);
    if (folderLength + tailLength + 1 > capacity) return nullptr;
    wmemcpy(path, folder, folderLength);
    wmemcpy(path + folderLength, SETTINGS_FILE_TAIL, tailLength + 1);
    return path;
}

// The data directory named by the settings file under folder, into value (room for
// PATH_CAPACITY). Null when there is no such file, key or usable value.
wchar_t* ReadSavePath(const wchar_t* folder, wchar_t* value)
{
    wchar_t settingsPath[PATH_CAPACITY];
    if (!FormSettingsPath(settingsPath, PATH_CAPACITY, folder)) return nullptr;
    return ReadSetting(settingsPath, SECTION_USER_DATA_SET, KEY_USER_DATA_SAVE_PATH, value,
                       PATH_CAPACITY);
}

// Whether something is left of text once StripLastComponent has removed its last
// component: a separator (not counting one trailing separator) with text before it.
bool HasParentComponent(const wchar_t* text)
{
    size_t n = wcslen(text);
    if (n > 0 && text[n - 1] == PATH_SEPARATOR) --n;
    while (n > 0 && text[n - 1] != PATH_SEPARATOR) --n;
    return n > 1; // n is just past the last separator
}

// RegistryReadString, also giving the value's registry type in *type (may be null).
wchar_t* ReadStringValue(const wchar_t* path, wchar_t* buffer, size_t capacity, DWORD* type)
{
    if (!path || !buffer || capacity == 0) return nullptr;
    HKEY root = FindRoot(path);
    if (!root) return nullptr;

    // The key path lies between the first and the last separator; the value name follows
    // the last. A text without both names no value.
    const wchar_t* first = wcschr(path, PATH_SEPARATOR);
    const wchar_t* last = wcsrchr(path, PATH_SEPARATOR);
    if (!first || first == last) return nullptr;
    size_t keyLength = static_cast<size_t>(last - first - 1);
    // Registry key paths are far shorter than this; a longer text names no key.
    wchar_t keyPath[PATH_CAPACITY];
    if (keyLength + 1 > PATH_CAPACITY) return nullptr;
    wmemcpy(keyPath, first + 1, keyLength);
    keyPath[keyLength] = L'\0';
    const wchar_t* valueName = last + 1;

    // The chat client is a 32-bit program: its machine-wide entries live in the 32-bit
    // view, and the 64-bit build must read the same ones the 32-bit build sees.
    UniqueRegKey key;
    if (RegOpenKeyExW(root, keyPath, 0, KEY_READ | KEY_WOW64_32KEY, key.put()) != ERROR_SUCCESS)
        return nullptr;

    // The size in bytes travels as a DWORD; a larger buffer is offered only in part.
    size_t usable = capacity > ULONG_MAX / sizeof(wchar_t) ? ULONG_MAX / sizeof(wchar_t) : capacity;
    DWORD bytes = static_cast<DWORD>(usable * sizeof(wchar_t));
    // The data is taken as a wide text as stored, whatever its type; a caller that cares
    // about the type is told it.
    LONG status = RegQueryValueExW(key.get(), valueName, nullptr, type,
                                   reinterpret_cast<BYTE*>(buffer), &bytes);
    if (status != ERROR_SUCCESS) {
        buffer[0] = L'\0';
        return nullptr;
    }
    // The stored data need not end with a terminator (an odd last byte is no character).
    // Data that fills the whole buffer and holds no terminator cannot be ended without
    // cutting it, so it is refused.
    size_t characters = bytes / sizeof(wchar_t);
    if (characters < usable) {
        buffer[characters] = L'\0';
    } else if (!wmemchr(buffer, L'\0', usable)) {
        buffer[0] = L'\0';
        return nullptr;
    }
    return buffer;
}

// A folder value as the shell means it, into folder (room for PATH_CAPACITY). The shell
// stores "User Shell Folders" values as REG_EXPAND_SZ, "%USERPROFILE%\Documents" for the
// personal folder, and a value of that type holds environment references to expand. A
// REG_SZ value is a plain text, used as stored: a percent sign in it is part of a folder's
// name. Null when the value cannot be read or its expansion does not fit.
wchar_t* ReadFolderValue(const wchar_t* path, wchar_t* folder)
{
    wchar_t stored[PATH_CAPACITY];
    DWORD type = REG_NONE;
    if (!ReadStringValue(path, stored, PATH_CAPACITY, &type)) return nullptr;
    if (type != REG_EXPAND_SZ) return CopyText(folder, PATH_CAPACITY, stored);
    // ExpandEnvironmentStringsW takes the room in characters and returns the characters
    // stored, terminator included; when the room is too small it returns the room needed
    // instead, and 0 when it fails. Source and destination must be different buffers.
    DWORD used = ExpandEnvironmentStringsW(stored, folder, static_cast<DWORD>(PATH_CAPACITY));
    if (used == 0 || used > PATH_CAPACITY) {
        folder[0] = L'\0';
        return nullptr;
    }
    return folder;
}

} // namespace

wchar_t* RegistryReadString(const wchar_t* path, wchar_t* buffer, size_t capacity)
{
    return ReadStringValue(path, buffer, capacity, nullptr);
}

bool NextPlatformType(wchar_t* typeName, wchar_t* typePath)
{
    if (!typeName || !typePath) {
        g_platformTypeCursor = PLATFORM_TYPE_TOP;
        return false;
    }
    // Below 0: entry 0 was the last one delivered; the walk stays ended until reset.
    if (g_platformTypeCursor < 0) return false;

    for (int n = g_platformTypeCursor; n >= 0; --n) {
        wchar_t valuePath[TYPE_VALUE_PATH_CAPACITY];
        wchar_t name[TYPE_NAME_CAPACITY];
        wchar_t path[PATH_CAPACITY];
        swprintf(valuePath, TYPE_VALUE_PATH_CAPACITY, TYPE_NAME_FORMAT, n);
        if (!RegistryReadString(valuePath, name, TYPE_NAME_CAPACITY)) continue;
        swprintf(valuePath, TYPE_VALUE_PATH_CAPACITY, TYPE_PATH_FORMAT, n);
        if (!RegistryReadString(valuePath, path, PATH_CAPACITY)) continue;
        CopyText(typeName, TYPE_NAME_CAPACITY, name);
        CopyText(typePath, PATH_CAPACITY, path);
        g_platformTypeCursor = n - 1;
        return true;
    }
    g_platformTypeCursor = PLATFORM_TYPE_TOP;
    return false;
}

bool LocateChatData(wchar_t* directory, size_t capacity)
{
    if (!directory || capacity == 0) return false;

    NextPlatformType(nullptr, nullptr);
    wchar_t typeName[TYPE_NAME_CAPACITY];
    wchar_t typePath[PATH_CAPACITY];
    // Only the first client entry of the walk counts, whatever the steps below give.
    for (;;) {
        if (!NextPlatformType(typeName, typePath)) return false;
        if (wcscmp(typeName, CLIENT_TYPE_NAME) == 0) break;
    }

    // A value found but too long for the caller is not found: handing on a later step's
    // directory instead would back up the wrong data.
    wchar_t folder[PATH_CAPACITY];
    wchar_t value[PATH_CAPACITY];
    if (!RegistryReadString(COMMON_DOCUMENTS_VALUE, folder, PATH_CAPACITY)) return false;
    StripTrailingSeparator(folder);
    if (ReadSavePath(folder, value)) return CopyText(directory, capacity, value) != nullptr;

    // The personal folder keeps a trailing separator; an expandable value is expanded.
    if (!ReadFolderValue(PERSONAL_VALUE, folder)) return false;
    if (ReadSavePath(folder, value)) return CopyText(directory, capacity, value) != nullptr;

    // The client's program lies in a folder beside its Users folder: D:\A\B\E.exe gives
    // D:\A\Users. A TypePath with nothing left once its last component is removed names
    // no such folder.
    if (!HasParentComponent(typePath)) return false;
    StripLastComponent(typePath);
    return JoinSibling(directory, capacity, typePath, DERIVED_DATA_DIR_NAME) != nullptr;
}
