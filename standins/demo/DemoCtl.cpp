// DemoCtl.exe: the Windows side of the demonstration and of the end-to-end test. The
// scenario script drives Wine from Linux; what has to happen inside Wine (a process on a
// named desktop, a named event, the process list, a window on another desktop, GDI
// rendering) happens here. It does not ship: it lands in testbin\ beside the QQ stand-in.
//
//   DemoCtl.exe hold EVENT
//       Blocks until the named event EVENT is set. Started as the program of a Wine
//       virtual desktop, it keeps the desktop (taskbar and tray) open between programs.
//   DemoCtl.exe signal EVENT
//       Sets the named event EVENT.
//   DemoCtl.exe run DESKTOP STATUS_FILE PROGRAM [ARGS...]
//       Starts PROGRAM on the desktop DESKTOP, waits for it to end, writes its exit status
//       in decimal to STATUS_FILE and ends with the same status.
//   DemoCtl.exe exec COMMAND_LINE
//       Starts COMMAND_LINE as it is, parsed by CreateProcessW the way the shell parses a
//       Run value or an uninstall string, waits for it to end and ends with its status.
//   DemoCtl.exe wait-process NAME TIMEOUT_MS
//       Waits until a process with the executable name NAME runs.
//   DemoCtl.exe wait-no-process NAME TIMEOUT_MS
//       Waits until no process with the executable name NAME runs.
//   DemoCtl.exe suspend NAME
//   DemoCtl.exe resume NAME
//       Suspends (resumes) every thread of every process with the executable name NAME,
//       as a debugger does. A copy tool held so stands for a backup that takes as long as
//       the test needs, however fast the machine copies. Fails when no such process runs.
//   DemoCtl.exe wait-window CLASS TIMEOUT_MS
//       Waits until a top-level window of the class CLASS exists and prints the
//       identifier of the process that owns it.
//   DemoCtl.exe end-qq EVENT TIMEOUT_MS
//       Sets the QQ stand-in's end event EVENT, waits for the QQ.exe process to end, then
//       for the copy tool (robocopy.exe) to start and to end. Prints
//       "copy_start_delay_ms=N copy_run_ms=M": from the stand-in's end to the copy tool's
//       start, and the copy tool's own run.
//   DemoCtl.exe click TEXT TIMEOUT_MS
//       Waits for an enabled, visible button (or check box) whose text is TEXT in any
//       top-level window, and clicks it (BM_CLICK), as a user would with the mouse.
//   DemoCtl.exe menu-rect DESKTOP TIMEOUT_MS
//       Waits for an open popup menu on DESKTOP and prints its screen rectangle as
//       "LEFT TOP RIGHT BOTTOM".
//   DemoCtl.exe glyphs
//       Draws every character beyond ASCII of the runner's balloon and tooltip texts and of
//       its tray menu alone, in the fonts that Wine uses for balloons and for menus, and
//       checks that each leaves ink and that no two different characters give the same
//       picture (a font without the glyphs draws one box, or nothing, for all of them).
//
// Exit status: 0 on success; 1 when a check fails; 2 on a usage error; 3 when something
// did not happen before its deadline; 4 when a platform call fails.
#include "base/Platform.h"
#include "base/ScopedWin.h"
#include "resources/resource.h"
#include "contracts/RunnerTexts.h"

#include <tlhelp32.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_CHECK_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_TIMEOUT = 3;
constexpr int EXIT_PLATFORM = 4;

double NowMs()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// Identifiers of the processes whose executable name is exeName (any letter case); none
// when the list cannot be taken.
std::vector<DWORD> ProcessesNamed(const wchar_t* exeName)
{
    std::vector<DWORD> ids;
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return ids;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, exeName) == 0) ids.push_back(entry.th32ProcessID);
    }
    return ids;
}

// Identifier of the first process whose executable name is exeName (any letter case), or
// 0 when none runs or the list cannot be taken.
DWORD FindProcess(const wchar_t* exeName)
{
    std::vector<DWORD> ids = ProcessesNamed(exeName);
    return ids.empty() ? 0 : ids.front();
}

// Puts the calling thread on the named desktop, so that the windows it looks for and the
// programs it starts are those of that desktop. Must run before the thread owns a window.
bool EnterDesktop(const wchar_t* name)
{
    HDESK desktop = OpenDesktopW(name, 0, FALSE, GENERIC_ALL);
    if (!desktop) return false;
    // The handle stays open for the life of the process: the thread uses the desktop.
    return SetThreadDesktop(desktop) != FALSE;
}

