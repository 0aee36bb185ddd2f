// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The files the record of sent messages knows as confirmed but not tidied:
// what the scans ask, and the tidying done again before a send run, so that
// a file whose packet or flow-file line an earlier run could not remove is
// neither mailed again nor left queued for ever.

#include <cstdint>
#include <optional>
#include <string>

#include "config/configuration.h"
#include "core/log.h"
#include "outbound/send_list.h"
#include "outbound/untidied_files.h"
#include "send/sent_record.h"

namespace kestrel::send {

class UntidiedRecord final : public outbound::UntidiedFiles {
 public:
  // Reads the record beside the program; one that cannot be read knows none.
  UntidiedRecord();
  explicit UntidiedRecord(std::string path,
                          SentRecord::Rewrite rewrite = SentRecord::Rewrite::AtOnce);

  [[nodiscard]] std::optional<std::int64_t> ConfirmedAt(
      const std::string& node, const std::string& real_path) const override;

  // The bookkeeping of every Untidied entry of `list` done again, each under
  // its node's busy flags (a node held now waits): a file tidied now is
  // recorded so, and a queueing of it after that is a new one; a failure is
  // a problem line again and sets the list's Problems.
  void TidyAgain(outbound::SendList& list, const config::Configuration& configuration,
                 core::Logger& logger);

 private:
  SentRecord record_;
};

}  // namespace kestrel::send
