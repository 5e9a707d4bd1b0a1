#pragma once

#include "xkb_layout.h"

#include <optional>
#include <string>

namespace lorvent {

// The environment variable that names the layout typed with, overriding the
// desktop's and the system's setting: "cz", "cz(qwerty)", or with more:
// "layout(variant);model;options".
inline constexpr const char* kLayoutVariable = "LORVENT_XKB_LAYOUT";

// Where the session's layout comes from, in order: the variable above, the
// desktop's own setting (GNOME's input sources, KDE's kxkbrc), the system's
// keyboard configuration (/etc/default/keyboard), else XKB's default (us).
TXkbNames SessionLayoutNames();

// The readers of each source; a list of layouts gives its first. Empty when
// the text names no layout.
std::optional<TXkbNames> ParseLayoutOverride(const std::string& text);
std::optional<TXkbNames> ParseDefaultKeyboard(const std::string& text);
// The values printed by `gsettings get org.gnome.desktop.input-sources`
// for the keys sources and xkb-options.
std::optional<TXkbNames> ParseGnomeInputSources(const std::string& sources,
                                                const std::string& options);
std::optional<TXkbNames> ParseKxkbrc(const std::string& text);

} // namespace lorvent
