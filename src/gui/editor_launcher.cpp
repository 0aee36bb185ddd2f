// SPDX-License-Identifier: GPL-2.0-or-later
#include "gui/editor_launcher.h"

#include <QDesktopServices>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>
#include <cstdlib>

#include "platform/file_names.h"
#include "platform/files.h"

namespace kestrel::gui {

namespace {

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// Debian's chosen terminal first, then the one most systems have.
std::string FindTerminal() {
  for (const char* candidate : {"x-terminal-emulator", "xterm"}) {
    const QString found = QStandardPaths::findExecutable(candidate);
    if (!found.isEmpty()) return found.toStdString();
  }
  return "";
}

}  // namespace

std::optional<std::vector<std::string>> TerminalEditorCommand(const std::string& terminal,
                                                              const std::string& editor,
                                                              const std::string& path) {
  if (terminal.empty() || editor.empty()) return std::nullopt;
  // sh splits the editor's own arguments; "$1" keeps the path whole.
  return std::vector<std::string>{terminal, "-e", "sh", "-c", "exec " + editor + " \"$1\"",
                                  "sh",     path};
}

bool OpenInEditor(const std::string& path) {
  const std::string resolved = platform::ResolveName(path);
  // A desktop handler cannot open a file that is not there; an editor can
  // create it.
  if (platform::FileExists(resolved) &&
      QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(resolved)))) {
    return true;
  }
  std::string editor = Environment("VISUAL");
  if (editor.empty()) editor = Environment("EDITOR");
  const auto command = TerminalEditorCommand(FindTerminal(), editor, resolved);
  if (!command) return false;
  QStringList arguments;
  for (std::size_t i = 1; i < command->size(); ++i) {
    arguments << QString::fromStdString((*command)[i]);
  }
  return QProcess::startDetached(QString::fromStdString(command->front()), arguments);
}

}  // namespace kestrel::gui
