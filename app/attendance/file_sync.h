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

} // namespace lorvent
