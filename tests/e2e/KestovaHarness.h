// What the black-box tests of Kestova.exe share: a scratch program folder (scratch\App,
// so its store is scratch\Backup_Data) beside its copy tool and a companion stand-in, the
// program started there as a process of its own, its boxes and window found from outside,
// and its quit asked for as the companion asks it.
#pragma once

#include "base/Platform.h"
#include "base/ScopedWin.h"
#include "tests/support/ChatClientFixture.h"
#include "tests/support/OwnedProcess.h"
#include "tests/support/Scratch.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

constexpr DWORD DEADLINE_MS = PROCESS_DEADLINE_MS;

// The name of the companion's registered exit message.
const wchar_t EXIT_MESSAGE[] = L"Kestova_Brannet_Exit";

struct MessageBoxSeen {
    HWND box = nullptr;
    std::wstring caption, text;
};

// A running Kestova.exe (or a copy of the companion stand-in): killed at the end of the
// test if it is still running.
class Process : public OwnedProcess {
public:
    Process() = default;
    explicit Process(OwnedProcess owned) : OwnedProcess(std::move(owned)) {}

    // Waits for a message box of this process with its text filled in. False when the
    // process ends first or the deadline passes.
    bool WaitForBox(MessageBoxSeen* seen) const;
    // The hidden message window of this process, or null at the deadline. Without one, the
    // output says what the process did instead, for the failure that usually follows.
    HWND WaitForWindow() const;
};

// Asks the resident program to quit, as its companion does. A quit is refused (with a
// balloon) while a backup runs, so the request is repeated until the process has ended.
long long QuitByExitMessage(const Process& process, HWND window);

// A value of a settings file that another process writes. The platform's profile calls
// may answer from a cache of the file, so each read goes through a fresh copy of it.
std::wstring ReadIni(const std::wstring& file, const wchar_t* section, const wchar_t* key);

// The copy tools a process started: its children named robocopy.exe.
std::vector<DWORD> CopyToolsOf(DWORD parentId);

class KestovaExe : public testing::Test {
protected:
    void SetUp() override;

    // An installed chat client whose data directory lies in a Chinese user's folder, as on
    // the users' machines, with a few files.
    void InstallChatClient();

    Process Start(const std::wstring& arguments);

    // The lines the companion stand-in wrote, each "<arguments>|<working directory>".
    std::string CompanionStarts();
    bool WaitForCompanionStarts(size_t lines);
    std::string RestoreLine() { return "--restore|" + Narrow(app_) + "\n"; }

    // Files held open without sharing keep a copy going: the tool waits a second before
    // each of its retries, about three seconds a file.
    void HoldChatFilesOpen(std::vector<UniqueHandle>* locks);

    ScratchDir scratch_;
    ChatClientRegistry registry_;
    std::wstring app_;
    std::wstring dataDir_;
};
