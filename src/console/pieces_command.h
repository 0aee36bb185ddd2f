// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// "kestrel --pieces": the sets of pieces waiting in the spool, for the sysop.
// "list" (also with no word) prints each set; "deliver NAME" hands a set to
// the inbound as it is; "remove NAME" removes it. NAME is the set's name as
// the list prints it, or enough of its start to be the only one. The spool
// must not change meanwhile: run it while no get job runs.

#include <string>
#include <vector>

namespace kestrel::console {

// words: what followed "--pieces"; switches: the command line's, for /CFG:.
// Returns the exit status: 0 done, 1 failed, 2 a usage error.
int RunPiecesCommand(const std::vector<std::string>& words,
                     const std::vector<std::string>& switches);

}  // namespace kestrel::console
