// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// One form POST over HTTPS to a provider's endpoint, through libcurl: the
// certificate checked as the mail connections check theirs (CAFILE besides
// the system store, verification always on), no redirects, no other
// protocol, the reply bounded in size and time.

#include <atomic>
#include <string>
#include <utility>
#include <vector>

namespace kestrel::oauth {

using FormFields = std::vector<std::pair<std::string, std::string>>;

struct HttpsLimits {
  int timeout_seconds = 0;                     // NETTIMEOUT, for the whole request
  std::string ca_file;                         // CAFILE; empty: the system store alone
  const std::atomic<bool>* aborted = nullptr;  // ends the request when set
};

struct HttpsReply {
  long status = 0;      // the HTTP status; 0 when no reply came
  std::string body;     // at most kMaxReplyBytes
  std::string failure;  // why no reply came (never any of the fields sent)
};

// A token reply is a few kilobytes; anything past this is no token reply.
inline constexpr std::size_t kMaxReplyBytes = 64 * 1024;

[[nodiscard]] HttpsReply PostForm(const std::string& url, const FormFields& fields,
                                  const HttpsLimits& limits);

// "a=1&b=2", each name and value percent-encoded.
[[nodiscard]] std::string EncodeForm(const FormFields& fields);

}  // namespace kestrel::oauth
