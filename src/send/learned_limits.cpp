// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/learned_limits.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <utility>

#include "mime/ascii_text.h"
#include "platform/error_text.h"
#include "platform/files.h"
#include "platform/program_home.h"

namespace kestrel::send {

namespace {

// Routes remembered; the oldest learned goes first beyond this.
constexpr std::size_t kMaxRoutes = 200;
// A route as written: a host and a domain, far below a line's length.
constexpr std::size_t kMaxRouteBytes = 300;
// The file's size when it holds kMaxRoutes lines of the longest kind.
constexpr std::uint64_t kMaxFileBytes = kMaxRoutes * (kMaxRouteBytes + 48);
// A learned size is tried again after this long: a provider may raise it.
constexpr std::time_t kForgetAfterSeconds = 30 * 24 * 60 * 60;

// A route that no blank or control character can split.
std::string Clean(std::string_view text) {
  std::string clean(text.substr(0, kMaxRouteBytes));
  for (char& c : clean) {
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) c = '_';
  }
  return clean;
}

template <typename Number>
bool ParseNumber(std::string_view text, Number& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

bool RefusedForSize(const net::Reply& reply) {
  if (reply.code / 100 != 5) return false;
  if (reply.code == 552) return true;
  for (const std::string& line : reply.lines) {
    const std::string upper = mime::UpperCase(line);
    for (const char* words : {" 5.3.4", "TOO BIG", "TOO LARGE", "SIZE"}) {
      if (upper.find(words) != std::string::npos) return true;
    }
  }
  return false;
}

std::string RouteOf(std::string_view host, std::string_view address) {
  const std::size_t at = address.rfind('@');
  const std::string_view domain = at == std::string_view::npos ? address : address.substr(at + 1);
  std::string lower(domain);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
  return Clean(host) + " " + Clean(lower);
}

LearnedLimits::LearnedLimits()
    : LearnedLimits(platform::HomeFile(platform::ProgramBaseName() + ".SIZ")) {}

std::optional<std::string> LearnedLimits::Load(std::time_t now) {
  entries_.clear();
  if (!platform::FileExists(path_)) return std::nullopt;
  std::string content;
  if (platform::ReadBoundedFile(path_, 0, kMaxFileBytes, content) != platform::ReadOutcome::Ok) {
    return "-- Could not read the learned sizes " + path_ + ", taken as none";
  }
  // "HOST DOMAIN BYTES WHEN" a line; a line of another shape is dropped.
  for (std::size_t at = 0; at < content.size() && entries_.size() < kMaxRoutes;) {
    const std::size_t end = std::min(content.find('\n', at), content.size());
    const std::string_view line = std::string_view(content).substr(at, end - at);
    at = end + 1;
    const std::size_t when_at = line.rfind(' ');
    if (when_at == std::string_view::npos) continue;
    const std::size_t bytes_at = line.rfind(' ', when_at - 1);
    if (bytes_at == std::string_view::npos || bytes_at == 0) continue;
    Entry entry;
    entry.route = std::string(line.substr(0, bytes_at));
    if (!ParseNumber(line.substr(bytes_at + 1, when_at - bytes_at - 1), entry.bytes) ||
        !ParseNumber(line.substr(when_at + 1), entry.when) || entry.bytes == 0 ||
        entry.route.find(' ') == std::string::npos || now - entry.when > kForgetAfterSeconds) {
      continue;
    }
    entries_.push_back(std::move(entry));
  }
  return std::nullopt;
}

std::uint64_t LearnedLimits::For(const std::string& route) const {
  for (const Entry& entry : entries_) {
    if (entry.route == route) return entry.bytes;
  }
  return 0;
}

std::optional<std::string> LearnedLimits::Learn(const std::string& route, std::uint64_t bytes,
                                                std::time_t now) {
  const auto known = std::find_if(entries_.begin(), entries_.end(),
                                  [&](const Entry& entry) { return entry.route == route; });
  if (known != entries_.end()) {
    known->bytes = std::min(known->bytes, bytes);
    known->when = now;
  } else {
    if (entries_.size() >= kMaxRoutes) {
      entries_.erase(
          std::min_element(entries_.begin(), entries_.end(),
                           [](const Entry& a, const Entry& b) { return a.when < b.when; }));
    }
    entries_.push_back({route, bytes, now});
  }
  if (platform::ReplaceFileContent(path_, Content())) return std::nullopt;
  return "-- Could not write the learned sizes " + path_ + " (" + platform::ErrorText(errno) + ")";
}

std::string LearnedLimits::Content() const {
  std::string content;
  for (const Entry& entry : entries_) {
    content += entry.route + " " + std::to_string(entry.bytes) + " " +
               std::to_string(static_cast<long long>(entry.when)) + "\n";
  }
  return content;
}

}  // namespace kestrel::send
