#pragma once

#include "support/app_link.h"

#include <cstdint>
#include <map>
#include <string>

namespace lorvent::testing {

// A card read as the link delivers it, "83 81 12 34 56 78": kind, flags,
// then the four number bytes, most significant first.
inline std::uint32_t CardNumber(const std::string& record) {
    return static_cast<std::uint32_t>(std::stoul(record.substr(6, 2) + record.substr(9, 2) +
                                                     record.substr(12, 2) + record.substr(15, 2),
                                                 nullptr, 16));
}

// The application's side in the bus tests that count card reads: each read
// the link delivers is counted by its number and acknowledged to the reader,
// the reader's wake drops what was waiting to go out, a link death is
// counted, and anything else that reaches the application is malformed.
struct TCardDeliveries {
    std::map<std::uint32_t, int> byCard;
    int wakes = 0;
    int deaths = 0;
    int malformed = 0;

    // Handles everything the link has delivered so far.
    void Take(AppLink& link) {
        for (const auto& message : link.Drain()) {
            if (message == "A0") {
                ++wakes;
                link.DiscardOutput();
            } else if (message == "A1") {
                ++deaths;
            } else if (message.size() == 17 && message.rfind("83 81", 0) == 0) {
                ++byCard[CardNumber(message)];
                link.Send({0x03, 0x06, 0x00});
            } else {
                ++malformed;
            }
        }
    }
};

} // namespace lorvent::testing
