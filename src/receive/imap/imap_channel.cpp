// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/imap/imap_channel.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>

#include "mime/ascii_text.h"
#include "net/secret_line.h"

namespace kestrel::receive {

namespace {

// Bytes asked of the connection at once.
constexpr std::size_t kReadChunk = 16 * 1024;
constexpr std::string_view kBye = "* BYE";

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

ImapStatus StatusOf(std::string_view rest) {
  const std::string word = mime::UpperCase(std::string(rest.substr(0, rest.find(' '))));
  if (word == "OK") return ImapStatus::Ok;
  if (word == "NO") return ImapStatus::No;
  return ImapStatus::Bad;
}

}  // namespace

std::optional<std::uint64_t> AnnouncedLiteral(std::string_view line) {
  if (line.size() < 3 || line.back() != '}') return std::nullopt;
  const std::size_t open = line.rfind('{');
  if (open == std::string_view::npos) return std::nullopt;
  std::string_view digits = line.substr(open + 1, line.size() - open - 2);
  if (!digits.empty() && digits.back() == '+') digits.remove_suffix(1);
  std::uint64_t size = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), size);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
    return std::nullopt;
  }
  return size;
}

std::optional<std::string> Quoted(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == 0 || byte == '\r' || byte == '\n' || byte >= 0x80) return std::nullopt;
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

std::string ImapChannel::Send(std::string_view command) {
  char tag[16];
  std::snprintf(tag, sizeof tag, "A%04u", ++tag_number_);
  net::SendLine(session_, std::string(tag) + " " + std::string(command), kMaxImapCommandLine);
  return tag;
}

std::string ImapChannel::SendSecret(std::string_view command, std::string_view shown) {
  char tag[16];
  std::snprintf(tag, sizeof tag, "A%04u", ++tag_number_);
  net::SendSecretLine(session_, std::string(tag) + " " + std::string(command),
                      std::string(tag) + " " + std::string(shown), kMaxImapCommandLine);
  return tag;
}

void ImapChannel::SendContinuation(std::string_view line, bool secret) {
  if (secret) {
    net::SendSecretLine(session_, line, "[token]", kMaxImapCommandLine);
  } else {
    net::SendLine(session_, line, kMaxImapCommandLine);
  }
}

void ImapChannel::Begin(const ImapBounds& bounds) {
  bounds_ = bounds;
  bytes_left_ = bounds.read.max_bytes;
  lines_ = 0;
  clock_.Start();
}

net::StepResult ImapChannel::Fail(const std::string& why) {
  net::StepResult going = net::StepResult::Of(session_);
  // A session that failed before keeps its reason and its one line.
  if (!going.ok()) return going;
  return net::FailStep(session_, "-- " + why + ", aborting");
}

net::StepResult ImapChannel::Charge(std::uint64_t bytes) {
  if (bytes > bytes_left_) {
    return Fail("Reply longer than " + std::to_string(bounds_.read.max_bytes) + " bytes");
  }
  bytes_left_ -= bytes;
  return net::StepResult::Ok();
}

net::StepResult ImapChannel::Fill() {
  net::StepResult going = net::StepResult::Of(session_);
  if (!going.ok()) return going;
  if (clock_.ElapsedSeconds() >= bounds_.read.max_seconds) {
    return Fail("Reply not complete within " + std::to_string(bounds_.read.max_seconds) +
                " seconds");
  }
  buffer_.resize(kReadChunk);
  position_ = 0;
  const std::size_t count = net::ReceiveSome(session_, buffer_.data(), kReadChunk);
  buffer_.resize(count);
  if (count > 0) return net::StepResult::Ok();
  // A read that failed has aborted the session with its reason; a server
  // that closed the connection has not.
  if (session_.closed() && net::StepResult::Of(session_).ok()) {
    net::LogAndAbort(session_, "-- " + std::string(net::kClosedReason));
  }
  session_.Abort(net::kClosedReason);  // nothing more can be said to a closed server
  return net::StepResult::Of(session_);
}

std::optional<ImapLine> ImapChannel::ReadLine(net::Echo echo) {
  std::optional<ImapLine> line = ReadText(echo);
  if (line) Observe(line->text);
  return line;
}

void ImapChannel::Observe(std::string_view text) {
  if (!StartsWith(text, "* ")) return;
  const std::string upper = mime::UpperCase(std::string(text.substr(2)));
  constexpr std::string_view kUidNext = "[UIDNEXT ";
  if (const std::size_t at = upper.find(kUidNext); StartsWith(upper, "OK ") && at != upper.npos) {
    std::uint32_t next = 0;
    const char* const begin = upper.data() + at + kUidNext.size();
    const auto [end, error] = std::from_chars(begin, upper.data() + upper.size(), next);
    if (error != std::errc() || end == begin) return;
    if (uid_next_ != 0 && next > uid_next_) news_ = true;
    uid_next_ = next;
    return;
  }
  std::uint32_t number = 0;
  const auto [end, error] = std::from_chars(upper.data(), upper.data() + upper.size(), number);
  if (error != std::errc() || end == upper.data()) return;
  const std::string_view word = std::string_view(upper).substr(end - upper.data());
  const auto count = static_cast<std::int32_t>(
      std::min<std::uint32_t>(number, std::numeric_limits<std::int32_t>::max()));
  if (word == " EXISTS") {
    if (count > exists_) news_ = true;
    exists_ = count;
  } else if (word == " EXPUNGE") {
    if (exists_ > 0) --exists_;
  } else if (word == " RECENT") {
    if (number > recent_) news_ = true;
    recent_ = number;
  }
}

