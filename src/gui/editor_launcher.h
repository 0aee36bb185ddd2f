// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Opens the program's text files (configuration, header template, filters,
// logs) in a text editor: whatever the desktop opens a text file with, or else
// $VISUAL / $EDITOR in a terminal. Nothing is reported when neither works.

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::gui {

// Starts an editor on one file; true when something was started.
using EditorOpener = std::function<bool(const std::string& path)>;

// The desktop's handler for existing files, then the terminal editor.
bool OpenInEditor(const std::string& path);

// The command that runs `editor` (the value of $VISUAL or $EDITOR, which may
// carry arguments of its own) on `path` inside `terminal`; nothing when either
// is empty. The path travels as a separate argument, never through the shell's
// parsing, so blanks and quotes in it are safe.
[[nodiscard]] std::optional<std::vector<std::string>> TerminalEditorCommand(
    const std::string& terminal, const std::string& editor, const std::string& path);

}  // namespace kestrel::gui
