// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// A stand-in "nmcli" first on PATH, and KESTREL_DIALUP=nmcli, for as long as
// the object lives; the program run by a test inherits both. Its state is in
// files under the directory it is given: "nm/profiles" (one name a line),
// "nm/active" (NAME:TYPE:DEVICE lines), "nm/failing" (profiles whose
// activation fails), "nm/answers" ("SECONDS STATUS" lines, one taken by each
// activation: it answers after that long, with that exit status) and
// "nm/calls" (the arguments of every call).

#include <string>

#include "support/temp_dir.h"

namespace kestrel::testing {

class FakeNmcli {
 public:
  explicit FakeNmcli(const TempDir& dir);
  ~FakeNmcli();
  FakeNmcli(const FakeNmcli&) = delete;
  FakeNmcli& operator=(const FakeNmcli&) = delete;

 private:
  std::string old_path_;
};

}  // namespace kestrel::testing
