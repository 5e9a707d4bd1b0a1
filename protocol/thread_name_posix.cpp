#include "clock.h"

#include <pthread.h>

namespace lorvent {

void NameCurrentThread(const char* name) {
    pthread_setname_np(pthread_self(), name);
}

} // namespace lorvent
