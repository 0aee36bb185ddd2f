// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// A dial-up phonebook simulated from a text file, installed as the program's
// dial-up backend for in-process tests. One line per item; "#" starts a comment line:
//   entry NAME | connect SECONDS   answers and connects after SECONDS
//   entry NAME | busy              the line is busy on every try
//   entry NAME | noanswer          never answers
//   entry NAME | refused           the dial is refused at once
//   entry NAME | online            already connected by another program
// An entry line may end in "| password" (a password is stored) or
// "| noparams" (its dial parameters cannot be read).
//   window CAPTION                 a top-level window with that caption exists
//   broken                         the phonebook cannot be read
// Connections live for the whole process, so several loads see the same line.

#include <memory>
#include <string>
#include <vector>

#include "dialup/dial_backend.h"

namespace kestrel::testing {

// Every later LoadDialBackend reads this phonebook file.
void UseSimulatedPhonebook(const std::string& phonebook_file);

// What the simulated system did, for tests.
struct SimulatedRecord {
  std::vector<std::string> dialled;        // entry names, one per dial
  std::vector<std::string> hung_up;        // entry names, one per hang-up
  std::vector<std::string> minimized;      // captions
  std::vector<std::string> params_stored;  // entry names
};
[[nodiscard]] SimulatedRecord SimulatedHistory();
// Forgets every connection and the history, and gives LoadDialBackend back
// to the environment's choice.
void ResetSimulatedDialup();

}  // namespace kestrel::testing
