// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The window as a module the program opens only when it shows a window, so a
// console run never maps Qt. The module holds the window's code alone; the
// core it drives is the program's own (one logger, one program home), which
// the program exports to it. Free of Qt: the program includes it too.

namespace kestrel::gui {

// The module's file name.
inline constexpr char kWindowModuleFile[] = "kestrel-window.so";

// The entry point the program looks up in the module: RunWindow(argc, argv).
inline constexpr char kWindowEntryName[] = "kestrel_run_window";
using WindowEntry = int(int argc, char** argv);

}  // namespace kestrel::gui