int Hold(const wchar_t* eventName)
{
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, eventName));
    if (!event) return EXIT_PLATFORM;
    return WaitForSingleObject(event.get(), INFINITE) == WAIT_OBJECT_0 ? EXIT_OK : EXIT_PLATFORM;
}

int Signal(const wchar_t* eventName)
{
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, eventName));
    if (!event) return EXIT_PLATFORM;
    return SetEvent(event.get()) ? EXIT_OK : EXIT_PLATFORM;
}

std::wstring QuoteArgument(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') { ++backslashes; continue; }
        if (c == L'"') quoted.append(backslashes * 2 + 1, L'\\');
        else quoted.append(backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    quoted += L'"';
    return quoted;
}

// Starts commandLine (on desktop, when one is named), waits for it to end and gives its
// exit status; false when it cannot be started or its status cannot be read.
bool StartAndWait(std::wstring commandLine, wchar_t* desktop, DWORD* status)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.lpDesktop = desktop;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
        fwprintf(stderr, L"DemoCtl: cannot start %ls (error %lu)\n", commandLine.c_str(), GetLastError());
        return false;
    }
    UniqueHandle processHandle(process.hProcess);
    UniqueHandle threadHandle(process.hThread);
    WaitForSingleObject(processHandle.get(), INFINITE);
    return GetExitCodeProcess(processHandle.get(), status) != FALSE;
}

int Run(wchar_t* desktop, const wchar_t* statusFile, int argc, wchar_t** argv)
{
    std::wstring commandLine;
    for (int i = 0; i < argc; ++i) {
        if (i > 0) commandLine += L' ';
        commandLine += QuoteArgument(argv[i]);
    }
    DWORD status = 0;
    if (!StartAndWait(commandLine, desktop, &status)) return EXIT_PLATFORM;
    UniqueFile out(_wfopen(statusFile, L"w"));
    if (!out) return EXIT_PLATFORM;
    fprintf(out.get(), "%lu\n", status);
    return static_cast<int>(status);
}

int Exec(const wchar_t* line)
{
    DWORD status = 0;
    return StartAndWait(line, nullptr, &status) ? static_cast<int>(status) : EXIT_PLATFORM;
}

int EndQq(const wchar_t* eventName, DWORD timeoutMs)
{
    DWORD qqId = FindProcess(L"QQ.exe");
    if (!qqId) {
        fwprintf(stderr, L"DemoCtl: no QQ.exe process runs\n");
        return EXIT_CHECK_FAILED;
    }
    UniqueHandle qq(OpenProcess(SYNCHRONIZE, FALSE, qqId));
    UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName));
    if (!qq || !event) return EXIT_PLATFORM;
    if (!SetEvent(event.get())) return EXIT_PLATFORM;
    if (WaitForSingleObject(qq.get(), timeoutMs) != WAIT_OBJECT_0) return EXIT_TIMEOUT;
    const double ended = NowMs();
    const double deadline = ended + timeoutMs;

    // The copy tool is started by the resident program's worker; the process list is the
    // only outside view of it. Polling every millisecond resolves its start to about two.
    DWORD copyId = 0;
    while (!(copyId = FindProcess(L"robocopy.exe"))) {
        if (NowMs() > deadline) return EXIT_TIMEOUT;
        Sleep(1);
    }
    const double started = NowMs();
    // A copy tool that cannot be opened has already ended.
    UniqueHandle copy(OpenProcess(SYNCHRONIZE, FALSE, copyId));
    if (copy && WaitForSingleObject(copy.get(), timeoutMs) != WAIT_OBJECT_0) return EXIT_TIMEOUT;
    const double finished = NowMs();
    printf("copy_start_delay_ms=%.0f copy_run_ms=%.0f\n", started - ended, finished - started);
    return EXIT_OK;
}

int WaitProcess(const wchar_t* exeName, DWORD timeoutMs)
{
    const double deadline = NowMs() + timeoutMs;
    while (!FindProcess(exeName)) {
        if (NowMs() > deadline) return EXIT_TIMEOUT;
        Sleep(20);
    }
    return EXIT_OK;
}

int WaitNoProcess(const wchar_t* exeName, DWORD timeoutMs)
{
    const double deadline = NowMs() + timeoutMs;
    while (FindProcess(exeName)) {
        if (NowMs() > deadline) return EXIT_TIMEOUT;
        Sleep(20);
    }
    return EXIT_OK;
}

