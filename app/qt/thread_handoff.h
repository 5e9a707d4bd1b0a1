#pragma once

// Qt is not built with ThreadSanitizer, so the lock that guards its posted
// event queue is invisible to it, and an event made on the protocol thread and
// read on the GUI thread looks unsynchronised. These two calls tell the
// sanitizer about the hand-over; in every other build they are nothing.
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace lorvent {

#if defined(__SANITIZE_THREAD__)
inline void MarkHandedOver(void* object) {
    __tsan_release(object);
}
inline void MarkTakenOver(void* object) {
    __tsan_acquire(object);
}
#else
inline void MarkHandedOver(void*) {}
inline void MarkTakenOver(void*) {}
#endif

} // namespace lorvent
