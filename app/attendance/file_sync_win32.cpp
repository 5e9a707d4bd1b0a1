#include "app/attendance/file_sync.h"

#include <io.h>
#include <windows.h>

#include <cstdlib>

namespace lorvent {

namespace {

HANDLE FileHandle(std::FILE* file) {
    const int descriptor = _fileno(file);
    if (descriptor < 0)
        return INVALID_HANDLE_VALUE;
    return reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
}

} // namespace

bool SyncFile(std::FILE* file) {
    if (std::fflush(file) != 0)
        return false;
    const HANDLE handle = FileHandle(file);
    return handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle) != 0;
}

bool ClearFile(std::FILE* file) {
    if (std::fflush(file) != 0)
        return false;
    const int descriptor = _fileno(file);
    return descriptor >= 0 && _chsize_s(descriptor, 0) == 0 && SyncFile(file);
}

bool LockFileExclusively(std::FILE* file) {
    const HANDLE handle = FileHandle(file);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    // A Windows lock also keeps other handles from reading the bytes it
    // covers: one byte far beyond any journal's end is locked, so that a
    // person (or a test) can still read the file.
    OVERLAPPED farBeyondTheEnd{};
    farBeyondTheEnd.Offset = 0xFFFFFFFE;
    farBeyondTheEnd.OffsetHigh = 0x7FFFFFFF;
    return LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                      &farBeyondTheEnd) != 0;
}

// The run-time library keeps the system's code of a failed open beside the
// errno it made of it, which folds other failures (a sharing violation) in.
int LastOpenError() {
    return static_cast<int>(_doserrno);
}

bool OpenRefused(int error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT ||
           error == ERROR_NETWORK_ACCESS_DENIED;
}

} // namespace lorvent
