#pragma once

#include <QIcon>
#include <QPixmap>

namespace lorvent {

// The program's own 16 x 16 picture: a card in front of the reader's waves.
QPixmap CardReaderPixmap(int size = 16);
QIcon CardReaderIcon();

} // namespace lorvent
