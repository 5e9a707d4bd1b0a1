#include "clock.h"

#include <windows.h>

namespace lorvent {
namespace {

// GetCurrentThread gives a pseudo handle that means "the calling thread" to
// whoever uses it, so the engine needs a real one to look at the GUI thread.
constexpr DWORD kAllThreadAccess = 0x1F03FF;

class TThreadHandleWatch : public TThreadWatch {
public:
    explicit TThreadHandleWatch(HANDLE thread) : thread_(thread) {}
    ~TThreadHandleWatch() override {
        if (thread_ != nullptr)
            CloseHandle(thread_);
    }
    TThreadHandleWatch(const TThreadHandleWatch&) = delete;
    TThreadHandleWatch& operator=(const TThreadHandleWatch&) = delete;

    bool Alive() override {
        DWORD exitCode = 0;
        if (thread_ == nullptr || !GetExitCodeThread(thread_, &exitCode))
            return true; // without a handle there is nothing to go by; keep serving
        return exitCode == STILL_ACTIVE;
    }

private:
    HANDLE thread_;
};

} // namespace

std::shared_ptr<TThreadWatch> WatchCurrentThread() {
    HANDLE real = nullptr;
    const HANDLE process = GetCurrentProcess();
    if (!DuplicateHandle(process, GetCurrentThread(), process, &real, kAllThreadAccess, TRUE, 0))
        real = nullptr;
    return std::make_shared<TThreadHandleWatch>(real);
}

} // namespace lorvent
