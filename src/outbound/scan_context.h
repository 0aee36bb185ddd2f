// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// What the three outbound scans share while one send list is built: the
// configuration they read, the list and totals they add to, and the sending
// side's log with the rule for detail lines.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/configuration.h"
#include "core/log.h"
#include "outbound/scan_directories.h"
#include "outbound/send_list.h"
#include "outbound/untidied_files.h"
#include "platform/file_search.h"

namespace kestrel::outbound {

// A sum stays here at the top, far above any real outbound, so that adding
// one more size can never overflow.
inline constexpr std::int64_t kMaxTotalBytes = std::int64_t{1} << 60;

// How much of the scan the log shows: the Check report in full, or as
// DISABLECHECK says (the totals only when it is set).
enum class Report { AsConfigured, Full };

class ScanContext {
 public:
  ScanContext(const config::Configuration& configuration, SendList& list, core::Logger& logger,
              Report report = Report::AsConfigured, const UntidiedFiles* untidied = nullptr)
      : configuration_(configuration),
        list_(list),
        logger_(logger),
        details_(report == Report::Full || !configuration.DISABLECHECK),
        untidied_(untidied) {}

  [[nodiscard]] const config::Configuration& configuration() const { return configuration_; }
  [[nodiscard]] SendList& list() { return list_; }
  // The scanned directories, each read once for the build.
  [[nodiscard]] ScanDirectories& directories() { return directories_; }

  // A line written whatever the report's extent ("-- Scanning ...", "-- Directory not found").
  void Log(std::string_view text);
  // A line of the Check report, silenced by DISABLECHECK.
  void Detail(std::string_view text);

  // A warning: a line of the Check report (shown unless DISABLECHECK) that the
  // send log keeps in any case.
  void Warn(std::string_view text);
  // A problem: shown whatever the report's extent, on standard error too, kept
  // in the send log; the run does not end in success (the list's Problems).
  void Problem(std::string_view text);

  // Appends the entry when the list has room and adds `size` to the totals:
  // always to GrossBytes, and to TotalBytes unless `count_once` is set and an
  // earlier entry has the same Path. False (totals untouched) when full: the
  // entry is then counted among those left out. A file the record of sent
  // messages knows as confirmed to the entry's system but not tidied is added
  // Skipped and Untidied, out of the totals, and reported.
  // With SPLITLARGE off and MAXMESSAGESIZE set, a file whose message would
  // be larger is reported: the send job will hold it; so is a listed ARCmail
  // bundle of today below MINIMUMMAIL.
  bool Add(SendEntry entry, std::uint64_t size, bool count_once);

  [[nodiscard]] std::int64_t gross_bytes() const { return gross_bytes_; }
  [[nodiscard]] std::int64_t total_bytes() const { return total_bytes_; }
  // Entries the full list could not take, and their bytes.
  [[nodiscard]] std::int64_t left_out() const { return left_out_; }
  [[nodiscard]] std::int64_t left_out_bytes() const { return left_out_bytes_; }
  // Entries added as sent but not tidied.
  [[nodiscard]] int untidied() const { return untidied_count_; }

 private:
  const config::Configuration& configuration_;
  SendList& list_;
  core::Logger& logger_;
  const bool details_;  // the Check report's lines are shown
  ScanDirectories directories_;
  const UntidiedFiles* untidied_;
  std::int64_t gross_bytes_ = 0;
  std::int64_t total_bytes_ = 0;
  std::int64_t left_out_ = 0;
  std::int64_t left_out_bytes_ = 0;
  int untidied_count_ = 0;
};

// "-- Redirect " address " -> " e-mail address " (" name ")".
[[nodiscard]] std::string RedirectLine(const config::RedirectEntry& entry);

// " (Delete after)", " (Zero/truncate after)" or nothing.
[[nodiscard]] std::string AfterSendSuffix(AfterSendAction action);

// The regular, visible files (no directories, pipes or devices) matching a name that may hold "*"
// and "?"; a name without them is looked up as written before any other letter case and gives one
// file at most. Names with control characters match nothing: no real file has them, and a NUL
// would cut the name short on its way to the system.
[[nodiscard]] FileMatches FindRegularFiles(std::string_view name);

[[nodiscard]] bool HasWildcards(std::string_view name);

// A name the scans could not find, as they show it: the real path as far as
// it exists, the rest as written.
[[nodiscard]] std::string ShownMissing(std::string_view name);

}  // namespace kestrel::outbound