std::optional<ImapLine> ImapChannel::ReadText(net::Echo echo) {
  if (session_.IsAborted()) return std::nullopt;
  if (++lines_ > bounds_.max_lines) {
    (void)Fail("Reply of more than " + std::to_string(bounds_.max_lines) + " lines");
    return std::nullopt;
  }
  std::string text;
  for (;;) {
    if (position_ == buffer_.size() && !Fill().ok()) return std::nullopt;
    const char* const begin = buffer_.data() + position_;
    const std::size_t available = buffer_.size() - position_;
    const void* lf = std::memchr(begin, '\n', available);
    const std::size_t taken =
        lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - begin) + 1 : available;
    if (!Charge(taken).ok()) return std::nullopt;
    if (text.size() + taken > kMaxImapLine) {
      (void)Fail("Server line longer than " + std::to_string(kMaxImapLine) + " bytes");
      return std::nullopt;
    }
    text.append(begin, taken);
    position_ += taken;
    if (lf) break;
  }
  text.pop_back();
  if (!text.empty() && text.back() == '\r') text.pop_back();
  if (echo == net::Echo::Logged || StartsWith(text, kBye)) net::LogLine(session_, "<- " + text);
  ImapLine line;
  line.literal = AnnouncedLiteral(text);
  line.text = std::move(text);
  return line;
}

std::optional<std::string> ImapChannel::ReadLiteral(std::uint64_t size) {
  if (!Charge(size).ok()) return std::nullopt;
  std::string data;
  data.reserve(static_cast<std::size_t>(size));
  while (data.size() < size) {
    if (position_ == buffer_.size() && !Fill().ok()) return std::nullopt;
    const std::size_t count =
        std::min<std::uint64_t>(size - data.size(), buffer_.size() - position_);
    data.append(buffer_, position_, count);
    position_ += count;
  }
  return data;
}

bool ImapChannel::SkipLiteral(std::uint64_t size) {
  if (!Charge(size).ok()) return false;
  while (size > 0) {
    if (position_ == buffer_.size() && !Fill().ok()) return false;
    const std::size_t count = std::min<std::uint64_t>(size, buffer_.size() - position_);
    position_ += count;
    size -= count;
  }
  return true;
}

bool ImapChannel::HandOver(std::uint64_t size) {
  if (!Charge(size).ok()) return false;
  net::PutBack(session_, std::string_view(buffer_).substr(position_));
  buffer_.clear();
  position_ = 0;
  return true;
}

ImapResult ImapChannel::Finish(const std::string& tag, const ImapBounds& bounds, net::Echo echo,
                               const Untagged& untagged, bool until_continuation) {
  Begin(bounds);
  return FinishBegun(tag, echo, untagged, until_continuation);
}

ImapResult ImapChannel::FinishBegun(const std::string& tag, net::Echo echo,
                                    const Untagged& untagged, bool until_continuation) {
  const std::string tagged = tag + " ";
  for (;;) {
    std::optional<ImapLine> line = ReadLine(echo);
    if (!line) return {};
    const std::string_view text = line->text;
    if (text == "+" || StartsWith(text, "+ ")) {
      if (until_continuation) return {ImapStatus::Continue, line->text};
      continue;  // not asked for: the tagged line still comes
    }
    if (StartsWith(text, tagged)) return {StatusOf(text.substr(tagged.size())), line->text};
    literal_taken_ = false;
    const bool handled = untagged && StartsWith(text, "* ");
    if (handled) untagged(*line);
    if (session_.IsAborted()) return {};
    // The response goes on after its literal, up to a line without one.
    std::optional<std::uint64_t> literal = line->literal;
    while (literal) {
      if (!literal_taken_ && !SkipLiteral(*literal)) return {};
      literal_taken_ = false;
      std::optional<ImapLine> rest = ReadText(echo);
      if (!rest) return {};
      rest->continued = true;
      if (handled) untagged(*rest);
      if (session_.IsAborted()) return {};
      literal = rest->literal;
    }
  }
}

bool ImapChannel::SkipRestOf(const ImapLine& line, net::Echo echo) {
  std::optional<std::uint64_t> literal = line.literal;
  while (literal) {
    if (!SkipLiteral(*literal)) return false;
    const std::optional<ImapLine> rest = ReadText(echo);
    if (!rest) return false;
    literal = rest->literal;
  }
  return true;
}

}  // namespace kestrel::receive
