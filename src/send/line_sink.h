// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Where the lines of one outgoing message go. The SMTP dialogue implements it
// with its connection; tests implement it with a vector. Composition code never
// sees the socket, so every message layout can be checked without a network.

#include <string>
#include <string_view>

namespace kestrel::send {

// The longest line a sink carries: CR LF must fit behind it in 255 characters.
inline constexpr std::size_t kMaxSendLine = 253;

class LineSink {
 public:
  virtual ~LineSink() = default;

  // One line of message data, without its line end (the sink appends CR LF).
  // The sink makes the line transparent for SMTP (see DotStuffed) and does
  // nothing once the job is aborted. Callers never pass more than
  // kMaxSendLine characters.
  virtual void SendLine(std::string_view line) = 0;

  // The lone "." that ends the message data; sent unstuffed.
  virtual void SendEndOfData() = 0;

  // True once the job's abort flag is set; long loops test it between lines.
  [[nodiscard]] virtual bool Aborted() const = 0;

  // Logs a "-- " remark on the send side while the message data flows; the
  // dialogue keeps such lines out of the log file then (the pane shows them).
  virtual void Log(std::string_view text) = 0;
};

// The line as it must travel inside SMTP data: a line that begins with "." gets
// one more in front, which the server removes again (RFC 5321, 4.5.2).
[[nodiscard]] inline std::string DotStuffed(std::string_view line) {
  std::string out;
  out.reserve(line.size() + 1);
  if (!line.empty() && line.front() == '.') out.push_back('.');
  out.append(line);
  return out;
}

}  // namespace kestrel::send
