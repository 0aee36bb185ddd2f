// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The program's emblem for the command column, drawn in code so the window
// needs no image files: a dog's head over a mail envelope.

#include <QPixmap>

namespace kestrel::gui {

[[nodiscard]] QPixmap FidoEmblem(int width, int height);

}  // namespace kestrel::gui
