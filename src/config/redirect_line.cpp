#include "config/redirect_line.h"

#include "app/text_utils.h"
#include "config/address.h"

namespace kestrel::config {

void AddRedirectLine(std::string_view line, Configuration& configuration) {
  RedirectEntry entry;
  entry.Address =
      CompleteAddress(app::WordAt(line, 2).substr(0, kMaxAddress), configuration.OURZONE);
  entry.EmailAddress = app::WordAt(line, 3);
  std::string name(line.substr(0, app::kMaxUtilityText));
  for (int i = 0; i < 3; ++i) name = app::DeleteWord(name, 1);
  entry.Name = app::TrimLeadingBlanks(name).substr(0, kMaxName);
  entry.SendAsText = configuration.SendTextMode;
  configuration.Redirects.Add(std::move(entry));
}

}  // namespace kestrel::config
