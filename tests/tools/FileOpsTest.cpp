// The copy tool's file operations (tools/robocopy/FileOps.h), called directly, one scratch
// folder per case: once against the real platform calls, and once more through the strict
// layer of Windows rules (tests/support/StrictFiles.h), where the test platform would let
// a fault pass.
//
// Every row names the operation, the state the scratch folder is prepared in, and the
// outcome: the status, what the target name holds afterwards, and, checked for every row,
// that nothing else changed: the other link of a shared file, the operation's input, an
// unrelated file under a temporary name, and no name left behind in the target's folder.
// The rows reach the operations through Perform alone.
#include "tests/support/Scratch.h"
#include "tests/support/StrictFiles.h"

#include "base/ScopedWin.h"
#include "tools/robocopy/FileOps.h"
#include "tools/robocopy/MirrorTool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <string>
#include <vector>

namespace {

constexpr DWORD RO = FILE_ATTRIBUTE_READONLY;
constexpr DWORD RO_HIDDEN = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
// The bits a copy carries and a replacement must give the target.
constexpr DWORD KEPT_BITS = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// Contents of different lengths, and fixed old times that nothing made "now" can match.
const std::string OLD_BYTES = "the old copy, shared with another generation";
const std::string NEW_BYTES = "the new copy";
const std::string TAKEN_BYTES = "someone else's file under the first temporary name";
const std::string INNER_BYTES = "a file inside a folder";
constexpr uint64_t TIME_2009 = 128738592000000000ull;
constexpr uint64_t DAY = 864000000000ull;
constexpr uint64_t OLD_CREATED = TIME_2009;
constexpr uint64_t OLD_WRITTEN = TIME_2009 + DAY;
constexpr uint64_t NEW_WRITTEN = TIME_2009 + 30 * DAY;

enum class Op {
    REPLACE,          // ReplaceTargetFile of a finished new file over the target
    COPY,             // CopyOneFile from a source file
    LINK,             // LinkOneFile to a reference's file
    REMOVE_FILE,      // RemoveTargetFile
    REMOVE_FOLDER,    // RemoveTargetDirectory
    MAKE_FOLDER,      // CreateDirectoryPath without parents
    MAKE_FOLDER_PATH, // CreateDirectoryPath with its missing parents
};

const char* OpName(Op op)
{
    switch (op) {
    case Op::REPLACE: return "replace";
    case Op::COPY: return "copy";
    case Op::LINK: return "link";
    case Op::REMOVE_FILE: return "remove file";
    case Op::REMOVE_FOLDER: return "remove folder";
    case Op::MAKE_FOLDER: return "make folder";
    case Op::MAKE_FOLDER_PATH: return "make folder path";
    }
    return "?";
}

enum class Kind { NOTHING, FILE, FOLDER, FULL_FOLDER };

// The scratch folder before the operation. The target's name is dst\t.txt.
struct Prepared {
    Kind kind = Kind::NOTHING; // what the target's folder holds under the target's name
    // ... spelled T.TXT: a case twin, which the listing does not pair with t.txt, so the
    // operation is handed no entry for it
    bool twin = false;
    bool shared = false;   // that file is a hard link to gen\t.txt, another generation's copy
    DWORD attributes = 0;  // of that entry
    bool held = false;     // that file is held open by someone who shares reading only
    // ... by a program that shares everything, as indexers and virus scanners do: under
    // Windows rules its deletion leaves the name until that program lets go
    bool heldSharingAll = false;
    // The name asked for, ABCDEF~1.TXT, is the short (8.3) name of the prepared file
    // abcdefghij.txt, which the listing did not pair with it. Only under Windows rules.
    bool shortName = false;
    bool noFolder = false; // the target's folder, dst, is missing
    // The operation's input (the new file for REPLACE, the source for COPY, the reference's
    // file for LINK) was listed, then went away.
    bool inputGone = false;
    DWORD inputAttributes = 0;
    bool tempTaken = false; // an unrelated file has the first temporary name beside the target
};

enum class Holds {
    NOTHING, // the target's name is gone, or was never made
    OLD,     // what was prepared there, exactly as it was
    NEW,     // a file with the input's data, last-write time and the expected attributes
    FOLDER,  // a folder with the expected attributes
};

struct Outcome {
    DWORD code;
    Holds holds;
    DWORD attributes = 0; // of KEPT_BITS, with NEW or FOLDER
    bool inputLeft = false; // REPLACE: its new file is still there, unchanged
};

struct Case {
    const char* what;
    Op op;
    Prepared prepared;
    Outcome expected;
};

bool OnlyUnderWindowsRules(const Case& c) { return c.prepared.shortName; }

const Case FILE_OP_CASES[] = {
    // A target with another link: the other generation's file keeps its data, attributes
    // and times whatever happens to the target's name.
    {"a shared file", Op::REPLACE, {.kind = Kind::FILE, .shared = true}, {0, Holds::NEW}},
    {"a shared file", Op::COPY, {.kind = Kind::FILE, .shared = true}, {0, Holds::NEW}},
    {"a shared file", Op::LINK, {.kind = Kind::FILE, .shared = true}, {0, Holds::NEW}},
    {"a shared file", Op::REMOVE_FILE, {.kind = Kind::FILE, .shared = true}, {0, Holds::NOTHING}},
    // A read-only target: its bit is lifted only to let the call through, so a file that
    // lives on under another name keeps it.
    {"a read-only file", Op::REPLACE, {.kind = Kind::FILE, .attributes = RO_HIDDEN}, {0, Holds::NEW}},
    {"a shared read-only file", Op::REPLACE, {.kind = Kind::FILE, .shared = true, .attributes = RO_HIDDEN},
     {0, Holds::NEW}},
    {"a shared read-only file, from a read-only source", Op::COPY,
     {.kind = Kind::FILE, .shared = true, .attributes = RO_HIDDEN, .inputAttributes = RO}, {0, Holds::NEW, RO}},
    {"a shared read-only file, from a read-only reference", Op::LINK,
     {.kind = Kind::FILE, .shared = true, .attributes = RO_HIDDEN, .inputAttributes = RO}, {0, Holds::NEW, RO}},
    {"a read-only file", Op::REMOVE_FILE, {.kind = Kind::FILE, .attributes = RO_HIDDEN}, {0, Holds::NOTHING}},
    {"a shared read-only file", Op::REMOVE_FILE, {.kind = Kind::FILE, .shared = true, .attributes = RO_HIDDEN},
     {0, Holds::NOTHING}},
    {"a shared file that another program holds, sharing all", Op::REMOVE_FILE,
     {.kind = Kind::FILE, .shared = true, .heldSharingAll = true}, {0, Holds::NOTHING}},
    {"a shared read-only file that another program holds, sharing all", Op::REMOVE_FILE,
     {.kind = Kind::FILE, .shared = true, .attributes = RO_HIDDEN, .heldSharingAll = true}, {0, Holds::NOTHING}},
    {"a shared read-only file held open", Op::REMOVE_FILE,
     {.kind = Kind::FILE, .shared = true, .attributes = RO_HIDDEN, .held = true},
     {ERROR_SHARING_VIOLATION, Holds::OLD}},
    // A missing target: made new.
    {"nothing", Op::COPY, {}, {0, Holds::NEW}},
    {"nothing, from a read-only hidden source", Op::COPY, {.inputAttributes = RO_HIDDEN},
     {0, Holds::NEW, RO_HIDDEN}},
    {"nothing", Op::LINK, {}, {0, Holds::NEW}},
    // A case twin: the name reaches a file the listing did not pair with it. A copy
    // replaces it like any target, never writing into it; a link refuses, and the walk
    // then copies.
    {"a shared case twin", Op::COPY, {.kind = Kind::FILE, .twin = true, .shared = true}, {0, Holds::NEW}},
    {"a shared read-only case twin", Op::COPY,
     {.kind = Kind::FILE, .twin = true, .shared = true, .attributes = RO_HIDDEN}, {0, Holds::NEW}},
    {"a shared case twin", Op::LINK, {.kind = Kind::FILE, .twin = true, .shared = true},
     {ERROR_ALREADY_EXISTS, Holds::OLD}},
    // A short name: the file it reaches is another one's, and is left alone; the copy fails.
    {"a shared file whose short name is asked for", Op::COPY, {.kind = Kind::FILE, .shared = true, .shortName = true},
     {ERROR_FILE_EXISTS, Holds::OLD}},
    {"a shared file whose short name is asked for", Op::LINK, {.kind = Kind::FILE, .shared = true, .shortName = true},
     {ERROR_ALREADY_EXISTS, Holds::OLD}},
    {"a folder as case twin", Op::COPY, {.kind = Kind::FOLDER, .twin = true}, {ERROR_ACCESS_DENIED, Holds::OLD}},
    // A rename, or the making of the new name, that fails: the status says why, and what
    // was there stays as it was, with no temporary name left behind. A rename over a file
    // that someone holds open without delete sharing is refused as access denied (a
    // removal of it, above, as a sharing violation).
    {"a missing folder", Op::REPLACE, {.noFolder = true}, {ERROR_PATH_NOT_FOUND, Holds::NOTHING, 0, true}},
    {"a shared file, the new file gone", Op::REPLACE, {.kind = Kind::FILE, .shared = true, .inputGone = true},
     {ERROR_FILE_NOT_FOUND, Holds::OLD}},
    {"a shared read-only file, the new file gone", Op::REPLACE,
     {.kind = Kind::FILE, .shared = true, .attributes = RO_HIDDEN, .inputGone = true},
     {ERROR_FILE_NOT_FOUND, Holds::OLD}},
    {"a shared file held open", Op::REPLACE, {.kind = Kind::FILE, .shared = true, .held = true},
     {ERROR_ACCESS_DENIED, Holds::OLD, 0, true}},
    {"a shared read-only file held open", Op::REPLACE,
     {.kind = Kind::FILE, .shared = true, .attributes = RO_HIDDEN, .held = true},
     {ERROR_ACCESS_DENIED, Holds::OLD, 0, true}},
    {"a missing folder", Op::COPY, {.noFolder = true}, {ERROR_PATH_NOT_FOUND, Holds::NOTHING}},
    {"a shared file, the source gone", Op::COPY, {.kind = Kind::FILE, .shared = true, .inputGone = true},
     {ERROR_FILE_NOT_FOUND, Holds::OLD}},
    {"a shared file held open", Op::COPY, {.kind = Kind::FILE, .shared = true, .held = true},
     {ERROR_ACCESS_DENIED, Holds::OLD}},
    {"a missing folder", Op::LINK, {.noFolder = true}, {ERROR_PATH_NOT_FOUND, Holds::NOTHING}},
    {"a shared file, the reference gone", Op::LINK, {.kind = Kind::FILE, .shared = true, .inputGone = true},
     {ERROR_FILE_NOT_FOUND, Holds::OLD}},
    // The new name, a link to the read-only reference, is removed again: the reference
    // keeps its bits.
    {"a shared file held open, from a read-only reference", Op::LINK,
     {.kind = Kind::FILE, .shared = true, .held = true, .inputAttributes = RO_HIDDEN},
     {ERROR_ACCESS_DENIED, Holds::OLD}},
    // Temporary names: one that is taken is passed over, and its file left alone.
    {"a shared file, the first temporary name taken", Op::COPY,
     {.kind = Kind::FILE, .shared = true, .tempTaken = true}, {0, Holds::NEW}},
    {"a shared file, the first temporary name taken", Op::LINK,
     {.kind = Kind::FILE, .shared = true, .tempTaken = true}, {0, Holds::NEW}},
    // Folders.
    {"nothing", Op::MAKE_FOLDER, {}, {0, Holds::FOLDER}},
    {"a folder", Op::MAKE_FOLDER, {.kind = Kind::FOLDER, .attributes = FILE_ATTRIBUTE_HIDDEN},
     {0, Holds::FOLDER, FILE_ATTRIBUTE_HIDDEN}},
    {"a file", Op::MAKE_FOLDER, {.kind = Kind::FILE}, {ERROR_ALREADY_EXISTS, Holds::OLD}},
    {"a missing folder", Op::MAKE_FOLDER, {.noFolder = true}, {ERROR_PATH_NOT_FOUND, Holds::NOTHING}},
    {"a missing folder", Op::MAKE_FOLDER_PATH, {.noFolder = true}, {0, Holds::FOLDER}},
    {"an empty read-only folder", Op::REMOVE_FOLDER, {.kind = Kind::FOLDER, .attributes = RO_HIDDEN},
     {0, Holds::NOTHING}},
    {"a read-only folder with a file in it", Op::REMOVE_FOLDER,
     {.kind = Kind::FULL_FOLDER, .attributes = RO_HIDDEN}, {ERROR_DIR_NOT_EMPTY, Holds::OLD}},
};

// What a test can see of an entry: enough to tell that it was left exactly as it was.
struct Seen {
    bool exists = false;
    DWORD attributes = 0;
    uint64_t created = 0;
    uint64_t written = 0;
    std::string bytes; // a file's contents
    bool operator==(const Seen&) const = default;
};

uint64_t Ticks(const FILETIME& t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; }

FILETIME FileTimeOf(uint64_t ticks) { return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)}; }

