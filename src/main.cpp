// The program: the window when a display is available, else (or with
// "--console") the console front end.

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "console/run_console.h"
#include "platform/program_home.h"

#ifdef KESTREL_HAVE_GUI
#include "gui/run_window.h"
#endif

namespace {

[[maybe_unused]] bool DisplayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  kestrel::platform::SetProgramPath(argc > 0 ? argv[0] : "kestrel");
  bool console = false;
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--console") == 0) {
      console = true;
    } else {
      arguments.emplace_back(argv[i]);
    }
  }
#ifdef KESTREL_HAVE_GUI
  if (!console && DisplayAvailable()) return kestrel::gui::RunWindow(argc, argv);
#endif
  return kestrel::console::RunConsole(arguments);
}
