#pragma once
// The program's own string table (resources/Strings.rc): the texts of the window, the shortcut's
// description and the restart line, loaded from the running program's module.

// Loads string stringId into buffer (size bytes, always terminated); "" when it is missing.
void LoadProgramText(int stringId, char* buffer, int size);
