// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/fake_nmcli.h"

#include <sys/stat.h>

#include <cstdlib>

namespace kestrel::testing {
namespace {

constexpr const char* kScript = R"(#!/bin/sh
state="$NMCLI_STATE"
echo "$*" >> "$state/calls"
case "$*" in
  "-t -f NAME connection show") cat "$state/profiles" ;;
  "-t -f NAME,TYPE,DEVICE connection show --active") cat "$state/active" 2>/dev/null ;;
  "connection up id "*)
    name="${*#connection up id }"
    # "SECONDS STATUS" lines, one taken by each activation: slow answers.
    if [ -s "$state/answers" ]; then
      read -r seconds status < "$state/answers"
      sed -i 1d "$state/answers"
      sleep "$seconds"
      [ "$status" = 0 ] || exit "$status"
    fi
    if grep -qx "$name" "$state/failing" 2>/dev/null; then exit 4; fi
    echo "$name:gsm:ttyUSB0" >> "$state/active" ;;
  "connection down id "*)
    name="${*#connection down id }"
    grep -v "^$name:" "$state/active" > "$state/active.new"; mv "$state/active.new" "$state/active" ;;
  *) exit 2 ;;
esac
)";

}  // namespace

FakeNmcli::FakeNmcli(const TempDir& dir) {
  const char* path = std::getenv("PATH");
  old_path_ = path ? path : "";
  chmod(dir.Write("bin/nmcli", kScript).c_str(), 0755);
  setenv("PATH", (dir.File("bin") + ":" + old_path_).c_str(), 1);
  setenv("NMCLI_STATE", dir.MakeDir("nm").c_str(), 1);
  setenv("KESTREL_DIALUP", "nmcli", 1);
}

FakeNmcli::~FakeNmcli() {
  setenv("PATH", old_path_.c_str(), 1);
  unsetenv("KESTREL_DIALUP");
  unsetenv("NMCLI_STATE");
}

}  // namespace kestrel::testing
