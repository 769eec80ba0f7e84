// Shared pieces of the companion's tests: a program folder in scratch with the store beside
// it and a live chat data folder, tree snapshots, the chat client's registry entry, and
// processes started in the background.
#pragma once

#include "base/ScopedWin.h"
#include "companion/FileHolders.h"
#include "tests/support/ScopedSeams.h"
#include "tests/support/ChatClientFixture.h"
#include "tests/support/Scratch.h"
#include "tests/support/Wait.h"

#include <map>
#include <string>
#include <vector>

// <scratch>\App holding Marrowby.exe and robocopy.exe (copies of the built ones),
// <scratch>\Backup_Data\1..5 empty, and the live data folder <scratch>\QQ\Users with a
// few files, one of them in a subfolder.
class CompanionFolder {
public:
    CompanionFolder();
    const std::wstring& app() const { return app_; }
    std::wstring slot(int n) const;
    const std::wstring& data() const { return data_; }
    std::wstring config() const { return app_ + L"\\config.ini"; }
    std::wstring marrowby() const { return app_ + L"\\Marrowby.exe"; }
    const ScratchDir& scratch() const { return scratch_; }
    // Puts a small history into slot n, different from the live one.
    void FillSlot(int n, const std::string& tag);
    // Folders beside the data folder other than it ("Users.before-restore-...").
    std::wstring FindSibling(const std::wstring& label) const;
    int SiblingCount() const;

private:
    ScratchDir scratch_;
    std::wstring app_;
    std::wstring data_;
};

// The chat client's registry entries and settings file naming <root>\QQ\Users as its data
// folder; the registry is put back on destruction.
class ChatClientEntry {
public:
    explicit ChatClientEntry(const std::wstring& root);
    ChatClientEntry(const ChatClientEntry&) = delete;
    ChatClientEntry& operator=(const ChatClientEntry&) = delete;
    bool ok() const { return ok_; }

private:
    ChatClientRegistry registry_;
    bool ok_ = false;
};

// A process started without waiting; killed (with what it started) when this goes.
class Background {
public:
    Background(const std::wstring& commandLine, const std::wstring& dir);
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    bool started() const { return process_.valid(); }
    DWORD id() const { return id_; }
    // Waits for the process to end; its exit code, or -1 on timeout.
    long Wait(DWORD timeoutMs);

private:
    UniqueHandle job_;
    UniqueHandle process_;
    DWORD id_ = 0;
};


// The Restart Manager played for a test, in force for this object's lifetime (the test
// platform's own lists no program): each program holds one file, and is listed when that
// file is among the registered ones. Only one at a time.
class FakeRestartManager {
public:
    struct Program {
        std::wstring name;
        DWORD id;
        std::wstring file; // full path, in either form
    };
    explicit FakeRestartManager(std::vector<Program> programs);
    ~FakeRestartManager();
    FakeRestartManager(const FakeRestartManager&) = delete;
    FakeRestartManager& operator=(const FakeRestartManager&) = delete;

    // Every file registered so far, in the form given, and the sessions not yet ended.
    std::vector<std::wstring> registered;
    int openSessions = 0;
    std::vector<Program> programs;

private:
    ScopedSeams<RestartManagerCalls> calls_;
};
