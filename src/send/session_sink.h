// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Message lines to the connection: made transparent, gathered into large
// writes, and logged to the pane only while the data flows. A message sent
// as a counted chunk (BDAT, RFC 3030) goes as it is, without a "." after it.

#include <string_view>

#include "net/net_session.h"
#include "send/line_sink.h"

namespace kestrel::send {

class SessionSink final : public LineSink {
 public:
  explicit SessionSink(net::NetSession& session) : session_(session) {}
  void SendLine(std::string_view line) override;
  void SendEndOfData() override;
  [[nodiscard]] bool Aborted() const override { return session_.IsAborted(); }
  void Log(std::string_view text) override;
  // True while a message goes as a counted chunk.
  void set_chunked(bool chunked) { chunked_ = chunked; }

 private:
  net::NetSession& session_;
  bool chunked_ = false;
};

}  // namespace kestrel::send
