// SPDX-License-Identifier: GPL-2.0-or-later
#include <cstdlib>
#include <mutex>
#include <string>

#include "dialup/dial_backend.h"
#include "dialup/nmcli_dialup.h"

namespace kestrel::dialup {
namespace {

// Routines on any thread load a backend; a test installs its loader between them.
std::mutex loader_mutex;
BackendLoader test_loader;

}  // namespace

std::unique_ptr<DialBackend> LoadDialBackend() {
  {
    std::lock_guard guard(loader_mutex);
    if (test_loader) return test_loader();
  }
  const char* choice = std::getenv("KESTREL_DIALUP");
  if (choice && std::string(choice) == "nmcli") return MakeNmcliBackend();
  return nullptr;  // dial-up networking is not installed
}

void SetDialBackendLoaderForTesting(BackendLoader loader) {
  std::lock_guard guard(loader_mutex);
  test_loader = std::move(loader);
}

}  // namespace kestrel::dialup
