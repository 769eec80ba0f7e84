#include "base/PathText.h"

#include "base/Platform.h"

#include <climits>
#include <cwchar>

wchar_t* StripTrailingSeparator(wchar_t* text)
{
    if (!text) return nullptr;
    size_t n = wcslen(text);
    if (n > 0 && text[n - 1] == PATH_SEPARATOR) text[n - 1] = L'\0';
    return text;
}

wchar_t* StripLastComponent(wchar_t* text)
{
    if (!StripTrailingSeparator(text)) return nullptr;
    if (wchar_t* last = wcsrchr(text, PATH_SEPARATOR)) *last = L'\0';
    return text;
}

// Writes prefix (its first prefixLength characters), a separator and tail into
// destination, or returns null when that needs more than capacity characters.
static wchar_t* JoinInto(wchar_t* destination, size_t capacity,
                         const wchar_t* prefix, size_t prefixLength, const wchar_t* tail)
{
    size_t tailLength = wcslen(tail);
    if (prefixLength + 1 + tailLength + 1 > capacity) return nullptr;
    wmemmove(destination, prefix, prefixLength);
    destination[prefixLength] = PATH_SEPARATOR;
    wmemcpy(destination + prefixLength + 1, tail, tailLength + 1);
    return destination;
}

wchar_t* JoinPath(wchar_t* destination, size_t capacity, const wchar_t* base, const wchar_t* tail)
{
    if (!destination || !base || !tail) return nullptr;
    size_t n = wcslen(base);
    if (n > 0 && base[n - 1] == PATH_SEPARATOR) --n;
    return JoinInto(destination, capacity, base, n, tail);
}

wchar_t* JoinSibling(wchar_t* destination, size_t capacity, const wchar_t* base, const wchar_t* tail)
{
    if (!destination || !base || !tail) return nullptr;
    size_t n = wcslen(base);
    if (n > 0 && base[n - 1] == PATH_SEPARATOR) --n;
    size_t cut = n;
    while (cut > 0 && base[cut - 1] != PATH_SEPARATOR) --cut;
    // cut is just past the last separator; without one the whole text stays.
    size_t keep = cut > 0 ? cut - 1 : n;
    return JoinInto(destination, capacity, base, keep, tail);
}

const wchar_t* LastComponent(const wchar_t* text)
{
    if (!text) return nullptr;
    const wchar_t* last = wcsrchr(text, PATH_SEPARATOR);
    return last ? last + 1 : text;
}

const wchar_t* FindFirst(const wchar_t* needle, const wchar_t* text)
{
    if (!needle || !text) return nullptr;
    size_t n = wcslen(needle), t = wcslen(text);
    if (n > t) return nullptr;
    for (size_t i = 0; i + n <= t; ++i)
        if (wmemcmp(text + i, needle, n) == 0) return text + i;
    return nullptr;
}

const wchar_t* FindLast(const wchar_t* needle, const wchar_t* text)
{
    if (!needle || !text) return nullptr;
    size_t n = wcslen(needle), t = wcslen(text);
    if (n > t) return nullptr;
    for (size_t i = t - n + 1; i-- > 0;)
        if (wmemcmp(text + i, needle, n) == 0) return text + i;
    return nullptr;
}

void ToLowerAscii(wchar_t* text)
{
    if (!text) return;
    for (; *text; ++text)
        if (*text >= L'A' && *text <= L'Z') *text += 32;
}

void ToUpperAscii(wchar_t* text)
{
    if (!text) return;
    for (; *text; ++text)
        if (*text >= L'a' && *text <= L'z') *text -= 32;
}

wchar_t* AnsiToWide(wchar_t* wide, size_t capacity, const char* narrow)
{
    if (!wide || !narrow || capacity == 0) return nullptr;
    int room = capacity > INT_MAX ? INT_MAX : static_cast<int>(capacity);
    if (MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, narrow, -1, wide, room) == 0) return nullptr;
    return wide;
}
