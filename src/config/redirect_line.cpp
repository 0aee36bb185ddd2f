// SPDX-License-Identifier: GPL-2.0-or-later
#include "config/redirect_line.h"

#include "config/address.h"
#include "core/text_utils.h"

namespace kestrel::config {

void AddRedirectLine(std::string_view line, Configuration& configuration) {
  const std::string address = core::WordAt(line, 2);
  if (!IsFidoAddress(address)) {
    // "2:236" or "2:236/1OO" would match no node and send nothing, silently.
    configuration.Remarks.push_back(
        {"** REDIRECT " + address + " is not a FidoNet address (zone:net/node.point)", true});
    return;
  }
  RedirectEntry entry;
  entry.Address = CompleteAddress(address.substr(0, kMaxAddress), configuration.OURZONE);
  entry.EmailAddress = core::WordAt(line, 3);
  if (entry.EmailAddress.find('@') == std::string::npos) {
    // "REDIRECT 2:236/200 Ann Node ann@example.org" would mail "Ann".
    configuration.Remarks.push_back({"** REDIRECT " + address + ": '" + entry.EmailAddress +
                                         "' is not an e-mail address, line ignored",
                                     false});
    return;
  }
  std::string name(line.substr(0, core::kMaxUtilityText));
  for (int i = 0; i < 3; ++i) name = core::DeleteWord(name, 1);
  entry.Name = core::TrimLeadingBlanks(name).substr(0, kMaxName);
  entry.SendAsText = configuration.SendTextMode;
  configuration.Redirects.Add(std::move(entry));
}

}  // namespace kestrel::config