// SuspendThread or ResumeThread on every thread of the processes named exeName.
int SuspendProcesses(const wchar_t* exeName, bool suspend)
{
    std::vector<DWORD> processes = ProcessesNamed(exeName);
    if (processes.empty()) return EXIT_CHECK_FAILED;
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) return EXIT_PLATFORM;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    int threads = 0;
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
        bool wanted = false;
        for (DWORD id : processes) wanted = wanted || entry.th32OwnerProcessID == id;
        if (!wanted) continue;
        UniqueHandle thread(OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID));
        if (!thread) continue; // ended meanwhile
        DWORD count = suspend ? SuspendThread(thread.get()) : ResumeThread(thread.get());
        if (count == static_cast<DWORD>(-1)) return EXIT_PLATFORM;
        ++threads;
    }
    return threads > 0 ? EXIT_OK : EXIT_CHECK_FAILED;
}

int WaitWindow(const wchar_t* className, DWORD timeoutMs)
{
    const double deadline = NowMs() + timeoutMs;
    for (;;) {
        DWORD processId = 0;
        if (HWND window = FindWindowW(className, nullptr)) GetWindowThreadProcessId(window, &processId);
        if (processId) {
            printf("%lu\n", processId);
            return EXIT_OK;
        }
        if (NowMs() > deadline) return EXIT_TIMEOUT;
        Sleep(20);
    }
}

struct ButtonSearch {
    const wchar_t* text = nullptr;
    HWND button = nullptr;
};

BOOL CALLBACK FindButtonIn(HWND window, LPARAM context)
{
    auto* search = reinterpret_cast<ButtonSearch*>(context);
    wchar_t className[16] = {};
    wchar_t text[256] = {};
    GetClassNameW(window, className, 16);
    GetWindowTextW(window, text, 256);
    if (_wcsicmp(className, L"Button") == 0 && wcscmp(text, search->text) == 0 &&
        IsWindowVisible(window) && IsWindowEnabled(window)) {
        search->button = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK FindButtonInTopLevel(HWND window, LPARAM context)
{
    // EnumChildWindows walks the descendants, the pages inside a wizard too.
    EnumChildWindows(window, FindButtonIn, context);
    return reinterpret_cast<ButtonSearch*>(context)->button == nullptr;
}

int Click(const wchar_t* text, DWORD timeoutMs)
{
    const double deadline = NowMs() + timeoutMs;
    for (;;) {
        ButtonSearch search;
        search.text = text;
        EnumWindows(FindButtonInTopLevel, reinterpret_cast<LPARAM>(&search));
        if (search.button) {
            SendMessageW(search.button, BM_CLICK, 0, 0);
            return EXIT_OK;
        }
        if (NowMs() > deadline) return EXIT_TIMEOUT;
        Sleep(50);
    }
}

struct MenuSearch {
    HWND menu = nullptr;
};

BOOL CALLBACK FindOpenMenu(HWND window, LPARAM context)
{
    wchar_t className[16] = {};
    GetClassNameW(window, className, 16);
    if (wcscmp(className, L"#32768") == 0 && IsWindowVisible(window)) {
        reinterpret_cast<MenuSearch*>(context)->menu = window;
        return FALSE;
    }
    return TRUE;
}

int MenuRect(const wchar_t* desktop, DWORD timeoutMs)
{
    if (!EnterDesktop(desktop)) return EXIT_PLATFORM;
    const double deadline = NowMs() + timeoutMs;
    for (;;) {
        MenuSearch search;
        EnumWindows(FindOpenMenu, reinterpret_cast<LPARAM>(&search));
        RECT rect{};
        if (search.menu && GetWindowRect(search.menu, &rect) && rect.bottom > rect.top) {
            printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right, rect.bottom);
            return EXIT_OK;
        }
        if (NowMs() > deadline) return EXIT_TIMEOUT;
        Sleep(50);
    }
}

// The picture of one character drawn alone, black on white, as one byte per pixel.
std::vector<unsigned char> DrawCharacter(HDC dc, HFONT font, wchar_t c, int size)
{
    std::vector<unsigned char> pixels;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = size;
    info.bmiHeader.biHeight = -size;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap) return pixels;
    HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
    HGDIOBJ oldFont = SelectObject(dc, font);
    RECT all = {0, 0, size, size};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    SetTextColor(dc, RGB(0, 0, 0));
    SetBkMode(dc, TRANSPARENT);
    TextOutW(dc, 2, 2, &c, 1);
    GdiFlush();
    const auto* rgb = static_cast<const unsigned char*>(bits);
    pixels.resize(static_cast<size_t>(size) * size);
    // Any pixel that is not white is ink: at the system's size, a thin stroke (一, 。, ！)
    // drawn smoothed is only light grey.
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = rgb[i * 4 + 1] < 255 ? 1 : 0;
    SelectObject(dc, oldFont);
    SelectObject(dc, oldBitmap);
    DeleteObject(bitmap);
    return pixels;
}

