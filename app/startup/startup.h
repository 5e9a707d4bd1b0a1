#pragma once

#include "app/frm_services.h"

#include <ostream>
#include <string>
#include <vector>

namespace lorvent {

class TMainFrm;

inline const char* const kApplicationTitle = "Lorvent karet";
inline const char* const kWindowCaption = "Lorvent";
inline const char* const kErrorCaption = "Chyba";
inline constexpr int kExitStartupFailed = 1;

// A library failure's message as the error box shows it: a full stop is
// appended when the message is not empty and its last character's code is
// above that of the full stop.
std::string ErrorBoxText(const std::string& message);

// Runs the window's start-up. A failure is shown in a box (our own messages
// captioned "Chyba" without an icon; anything else as an error box titled with
// the application title) and written to `errors` for whoever watches the
// terminal or the journal. True when the program goes on to its message loop.
bool StartUp(TMainFrm& window, const std::vector<std::string>& arguments, TMessageBoxes& boxes,
             std::ostream& errors);

} // namespace lorvent
