// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/smtp_reply.h"

#include <cctype>
#include <string>

namespace kestrel::send {

namespace {

bool IsDigit(char c) {
  return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

class SmtpRules final : public net::ReplyRules {
 public:
  bool IsLastLine(std::string_view line) const override {
    if (line.size() > 4 && line[3] != '-') return true;
    return line.size() >= 3 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]) &&
           (line.size() == 3 || line[3] != '-');
  }

  void Inspect(net::NetSession& session, std::string_view line) const override {
    const bool continuation = line.size() >= 4 && line[3] == '-';
    // 334 is the server's next AUTH challenge, part of a login that goes well.
    const bool positive = line.size() >= 3 && (line[0] == '2' || line.substr(0, 3) == "354" ||
                                               line.substr(0, 3) == "334");
    const bool bare_code = line.size() == 3 && IsDigit(line[1]) && IsDigit(line[2]);
    if (continuation || (positive && (line.size() >= 4 || bare_code))) return;
    net::LogLine(session, "<- Error! (" + std::string(line) + ")");
  }
};

}  // namespace

net::Reply ReadSmtpReply(net::NetSession& session) {
  static const SmtpRules rules;
  return net::ReadReply(session, rules, net::Echo::Logged);
}

}  // namespace kestrel::send
