// Finds the chat client's user-data directory from its registry entries and its
// UserDataInfo.ini. Registry values are read in the 32-bit view, where the client's
// entries live.
#pragma once

#include <cstddef>

constexpr size_t TYPE_NAME_CAPACITY = 32;

// Reads the string value named by "ROOT\key\path\value" into buffer (capacity in wide
// characters, terminator included). Null on any failure.
wchar_t* RegistryReadString(const wchar_t* path, wchar_t* buffer, size_t capacity);

// Delivers the next readable entry of the platform type list, walking down from the
// cursor, into typeName (TYPE_NAME_CAPACITY) and typePath (PATH_CAPACITY). With both
// outputs null it resets the walk to entry 10 and reports false.
bool NextPlatformType(wchar_t* typeName, wchar_t* typePath);

// Fills directory (capacity in wide characters) with the chat data directory. False when
// it is not found.
bool LocateChatData(wchar_t* directory, size_t capacity);
