// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// How one connection of a job ended, as its dialogue leaves it: done; with
// shortfalls (a file kept, a mail left on the server) though the dialogue ran
// to its end; or aborted, with the line that says why. The job maps it to the
// exit status; besides, a receiving walk tells how many messages the filters
// left on the server, for the record of runs.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::net {

// Whether trying again later may help.
enum class Permanence { Transient, Permanent };

// One thing due that was not done.
struct Shortfall {
  std::string what;   // the file, node or message it is about
  std::string reply;  // the server's reply line, when one caused it
  Permanence permanence = Permanence::Transient;
};

// Shortfalls kept per connection; more are only counted.
inline constexpr std::size_t kMaxShortfalls = 64;

// A reply that says trying again will not help: SMTP 5xx, a POP3 or IMAP
// [SYS/PERM]. Anything else, and no reply at all, counts as transient.
[[nodiscard]] Permanence PermanenceOfReply(std::string_view reply);

class SessionOutcome {
 public:
  enum class Kind { Done, Incomplete, Aborted };

  // Aborted wins over Incomplete: the shortfalls are kept either way.
  [[nodiscard]] Kind kind() const;
  [[nodiscard]] bool aborted() const { return aborted_; }
  [[nodiscard]] bool incomplete() const { return shortfall_count_ > 0; }
  // The first kMaxShortfalls shortfalls, and how many there were in all.
  [[nodiscard]] const std::vector<Shortfall>& shortfalls() const { return shortfalls_; }
  [[nodiscard]] std::size_t shortfall_count() const { return shortfall_count_; }
  // The first failure's line, without its log mark; empty unless aborted.
  [[nodiscard]] const std::string& abort_reason() const { return abort_reason_; }
  // What failed was the set-up, not the day: trying again unchanged cannot
  // help (a server name that does not exist, a home that cannot be written).
  [[nodiscard]] bool misconfigured() const { return misconfigured_; }

  void Add(Shortfall shortfall);
  // Only the first reason is kept: what follows from it is no reason.
  void SetAborted(std::string_view reason);
  void SetMisconfigured() { misconfigured_ = true; }

  // Messages the filters did not take, once a walk looked at every head of
  // its mailbox; nothing when none did.
  [[nodiscard]] std::optional<std::uint64_t> left_by_filters() const { return left_by_filters_; }
  void SetLeftByFilters(std::uint64_t messages) { left_by_filters_ = messages; }

 private:
  std::vector<Shortfall> shortfalls_;
  std::size_t shortfall_count_ = 0;
  bool aborted_ = false;
  bool misconfigured_ = false;
  std::optional<std::uint64_t> left_by_filters_;
  std::string abort_reason_;
};

}  // namespace kestrel::net
