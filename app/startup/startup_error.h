#pragma once

#include <string>
#include <utility>

namespace lorvent {

// A start-up failure of our own: its text is shown as is in a box captioned
// "Chyba". Deliberately not a std::exception, so that it is never mistaken for
// a failure of the run-time or a library, which is shown differently.
struct TStartupError {
    explicit TStartupError(std::string message) : text(std::move(message)) {}
    std::string text;
};

// Replaces the single "%s" of a message pattern with `value`.
std::string FormatMessage(const std::string& pattern, const std::string& value);

inline const char* const kMsgInvalidArgument = "Neplatný argument '%s'";
inline const char* const kMsgInvalidPrefix = "Neplatný prefix '%s'";
inline const char* const kMsgPortOpenFailed = "Nepodařilo se otevřít sériový port '%s'";
inline const char* const kMsgPortDeniedJoinGroup = "uživatel musí být ve skupině %s";
inline const char* const kMsgPortDeniedNoGroup = "přístup k portu musí povolit správce";
inline const char* const kMsgDirectoryFailed = "Nepodařilo se vytvořit adresář '%s'";
inline const char* const kMsgFileOpenFailed = "Nepodařilo se otevřít soubor '%s'";
inline const char* const kMsgInvalidKeyDelay =
    "Neplatná prodleva mezi znaky '%s' (LORVENT_KEY_DELAY_MS): zadejte celý počet milisekund "
    "od 0 do 1000";
inline const char* const kMsgInvalidServerPort = "Neplatný port serveru '%s' (LORVENT_SERVER_PORT)";

} // namespace lorvent
