// Marrowby.exe's exit statuses: every form of its command line ends with one of these, and
// a restore's or an undo's outcome is one of them. This is the one list; the README and
// the usage comment in Main.cpp point here.
#pragma once

enum CompanionExit {
    RESTORE_DONE = 0,                      // done (or a dialog was closed)
    EXIT_USAGE = 2,                        // unknown arguments or an invalid setting; nothing written
    EXIT_NO_PROGRAM_FILES = 3,             // the program folder or config.ini cannot be named, or the
                                           // settings could not be written
    RESTORE_DONE_RUNNER_NOT_RESTARTED = 4, // restored (or undone), but Kestova.exe could not be started again
    RESTORE_CLIENT_RUNNING = 10,           // QQ runs (or the process list cannot be read)
    RESTORE_RUNNER_STILL_RUNNING = 11,     // Kestova.exe did not quit within the wait
    RESTORE_NO_DATA_DIR = 12,              // the chat data folder is not found
    RESTORE_EMPTY_SLOT = 13,               // the slot folder is missing or holds no file
    RESTORE_OTHER_VOLUME = 14,             // the slot and the data folder lie on different volumes
    RESTORE_NO_SPACE = 15,                 // the data folder's volume cannot hold the copy
    RESTORE_COPY_FAILED = 16,              // the copy tool failed or its copy is incomplete
    RESTORE_SET_ASIDE_FAILED = 17,         // the live folder could not be renamed aside
    RESTORE_SWAP_FAILED = 18,              // the copy could not take its place; the live folder is back
    RESTORE_SWAP_UNDO_FAILED = 19,         // ...and it could not be put back: it lies under its
                                           // set-aside name (printed); every other failure leaves
                                           // the live history where and as it was
    RESTORE_NOTHING_TO_UNDO = 20,          // no restore is recorded, or its set-aside folder is gone
    RESTORE_UNDO_FAILED = 21,              // undo failed; nothing changed
    RESTORE_SLOT_CHANGED = 22,             // a backup changed the slot while Kestova.exe was quitting
                                           // (choose again)
    RESTORE_UNDO_STALE = 23,               // the recorded restore was made on another data folder than
                                           // the one QQ uses now; nothing changed
    RESTORE_UNDO_RECORD_INVALID = 24,      // the recorded set-aside folder is not one a restore made
                                           // beside the data folder, or lies in the store; nothing
                                           // changed
};