Seen SeeEntry(const std::wstring& path)
{
    Seen seen;
    Entry e;
    if (!EntryOfPath(path, &e)) return seen;
    seen.exists = true;
    seen.attributes = e.attributes;
    seen.created = Ticks(e.creation);
    seen.written = Ticks(e.write);
    if (!IsDir(e) && !ReadBytes(path, &seen.bytes)) seen.bytes = UNREADABLE;
    return seen;
}

void PrintTo(const Seen& seen, std::ostream* out)
{
    if (!seen.exists) {
        *out << "<none>";
        return;
    }
    *out << seen.bytes.size() << " bytes, attributes " << seen.attributes << ", created " << seen.created
         << ", written " << seen.written;
}

bool SameFileOf(const std::wstring& a, const std::wstring& b)
{
    BY_HANDLE_FILE_INFORMATION infoA, infoB;
    return FollowedInfo(a, &infoA) == 0 && FollowedInfo(b, &infoB) == 0 && SameId(IdOf(infoA), IdOf(infoB));
}

// A file with the given contents, times and attributes (times first: a read-only file
// still takes them, but its attributes must come last).
bool MakeFile(const std::wstring& path, const std::string& bytes, uint64_t created, uint64_t written,
              DWORD attributes)
{
    if (!WriteBytes(path, bytes)) return false;
    UniqueHandle h(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                               nullptr));
    FILETIME c = FileTimeOf(created), w = FileTimeOf(written);
    if (!h || !SetFileTime(h.get(), &c, nullptr, &w)) return false;
    return attributes == 0 || SetFileAttributesW(path.c_str(), attributes);
}

