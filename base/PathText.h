// Path and text helpers over zero-terminated wide texts. The backslash is the only
// separator; nothing here touches the file system.
//
// Every operation accepts a missing (null) text and then returns null. Operations that
// write into a destination take its capacity in characters, terminator included, and
// return null instead of writing past it.
#pragma once

#include <cstddef>

constexpr wchar_t PATH_SEPARATOR = L'\\';
constexpr const wchar_t PATH_SEPARATOR_TEXT[] = L"\\";

// Room of every path buffer in the system, in wide characters, terminator included.
constexpr size_t PATH_CAPACITY = 4096;

// Removes one trailing separator, if the text ends with one.
wchar_t* StripTrailingSeparator(wchar_t* text);

// StripTrailingSeparator, then cuts the text where its last separator stood.
// A text with no separator is left as it is.
wchar_t* StripLastComponent(wchar_t* text);

// destination := base without one trailing separator, a separator, then tail.
// Null when base or tail is missing or the result needs more than capacity characters.
wchar_t* JoinPath(wchar_t* destination, size_t capacity, const wchar_t* base, const wchar_t* tail);

// destination := StripLastComponent(base), a separator, then tail: a path beside base.
// Null when any text is missing or the result does not fit.
wchar_t* JoinSibling(wchar_t* destination, size_t capacity, const wchar_t* base, const wchar_t* tail);

// The text after the last separator; the whole text when it holds none.
const wchar_t* LastComponent(const wchar_t* text);

// First and last occurrence of needle in text, compared exactly. An empty needle is found
// at the start (FindFirst) or at the terminator (FindLast).
const wchar_t* FindFirst(const wchar_t* needle, const wchar_t* text);
const wchar_t* FindLast(const wchar_t* needle, const wchar_t* text);

// Fold A-Z to a-z (or a-z to A-Z) in place; every other character is left alone.
void ToLowerAscii(wchar_t* text);
void ToUpperAscii(wchar_t* text);

// Converts narrow text in the system ANSI code page, terminator included, into wide.
// Null when an argument is missing, capacity is 0 or the text does not fit.
wchar_t* AnsiToWide(wchar_t* wide, size_t capacity, const char* narrow);
