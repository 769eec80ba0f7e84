// An installed chat client, as far as the program can see one: its registry entries in
// the 32-bit view and its UserDataInfo.ini naming a data directory in scratch. Shared by
// the black-box tests and the runner benchmark.
#pragma once

#include "base/Platform.h"
#include "tests/support/RegistryFixture.h"

#include <string>

// The chat client's entries are machine-wide values in the 32-bit view, the default view
// of RegistryChanges.
using ChatClientRegistry = RegistryChanges;

// The platform type entry "QQ2010" (its program in scratchDir\QQ\Bin), the common
// documents folder scratchDir\Docs, and its Tencent\QQ\UserDataInfo.ini naming dataDir
// (in GBK, as the client writes it on a Chinese system).
bool InstallChatClientEntries(ChatClientRegistry* registry, const std::wstring& scratchDir,
                              const std::wstring& dataDir);

// A few files in nested folders, shaped like a chat client's data: a database, names
// with blanks and Chinese, an empty file and an empty folder (9 entries in all).
bool WriteSampleChatData(const std::wstring& dataDir);
