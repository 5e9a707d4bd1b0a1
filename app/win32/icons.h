#pragma once

#include "card_reader_pixels.h"

#include <windows.h>

namespace lorvent {

// The picture as an icon for the window and the tray; the caller destroys it.
HICON CardReaderIcon();

} // namespace lorvent