// Checks one font; prints what it found. True when every character leaves ink and no two
// different characters look the same.
bool CheckFont(HDC dc, const wchar_t* role, const LOGFONTW& logFont, const wchar_t* text)
{
    HFONT font = CreateFontIndirectW(&logFont);
    if (!font) return false;
    constexpr int SIZE = 64;
    std::vector<std::vector<unsigned char>> pictures;
    std::wstring characters;
    bool good = true;
    for (const wchar_t* p = text; *p; ++p) {
        if (characters.find(*p) != std::wstring::npos) continue;
        characters += *p;
        pictures.push_back(DrawCharacter(dc, font, *p, SIZE));
        size_t ink = 0;
        for (unsigned char v : pictures.back()) ink += v;
        if (ink == 0) {
            printf("%ls font: U+%04X draws nothing\n", role, static_cast<unsigned>(*p));
            good = false;
        }
    }
    int shown = 0; // the first few look-alike pairs are enough to tell what went wrong
    for (size_t i = 0; i < pictures.size(); ++i) {
        for (size_t j = i + 1; j < pictures.size(); ++j) {
            if (pictures[i] != pictures[j]) continue;
            good = false;
            if (++shown <= 3) {
                printf("%ls font: U+%04X and U+%04X draw the same picture\n", role,
                       static_cast<unsigned>(characters[i]), static_cast<unsigned>(characters[j]));
            }
        }
    }
    // The face is printed as UTF-8 so that the script's log shows it as it is.
    char face[LF_FACESIZE * 3] = {};
    WideCharToMultiByte(CP_UTF8, 0, logFont.lfFaceName, -1, face, sizeof(face), nullptr, nullptr);
    printf("%ls font \"%s\": %zu characters, %s\n", role, face, pictures.size(),
           good ? "all distinct glyphs" : "NOT drawn as distinct glyphs");
    DeleteObject(font);
    return good;
}

// What the runner draws in the status font: its balloons' titles and texts and its icon's
// tooltips. (Its start-up boxes are drawn in the message font, which the demonstration
// never shows.)
constexpr const wchar_t* const BALLOON_TEXTS[] = {
    TITLE_NOTE,         TITLE_ATTENTION,     TIP_IDLE,         TIP_BUSY,           TIP_LAST_RUN_FAILED,
    TEXT_CLIENT_EXITED, TEXT_TOO_OFTEN,      TEXT_BACKUP_DONE, TEXT_BACKUP_FAILED, TEXT_INCREMENTAL_RUN,
    TEXT_FULL_RUN,      TEXT_EXIT_WHILE_BUSY, START_TITLE,     START_TEXT,
};

// The characters of text that are checked: those beyond ASCII, the Chinese ones and the
// full-width punctuation, which a font without Chinese glyphs draws as boxes. Every font
// draws ASCII, and a space or a line break draws nothing at all.
void AddCheckedCharacters(const wchar_t* text, std::wstring* characters)
{
    for (const wchar_t* p = text; *p; ++p)
        if (*p > 0x7F) *characters += *p;
}

// The tray menu's item texts, from the same compiled resource script as Kestova.exe's (this
// program links it): the menu the demonstration opens, without a second copy of its texts
// and without reading an installed program file; and the status item that the runner
// puts first while its icon shows a failed backup. False when the menu cannot be loaded.
bool AddMenuCharacters(std::wstring* characters)
{
    AddCheckedCharacters(MENU_STATUS, characters);
    UniqueMenu menu(LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_TRAYMENU)));
    HMENU popup = menu ? GetSubMenu(menu.get(), 0) : nullptr;
    if (!popup) return false;
    int count = GetMenuItemCount(popup);
    for (int i = 0; i < count; ++i) {
        wchar_t text[128] = {};
        GetMenuStringW(popup, static_cast<UINT>(i), text, 128, MF_BYPOSITION); // a separator has none
        AddCheckedCharacters(text, characters);
    }
    return count > 0;
}

