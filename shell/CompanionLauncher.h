// Starts the companion program, Marrowby.exe, for its settings or its restore.
#pragma once

enum CompanionMode {
    COMPANION_OPTIONS, // "--options"
    COMPANION_RESTORE, // "--restore"
};

// Starts the companion in the program directory and returns at once; reports nothing.
void LaunchCompanion(CompanionMode mode);
