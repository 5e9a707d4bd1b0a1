#pragma once

#include <cstdio>

namespace lorvent {

// What the C streams do not offer, done through the platform's own file
// handle; the source file is chosen by CMake per platform.

// Flushes the stream and asks the system to put the file's data on the disk.
// False when either fails, or when the stream has no file behind it.
bool SyncFile(std::FILE* file);

// Cuts the file to nothing and syncs it.
bool ClearFile(std::FILE* file);

// Takes an exclusive lock on the whole file without waiting; false when
// another process holds one. The lock lasts as long as the stream is open.
bool LockFileExclusively(std::FILE* file);

// The system's code for why the last open failed: errno, or on Windows the
// system's own error code behind it.
int LastOpenError();

// Whether that code says the user may not create or write the file there (a
// folder without the right, a read-only file system), rather than that
// something else went wrong (a missing folder, a full disk).
bool OpenRefused(int error);

} // namespace lorvent
