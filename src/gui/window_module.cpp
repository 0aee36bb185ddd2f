// SPDX-License-Identifier: GPL-2.0-or-later
#include "gui/window_module.h"

#include <type_traits>

#include "gui/run_window.h"

// Looked up by its unmangled name (kWindowEntryName).
extern "C" __attribute__((visibility("default"))) int kestrel_run_window(int argc, char** argv) {
  return kestrel::gui::RunWindow(argc, argv);
}
static_assert(std::is_same_v<decltype(kestrel_run_window), kestrel::gui::WindowEntry>);
