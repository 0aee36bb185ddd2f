// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/session_sink.h"

namespace kestrel::send {

void SessionSink::SendLine(std::string_view line) {
  net::QueueLine(session_, chunked_ ? std::string(line) : DotStuffed(line));
}

void SessionSink::SendEndOfData() {
  if (!chunked_) net::QueueLine(session_, ".");
  net::FlushOutput(session_);
}

void SessionSink::Log(std::string_view text) {
  net::LogLine(session_, text);
}

}  // namespace kestrel::send
