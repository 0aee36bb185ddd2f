// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Opens the window module (gui/window_module.h) for a run that shows a window.

#include <string>

#include "gui/window_module.h"

namespace kestrel {

struct WindowModule {
  gui::WindowEntry* run = nullptr;  // null when the module could not be used
  std::string problem;              // why not, for the user
};

// Looks for the module where an installed program has it (KESTREL_WINDOW_MODULE_DIR,
// relative to the executable's directory), then beside the executable (a
// build tree). The module stays loaded for the rest of the process.
[[nodiscard]] WindowModule OpenWindowModule();

}  // namespace kestrel
