// SPDX-License-Identifier: GPL-2.0-or-later
#include <cstdlib>
#include <string>

#include "dialup/dial_backend.h"
#include "dialup/nmcli_dialup.h"
#include "dialup/simulated_dialup.h"

namespace kestrel::dialup {

std::unique_ptr<DialBackend> LoadDialBackend() {
  const char* phonebook = std::getenv("KESTREL_DIALUP_PHONEBOOK");
  if (phonebook && *phonebook) return MakeSimulatedBackend(phonebook);
  const char* choice = std::getenv("KESTREL_DIALUP");
  if (choice && std::string(choice) == "nmcli") return MakeNmcliBackend();
  return nullptr;  // dial-up networking is not installed
}

}  // namespace kestrel::dialup
