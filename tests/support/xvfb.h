#pragma once

#include "support/child_process.h"

#include <memory>
#include <string>
#include <vector>

namespace lorvent::testing {

// An Xvfb of its own on a free display number, for as long as the object lives.
class TXvfb {
public:
    explicit TXvfb(const std::vector<std::string>& extraArguments = {});
    // ":N", or empty when the server did not start.
    const std::string& Display() const { return display_; }
    // What the server said on standard error, and whether it still runs.
    std::string Log();

private:
    static bool Connectable(const std::string& display);

    std::unique_ptr<TChildProcess> server_;
    std::string display_;
};

} // namespace lorvent::testing
