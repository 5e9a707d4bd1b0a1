#include "app/attendance/file_sync.h"

#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace lorvent {

bool SyncFile(std::FILE* file) {
    if (std::fflush(file) != 0)
        return false;
    const int descriptor = fileno(file);
    return descriptor >= 0 && fsync(descriptor) == 0;
}

bool ClearFile(std::FILE* file) {
    if (std::fflush(file) != 0)
        return false;
    const int descriptor = fileno(file);
    return descriptor >= 0 && ftruncate(descriptor, 0) == 0 && fsync(descriptor) == 0;
}

bool LockFileExclusively(std::FILE* file) {
    const int descriptor = fileno(file);
    return descriptor >= 0 && flock(descriptor, LOCK_EX | LOCK_NB) == 0;
}

int LastOpenError() {
    return errno;
}

bool OpenRefused(int error) {
    return error == EACCES || error == EPERM || error == EROFS;
}

} // namespace lorvent