std::wstring FoldedName(std::wstring name)
{
    for (wchar_t& ch : name) ch = static_cast<wchar_t>(std::towlower(ch));
    return name;
}

// The names in a folder, folded to lower case: which spelling of a case twin survives a
// rename over it is the file system's choice, not the operation's.
std::vector<std::wstring> FoldedNames(const std::wstring& folder)
{
    std::vector<Entry> entries;
    DWORD error = 0;
    std::vector<std::wstring> names;
    if (!ListDirectory(folder, &entries, &error)) return names;
    for (const Entry& e : entries) {
        std::wstring name = e.name;
        for (wchar_t& ch : name) ch = static_cast<wchar_t>(std::towlower(ch));
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// One case's scratch folder: dst\ holds the target, gen\ another generation, src\ the
// source. Paths are long forms, as the walk hands them over.
struct Scene {
    ScratchDir scratch;
    std::wstring folder;  // dst
    std::wstring to;      // dst\t.txt, the name the operation is asked for
    std::wstring present; // the prepared entry's name (T.TXT for a twin)
    std::wstring other;   // gen\t.txt, the other link of a shared file
    std::wstring input;   // the operation's input
    std::wstring taken;   // the taken temporary name, or empty
    bool listed = false;  // the listing showed the target: existing is its entry
    Entry existing;
    Entry inputEntry;
    UniqueHandle held; // released before the scratch folder is removed
    StrictFiles* strict = nullptr; // the Windows rules in force, or null
};

bool TakesInput(Op op) { return op == Op::REPLACE || op == Op::COPY || op == Op::LINK; }

void Prepare(const Case& c, Scene* s)
{
    const Prepared& p = c.prepared;
    s->folder = LongPathOf(s->scratch / L"dst");
    s->to = s->folder + (p.shortName ? L"\\ABCDEF~1.TXT" : L"\\t.txt");
    s->present = s->folder + (p.twin ? L"\\T.TXT" : p.shortName ? L"\\abcdefghij.txt" : L"\\t.txt");
    s->other = LongPathOf(s->scratch / L"gen\\t.txt");
    const wchar_t* input = c.op == Op::COPY ? L"src\\t.txt" : c.op == Op::LINK ? L"gen\\ref.txt" : L"new.tmp";
    s->input = LongPathOf(s->scratch / input);
    ASSERT_TRUE(MakeDirs(s->scratch / L"gen"));
    if (!p.noFolder) {
        ASSERT_TRUE(MakeDirs(s->folder));
    }

    switch (p.kind) {
    case Kind::NOTHING:
        break;
    case Kind::FILE:
        if (p.shared) {
            ASSERT_TRUE(MakeFile(s->other, OLD_BYTES, OLD_CREATED, OLD_WRITTEN, p.attributes));
            ASSERT_TRUE(CreateHardLinkW(s->present.c_str(), s->other.c_str(), nullptr));
        } else {
            ASSERT_TRUE(MakeFile(s->present, OLD_BYTES, OLD_CREATED, OLD_WRITTEN, p.attributes));
        }
        break;
    case Kind::FOLDER:
    case Kind::FULL_FOLDER:
        ASSERT_TRUE(MakeDirs(s->present));
        if (p.kind == Kind::FULL_FOLDER) {
            ASSERT_TRUE(WriteBytes(s->present + L"\\inner.txt", INNER_BYTES));
        }
        if (p.attributes) {
            ASSERT_TRUE(SetFileAttributesW(s->present.c_str(), p.attributes));
        }
        break;
    }
    if (p.shortName) s->strict->AddShortName(s->folder, L"ABCDEF~1.TXT", L"abcdefghij.txt");
    if (p.kind != Kind::NOTHING && !p.twin && !p.shortName) {
        ASSERT_TRUE(EntryOfPath(s->present, &s->existing));
        s->existing.name = L"t.txt";
        s->listed = true;
    }
    if (TakesInput(c.op)) {
        ASSERT_TRUE(MakeFile(s->input, NEW_BYTES, NEW_WRITTEN, NEW_WRITTEN, p.inputAttributes));
        ASSERT_TRUE(EntryOfPath(s->input, &s->inputEntry));
        if (p.inputGone) {
            ASSERT_TRUE(RemoveTree(s->input));
        }
    }
    if (p.tempTaken) {
        s->taken = TempPathBeside(s->to, 0);
        ASSERT_TRUE(WriteBytes(s->taken, TAKEN_BYTES));
    }
    if (p.held || p.heldSharingAll) {
        DWORD share = p.held ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        // Under Windows rules the layer must know of the handle to apply them.
        if (s->strict) {
            ASSERT_TRUE(s->strict->Hold(s->present, share));
        } else {
            s->held.reset(CreateFileW(s->present.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(s->held);
        }
    }
}

// The one place the rows reach the operations.
DWORD Perform(Op op, Scene& s)
{
    static std::vector<char> buffer(COPY_BUFFER_BYTES);
    const Entry* existing = s.listed ? &s.existing : nullptr;
    switch (op) {
    case Op::REPLACE: return ReplaceTargetFile(s.input, s.to, s.existing);
    case Op::COPY: return CopyOneFile(s.input, s.to, s.inputEntry, existing, buffer.data());
    case Op::LINK: return LinkOneFile(s.input, s.to, s.inputEntry, existing);
    case Op::REMOVE_FILE: return RemoveTargetFile(s.to, s.existing.attributes, LongPathOf(s.scratch.path()));
    case Op::REMOVE_FOLDER: return RemoveTargetDirectory(s.to, s.existing.attributes);
    case Op::MAKE_FOLDER: return CreateDirectoryPath(s.to, false);
    case Op::MAKE_FOLDER_PATH: return CreateDirectoryPath(s.to, true);
    }
    return ERROR_INVALID_FUNCTION;
}

void RunCase(const Case& c, StrictFiles* strict)
{
    SCOPED_TRACE(std::string(OpName(c.op)) + ": " + c.what);
    Scene s;
    s.strict = strict;
    ASSERT_NO_FATAL_FAILURE(Prepare(c, &s));
    const Prepared& p = c.prepared;
    const Outcome& want = c.expected;
    Seen presentBefore = SeeEntry(s.present);
    Seen otherBefore = SeeEntry(s.other);
    Seen inputBefore = SeeEntry(s.input);
    Seen takenBefore = SeeEntry(s.taken);

    EXPECT_EQ(Perform(c.op, s), want.code);

    // Nothing but the target's name may change.
    if (p.shared) {
        EXPECT_EQ(SeeEntry(s.other), otherBefore) << "the other generation's file";
    }
    if (p.tempTaken) {
        EXPECT_EQ(SeeEntry(s.taken), takenBefore) << "the file under the taken temporary name";
    }
    if (c.op == Op::COPY || c.op == Op::LINK || want.inputLeft) {
        EXPECT_EQ(SeeEntry(s.input), inputBefore) << "the operation's input";
    } else if (c.op == Op::REPLACE) {
        EXPECT_FALSE(PathExists(s.input)) << "the new file is now the target";
    }
    std::vector<std::wstring> names;
    if (want.holds == Holds::OLD) names.push_back(FoldedName(s.present.substr(s.folder.size() + 1)));
    else if (want.holds != Holds::NOTHING) names.push_back(FoldedName(s.to.substr(s.folder.size() + 1)));
    if (p.tempTaken) names.push_back(s.taken.substr(s.folder.size() + 1)); // all lower case already
    std::sort(names.begin(), names.end());
    if (p.noFolder && want.holds == Holds::NOTHING) {
        EXPECT_FALSE(PathExists(s.folder)) << "nothing was made";
    } else {
        EXPECT_EQ(FoldedNames(s.folder), names) << "the names in the target's folder";
    }

    Seen after = SeeEntry(want.holds == Holds::OLD ? s.present : s.to);
    // The other program lets go before the scratch folder is removed.
    struct LetGo {
        Scene& s;
        ~LetGo() {
            if (s.strict) s.strict->Release(s.present);
        }
    } letGo{s};
    switch (want.holds) {
    case Holds::NOTHING:
        EXPECT_FALSE(after.exists);
        break;
    case Holds::OLD:
        EXPECT_EQ(after, presentBefore) << "what was there";
        if (p.kind == Kind::FULL_FOLDER) {
            EXPECT_TRUE(PathExists(s.to + L"\\inner.txt"));
        }
        break;
    case Holds::NEW:
        EXPECT_EQ(after.bytes, NEW_BYTES);
        EXPECT_EQ(after.written, NEW_WRITTEN);
        EXPECT_EQ(after.attributes & (KEPT_BITS | FILE_ATTRIBUTE_DIRECTORY), want.attributes);
        if (c.op == Op::LINK) {
            EXPECT_TRUE(SameFileOf(s.to, s.input)) << "a link to the reference's file";
        }
        break;
    case Holds::FOLDER:
        EXPECT_TRUE(IsDirectory(s.to));
        EXPECT_EQ(after.attributes & KEPT_BITS, want.attributes);
        break;
    }
}

TEST(FileOps, KeepOtherLinksAndWhatStays)
{
    for (const Case& c : FILE_OP_CASES)
        if (!OnlyUnderWindowsRules(c)) RunCase(c, nullptr);
}

// The same rows where Windows is stricter than the test platform: no rename over, or
// delete of, a path that a handle holds; a deleted file's name that stays while another
// program holds it; short names; read-only files that refuse a replacing rename.
TEST(FileOps, KeepOtherLinksAndWhatStaysUnderWindowsRules)
{
    for (const Case& c : FILE_OP_CASES) {
        ScopedStrictFiles strict;
        RunCase(c, &*strict);
    }
}

} // namespace
