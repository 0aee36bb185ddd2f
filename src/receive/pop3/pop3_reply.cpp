// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/pop3/pop3_reply.h"

namespace kestrel::receive {

namespace {

class Pop3Rules final : public net::ReplyRules {
 public:
  bool IsLastLine(std::string_view) const override { return true; }
};

}  // namespace

net::Reply ReadPop3Reply(net::NetSession& session, net::Echo echo) {
  static const Pop3Rules rules;
  return net::ReadReply(session, rules, echo);
}

bool IsOk(const net::Reply& reply) {
  return reply.ok() && reply.last().rfind("+OK", 0) == 0;
}

}  // namespace kestrel::receive