int Glyphs()
{
    std::wstring balloon, menu;
    for (const wchar_t* text : BALLOON_TEXTS) AddCheckedCharacters(text, &balloon);
    if (!AddMenuCharacters(&menu)) return EXIT_PLATFORM;
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) return EXIT_PLATFORM;
    HDC dc = CreateCompatibleDC(nullptr);
    if (!dc) return EXIT_PLATFORM;
    // Balloons and tooltips are drawn in the status font, menus in the menu font.
    bool good = CheckFont(dc, L"balloon", metrics.lfStatusFont, balloon.c_str());
    good = CheckFont(dc, L"menu", metrics.lfMenuFont, menu.c_str()) && good;
    DeleteDC(dc);
    return good ? EXIT_OK : EXIT_CHECK_FAILED;
}

DWORD Milliseconds(const wchar_t* text) { return static_cast<DWORD>(_wtoi(text)); }

// One subcommand: its name, the arguments it takes (exactly so many, or at least so many
// when more are the started program's own), what runs it with them, and its line of the
// usage text. The comment at the top of this file says what each one does.
struct Command {
    const wchar_t* name;
    int arguments;
    bool moreArguments;
    int (*run)(int count, wchar_t** arguments);
    const wchar_t* synopsis; // the arguments, as the usage text names them
    const wchar_t* what;
};

constexpr Command COMMANDS[] = {
    {L"hold", 1, false, [](int, wchar_t** a) { return Hold(a[0]); }, L"EVENT", L"keeps running until EVENT is set"},
    {L"signal", 1, false, [](int, wchar_t** a) { return Signal(a[0]); }, L"EVENT", L"sets EVENT"},
    {L"run", 3, true, [](int n, wchar_t** a) { return Run(a[0], a[1], n - 2, a + 2); },
     L"DESKTOP STATUS_FILE PROGRAM [ARGS...]", L"runs PROGRAM on DESKTOP, its status into STATUS_FILE"},
    {L"exec", 1, false, [](int, wchar_t** a) { return Exec(a[0]); }, L"COMMAND_LINE", L"runs COMMAND_LINE as it is"},
    {L"wait-process", 2, false, [](int, wchar_t** a) { return WaitProcess(a[0], Milliseconds(a[1])); },
     L"NAME TIMEOUT_MS", L"waits for a process NAME"},
    {L"wait-no-process", 2, false, [](int, wchar_t** a) { return WaitNoProcess(a[0], Milliseconds(a[1])); },
     L"NAME TIMEOUT_MS", L"waits until no process NAME runs"},
    {L"suspend", 1, false, [](int, wchar_t** a) { return SuspendProcesses(a[0], true); },
     L"NAME", L"suspends every process NAME"},
    {L"resume", 1, false, [](int, wchar_t** a) { return SuspendProcesses(a[0], false); },
     L"NAME", L"resumes every process NAME"},
    {L"wait-window", 2, false, [](int, wchar_t** a) { return WaitWindow(a[0], Milliseconds(a[1])); },
     L"CLASS TIMEOUT_MS", L"waits for a window of CLASS, prints its process"},
    {L"end-qq", 2, false, [](int, wchar_t** a) { return EndQq(a[0], Milliseconds(a[1])); },
     L"EVENT TIMEOUT_MS", L"ends the QQ stand-in, times the copy tool's start and run"},
    {L"click", 2, false, [](int, wchar_t** a) { return Click(a[0], Milliseconds(a[1])); },
     L"TEXT TIMEOUT_MS", L"clicks the button TEXT"},
    {L"menu-rect", 2, false, [](int, wchar_t** a) { return MenuRect(a[0], Milliseconds(a[1])); },
     L"DESKTOP TIMEOUT_MS", L"prints the open popup menu's rectangle"},
    {L"glyphs", 0, false, [](int, wchar_t**) { return Glyphs(); },
     L"", L"checks that the balloon and menu fonts draw Kestova's texts as distinct glyphs"},
};

int Usage()
{
    fwprintf(stderr, L"usage:\n");
    for (const Command& command : COMMANDS)
        fwprintf(stderr, L"  DemoCtl.exe %ls%ls%ls: %ls\n", command.name, command.synopsis[0] ? L" " : L"",
                 command.synopsis, command.what);
    return EXIT_USAGE;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) return Usage();
    int count = argc - 2;
    for (const Command& command : COMMANDS) {
        if (wcscmp(argv[1], command.name) != 0) continue;
        bool fits = count == command.arguments || (command.moreArguments && count > command.arguments);
        return fits ? command.run(count, argv + 2) : Usage();
    }
    return Usage();
}
