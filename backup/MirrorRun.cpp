#include "backup/MirrorRun.h"

#include "backup/BackupStore.h"
#include "backup/CopyToolDigest.h"
#include "base/Md5.h"
#include "base/PathText.h"
#include "base/ScopedWin.h"
#include "base/Settings.h"
#include "contracts/CopyToolExit.h"
#include "contracts/CopyToolReport.h"
#include "contracts/ProgramFiles.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>

// The digest is compared as text; a malformed build setting must not get this far.
static_assert(sizeof EXPECTED_TOOL_DIGEST == 33, "the expected digest is 32 hex digits");
static_assert(sizeof ORIGINAL_TOOL_DIGEST == 33, "the original digest is 32 hex digits");

namespace {

// Bytes asked for per read of the tool's output.
constexpr DWORD READ_CHUNK_BYTES = 1024;
// The output ends with the completion time and CR LF; its characters are single bytes.
constexpr size_t STAMP_TAIL_BYTES = REPORT_STAMP_TAIL_CHARS;
constexpr size_t STAMP_BYTES = REPORT_STAMP_CHARS;
// Room for the stamp as wide text, terminator included.
constexpr size_t STAMP_WIDE_CAPACITY = 32;
static_assert(STAMP_BYTES < STAMP_WIDE_CAPACITY, "the stamp fits its buffer");

const wchar_t MIRROR_OPTION[] = L"/MIR";
// The reference slot whose unchanged files the tool links instead of copying.
const wchar_t LINK_REFERENCE_OPTION[] = L" /LINKDEST:\"";

// A path that would leave its quotes in the command line: a quote ends the argument, and
// a backslash before the closing quote escapes it, so the rest of the line would be read
// as further arguments (another target for /MIR).
bool BreaksQuoting(const wchar_t* path)
{
    size_t length = wcslen(path);
    if (wmemchr(path, L'"', length)) return true;
    return length > 0 && path[length - 1] == PATH_SEPARATOR;
}

// Appends text to the line at *used; false when it does not fit with the terminator.
bool Append(wchar_t* line, size_t capacity, size_t* used, const wchar_t* text)
{
    size_t length = wcslen(text);
    if (length >= capacity - *used) return false;
    wmemcpy(line + *used, text, length + 1);
    *used += length;
    return true;
}

// "tool" "source" "target" /MIR, with /LINKDEST:"reference" after it when a reference is
// given; null when it does not fit or a path is unsafe in it.
wchar_t* FormMirrorCommandLine(wchar_t* line, size_t capacity, const wchar_t* toolPath,
                               const wchar_t* sourceDir, const wchar_t* targetDir,
                               const wchar_t* referenceDir)
{
    const wchar_t* paths[] = {toolPath, sourceDir, targetDir};
    size_t used = 0;
    line[0] = L'\0';
    for (const wchar_t* path : paths) {
        if (BreaksQuoting(path)) return nullptr;
        if (!Append(line, capacity, &used, L"\"") || !Append(line, capacity, &used, path) ||
            !Append(line, capacity, &used, L"\" "))
            return nullptr;
    }
    if (!Append(line, capacity, &used, MIRROR_OPTION)) return nullptr;
    if (!referenceDir) return line;
    if (BreaksQuoting(referenceDir)) return nullptr;
    if (!Append(line, capacity, &used, LINK_REFERENCE_OPTION) ||
        !Append(line, capacity, &used, referenceDir) || !Append(line, capacity, &used, L"\""))
        return nullptr;
    return line;
}

// The last STAMP_TAIL_BYTES bytes of a stream, kept in order as chunks pass.
struct OutputTail {
    unsigned char bytes[STAMP_TAIL_BYTES];
    size_t held;
    uint64_t total;
};

void KeepTail(OutputTail* tail, const unsigned char* chunk, size_t size)
{
    tail->total += size;
    if (size >= STAMP_TAIL_BYTES) {
        memcpy(tail->bytes, chunk + size - STAMP_TAIL_BYTES, STAMP_TAIL_BYTES);
        tail->held = STAMP_TAIL_BYTES;
        return;
    }
    size_t keep = STAMP_TAIL_BYTES - size; // older bytes that stay
    if (tail->held > keep) {
        memmove(tail->bytes, tail->bytes + tail->held - keep, keep);
        tail->held = keep;
    }
    memcpy(tail->bytes + tail->held, chunk, size);
    tail->held += size;
}

bool IsControl(wchar_t c)
{
    // C0, DEL and C1: any of them could end or reshape the line in the settings file.
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// The completion time from the output's tail as wide text, or null when the output is too
// short or the text holds a control character.
wchar_t* StampFromTail(const OutputTail* tail, wchar_t* stamp, size_t capacity)
{
    if (tail->total < STAMP_TAIL_BYTES) return nullptr;
    char narrow[33] = {};
    for (size_t i = 0; i < STAMP_BYTES; ++i) {
        unsigned char byte = tail->bytes[i];
        // Checked before conversion too: a zero byte would cut the text short unseen.
        if (byte < 0x20 || byte == 0x7F) return nullptr;
        narrow[i] = static_cast<char>(byte);
    }
    if (!AnsiToWide(stamp, capacity, narrow)) return nullptr;
    for (const wchar_t* c = stamp; *c; ++c)
        if (IsControl(*c)) return nullptr;
    return stamp;
}

} // namespace

wchar_t* VerifyCopyTool(wchar_t* toolPath, size_t capacity)
{
    if (!toolPath) return nullptr;
    wchar_t dir[PATH_CAPACITY];
    wchar_t path[PATH_CAPACITY];
    if (!GetProgramDir(dir, PATH_CAPACITY)) return nullptr;
    if (!JoinPath(path, PATH_CAPACITY, dir, COPY_TOOL_FILE_NAME)) return nullptr;

    Md5Digest digest;
    char hex[33];
    if (!Md5File(path, &digest)) return nullptr;
    if (!DigestToHex(&digest, hex, sizeof hex)) return nullptr;
    if (memcmp(hex, EXPECTED_TOOL_DIGEST, 32) != 0) return nullptr;

    size_t length = wcslen(path);
    if (length + 1 > capacity) return nullptr;
    wmemcpy(toolPath, path, length + 1);
    return toolPath;
}

HANDLE SpawnWithPipe(const wchar_t* commandLine, HANDLE* readEnd, const wchar_t* currentDirectory,
                     HANDLE job)
{
    if (readEnd) *readEnd = INVALID_HANDLE_VALUE;
    if (!commandLine || !readEnd) return nullptr;

    // Neither end is inheritable as made; the child gets two inheritable copies of the
    // write end only, so no stray copy of the read end keeps the pipe alive.
    HANDLE readRaw = nullptr, writeRaw = nullptr;
    if (!CreatePipe(&readRaw, &writeRaw, nullptr, 0)) return nullptr;
    UniqueHandle pipeRead(readRaw), pipeWrite(writeRaw);

    HANDLE self = GetCurrentProcess();
    HANDLE outRaw = nullptr, errRaw = nullptr;
    if (!DuplicateHandle(self, pipeWrite.get(), self, &outRaw, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return nullptr;
    UniqueHandle childOut(outRaw);
    if (!DuplicateHandle(self, childOut.get(), self, &errRaw, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return nullptr;
    UniqueHandle childErr(errRaw);
    pipeWrite.reset();

    STARTUPINFOW startup;
    memset(&startup, 0, sizeof startup);
#if !defined(_WIN64)
    static_assert(sizeof(STARTUPINFOW) == 68, "the 32-bit start-up record is 68 bytes");
#endif
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    startup.wShowWindow = SW_HIDE;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = childOut.get();
    startup.hStdError = childErr.get();

    // CreateProcessW may write into the command line, so it gets a copy of its own.
    wchar_t line[COMMAND_LINE_CAPACITY];
    size_t length = wcslen(commandLine);
    if (length + 1 > COMMAND_LINE_CAPACITY) return nullptr;
    wmemcpy(line, commandLine, length + 1);

    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    // A console of its own, never shown: the runner has none to share. Held before its
    // first instruction while it joins the job, so not even its first write escapes it.
    DWORD flags = CREATE_NEW_CONSOLE | (job ? CREATE_SUSPENDED : 0);
    // A runner that is in a job itself (Task Scheduler, a launcher, a remote session) starts
    // the tool outside that job where the job allows it (JOB_OBJECT_LIMIT_BREAKAWAY_OK), so
    // the tool can join this job even on a system that puts a process in one job only. A job
    // that does not allow it makes the start fail with ERROR_ACCESS_DENIED: the tool is then
    // started inside it, as before.
    BOOL started = job && CreateProcessW(nullptr, line, nullptr, nullptr, TRUE, flags | CREATE_BREAKAWAY_FROM_JOB,
                                         nullptr, currentDirectory, &startup, &process);
    if (!started && (!job || GetLastError() == ERROR_ACCESS_DENIED)) {
        wmemcpy(line, commandLine, length + 1);
        started = CreateProcessW(nullptr, line, nullptr, nullptr, TRUE, flags, nullptr, currentDirectory, &startup,
                                 &process);
    }
    UniqueProcess child(started ? process : PROCESS_INFORMATION{});
    if (started && job) {
        // Windows 7 does not nest jobs: a tool that could not leave the runner's job is
        // refused here, and runs as it did before there was a job (its target lock still
        // keeps a second run out of its slot).
        AssignProcessToJobObject(job, child.process());
        if (ResumeThread(child.thread()) == static_cast<DWORD>(-1)) {
            TerminateProcess(child.process(), COPY_EXIT_FATAL);
            started = FALSE;
        }
    }
    // From here only the child (and whatever inherits from it) can write to the pipe, so
    // the read end reports the end of the data when they have all ended.
    childOut.reset();
    childErr.reset();
    if (!started) return nullptr;
    *readEnd = pipeRead.release();
    return child.releaseProcess();
}

int RunCopyTool(const wchar_t* toolPath, const wchar_t* sourceDir, const wchar_t* targetDir,
                const wchar_t* referenceDir, const wchar_t* currentDirectory,
                const CopyOutputSink* sink)
{
    if (!toolPath || !sourceDir || !targetDir) return RUN_NOT_STARTED;
    wchar_t commandLine[COMMAND_LINE_CAPACITY];
    // A reference that does not fit costs only the links: the plain mirror still runs.
    if (!FormMirrorCommandLine(commandLine, COMMAND_LINE_CAPACITY, toolPath, sourceDir, targetDir,
                               referenceDir) &&
        !(referenceDir && FormMirrorCommandLine(commandLine, COMMAND_LINE_CAPACITY, toolPath, sourceDir,
                                                targetDir, nullptr)))
        return RUN_NOT_STARTED;

    // The tool ends with its owner however that ends (killed, crashed, its session
    // ended): the platform closes the job's handle then, and the job ends the tool, so no
    // orphaned copy goes on writing into a slot that the next run will choose again. At
    // the end of the run the job is closed after the tool has ended.
    UniqueHandle job(CreateKillOnCloseJob());
    HANDLE readRaw = INVALID_HANDLE_VALUE;
    UniqueHandle process(SpawnWithPipe(commandLine, &readRaw, currentDirectory, job.get()));
    UniqueHandle readEnd(readRaw);
    if (!process) return RUN_NOT_STARTED;
    if (sink && sink->started) sink->started(sink->context);

    // Drained whether or not anyone keeps it: a full pipe would block the tool.
    unsigned char chunk[READ_CHUNK_BYTES];
    DWORD got = 0;
    // The first failed read (ERROR_BROKEN_PIPE once every writer has gone) ends the output.
    while (ReadFile(readEnd.get(), chunk, READ_CHUNK_BYTES, &got, nullptr)) {
        if (got != 0 && sink && sink->output) sink->output(sink->context, chunk, got);
    }

    // The output has ended; the exit code tells whether the mirror is whole. A tool that
    // failed, crashed (its code is then the exception's, far above 7) or whose code cannot
    // be read has not made a whole copy.
    DWORD exitCode = STILL_ACTIVE;
    bool succeeded = WaitForSingleObject(process.get(), INFINITE) == WAIT_OBJECT_0 &&
                     GetExitCodeProcess(process.get(), &exitCode) &&
                     exitCode < static_cast<DWORD>(COPY_EXIT_FIRST_FAILURE);
    return succeeded ? RUN_FINISHED : RUN_TOOL_FAILED;
}

namespace {

// What a backup run keeps of the tool's output: all of it in the log, and its tail.
struct MirrorLog {
    const wchar_t* path;
    bool append;
    // A log that replaces the previous one is written beside it under this name and put in
    // its place once the run is over; empty when the output goes straight into path.
    wchar_t newPath[PATH_CAPACITY];
    UniqueFile file;
    OutputTail tail;
};

// Opened only once the tool runs, so a tool that cannot start leaves the previous log as
// it was. A log that cannot be opened does not stop the run: the output goes unwritten.
// A replacing log goes under its new name first, so that a run cut off (the runner killed,
// the session ending) leaves the previous log whole; what a cut-off run wrote there is
// overwritten by the next run. An appended log keeps what it had in any case.
void OpenMirrorLog(void* context)
{
    MirrorLog* log = static_cast<MirrorLog*>(context);
    if (!log->path) return;
    const wchar_t* writeTo = log->newPath[0] ? log->newPath : log->path;
    log->file.reset(_wfopen(writeTo, log->append ? L"ab" : L"wb"));
}

// Tries of putting the new log in place, and the pause between them: the companion opens
// the log now and then to read it, and Windows does not replace a file that is open.
constexpr int PLACE_LOG_TRIES = 10;
constexpr DWORD PLACE_LOG_PAUSE_MS = 100;

// Puts a complete new log in the previous one's place, after its handle is closed: a file
// is never renamed while held open. Where the log stays held longer, the previous one
// stays and the new output is left under the new name, for the next run to overwrite.
void PlaceMirrorLog(MirrorLog* log)
{
    log->file.reset();
    for (int attempt = 0; attempt < PLACE_LOG_TRIES; ++attempt) {
        if (attempt > 0) Sleep(PLACE_LOG_PAUSE_MS);
        // MOVEFILE_REPLACE_EXISTING: the previous log goes in the same step; the rename
        // within the folder is atomic, so a reader sees one log or the other, never a part.
        // MOVEFILE_WRITE_THROUGH: the call returns only once the move is on the disk.
        if (MoveFileExW(log->newPath, log->path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return;
        DWORD error = GetLastError();
        if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) return;
    }
}

void KeepMirrorOutput(void* context, const unsigned char* bytes, size_t size)
{
    MirrorLog* log = static_cast<MirrorLog*>(context);
    if (log->file) fwrite(bytes, 1, size, log->file.get());
    KeepTail(&log->tail, bytes, size);
}

} // namespace

int RunMirror(const wchar_t* toolPath, const wchar_t* sourceDir, const wchar_t* targetDir,
              const wchar_t* logPath, bool append, int* status, bool linkReference)
{
    int ignored = 0;
    if (!status) status = &ignored;
    wchar_t configPath[PATH_CAPACITY];
    bool haveConfig = GetConfigPath(configPath, PATH_CAPACITY) != nullptr;
    wchar_t referenceDir[PATH_CAPACITY];
    const wchar_t* reference =
        linkReference && haveConfig
            ? FindLinkReference(referenceDir, PATH_CAPACITY, configPath, targetDir)
            : nullptr;

    MirrorLog log{logPath, append, L"", UniqueFile(), OutputTail{}};
    // A path too long for the new name's suffix is written in place, as an appended one is.
    if (logPath && !append && wcslen(logPath) + wcslen(NEW_LOG_SUFFIX) < PATH_CAPACITY)
        swprintf(log.newPath, PATH_CAPACITY, L"%ls%ls", logPath, NEW_LOG_SUFFIX);
    CopyOutputSink sink{&log, OpenMirrorLog, KeepMirrorOutput};
    *status = RunCopyTool(toolPath, sourceDir, targetDir, reference, nullptr, &sink);
    // The log of a run that got to its end, however the tool ended, replaces the previous.
    if (log.file && log.newPath[0]) PlaceMirrorLog(&log);

    // A tool that did not make a whole mirror must not stamp its slot as the newest
    // generation.
    if (*status == RUN_FINISHED) {
        wchar_t stamp[STAMP_WIDE_CAPACITY];
        // A failed write leaves the slot's previous stamp; the run still counts.
        if (StampFromTail(&log.tail, stamp, STAMP_WIDE_CAPACITY) && haveConfig)
            WriteSlotStamp(configPath, targetDir, stamp);
    }
    log.file.reset();
    return *status == RUN_FINISHED ? 0 : 1;
}

int RunMirror(const wchar_t* toolPath, const wchar_t* sourceDir, const wchar_t* targetDir,
              const wchar_t* logPath, bool append, int* status)
{
    return RunMirror(toolPath, sourceDir, targetDir, logPath, append, status, EXPECTED_TOOL_IS_BUILT);
}
