// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Whether a sent file is still wanted by some list of the mailer: a flow file
// of any link of the outbound (every zone and point, redirected or not) or a
// VFIDO list. Such a file is neither deleted nor truncated after sending.
//
// The lists are read once, at the first question of a run, and kept up to
// date with the lines the run's own bookkeeping removes: a question costs the
// lines naming a file of that name, not a read of every list. A line a
// mailer adds to another list during the run is seen by the next run.

#include <string>
#include <unordered_map>
#include <vector>

#include "config/configuration.h"
#include "outbound/send_list.h"

namespace kestrel::outbound {

class ListedNames {
 public:
  // Reads every list of the mailer; lists that cannot be read are passed over.
  explicit ListedNames(const config::Configuration& configuration);

  // The real path of the first flow file or list with a line that names the
  // file at `real_path` for sending (see LineNamesFile); empty when none.
  [[nodiscard]] std::string ListNaming(const std::string& real_path) const;
  // The list at `list_path` names the file no more: its lines went.
  void Forget(const std::string& list_path, const std::string& real_path);

 private:
  struct Line {
    std::string list;  // real path of the list
    std::string name;  // the name it lists, remapped
  };
  // By the upper-cased last component of the name: the lines that can name a
  // file of that name.
  std::unordered_map<std::string, std::vector<Line>> by_base_;
};

// The lists of the run (made on first use) as `list` keeps them.
[[nodiscard]] ListedNames& ListedNamesOf(SendList& list,
                                         const config::Configuration& configuration);

}  // namespace kestrel::outbound
