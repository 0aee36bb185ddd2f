// SPDX-License-Identifier: GPL-2.0-or-later
// Flow-file lines are read from the mailer's files: any bytes in a flow file
// must be scanned without harm, and only read.

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "config/configuration.h"
#include "core/log.h"
#include "null_front_end.h"
#include "outbound/list_file.h"
#include "outbound/send_list.h"

namespace {

// One scratch directory for the whole run, with a file that lines may name.
const std::string& ScratchDirectory() {
  static const std::string directory = [] {
    std::string templ = "/tmp/kestrel-fuzz-XXXXXX";
    if (!mkdtemp(templ.data())) abort();
    std::FILE* file = std::fopen((templ + "/nodelist.zip").c_str(), "wb");
    if (!file) abort();
    std::fputs("data", file);
    std::fclose(file);
    return templ;
  }();
  return directory;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrel;
  const std::string flow_file = ScratchDirectory() + "/00ec0064.flo";
  std::FILE* file = std::fopen(flow_file.c_str(), "wb");
  if (!file) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);

  kestrel::fuzz::NullFrontEnd front_end;
  core::Logger logger(front_end, ScratchDirectory());
  config::Configuration configuration;
  configuration.RemapFrom = "D:\\FILES";
  configuration.RemapTo = ScratchDirectory();
  configuration.Redirects.Add({"2:236/100.0", "node@example.org", "Node", false});
  outbound::SendList list;
  outbound::ScanContext context(configuration, list, logger);
  for (std::size_t max_line : {outbound::kMaxFlowLine, outbound::kMaxVfidoLine}) {
    (void)outbound::ScanListFile(context,
                                 {flow_file, max_line, 1, max_line != outbound::kMaxFlowLine});
  }
  if (list.Count() > outbound::kMaxSendEntries) __builtin_trap();
  return 0;
}
