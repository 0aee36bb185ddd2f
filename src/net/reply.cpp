// SPDX-License-Identifier: GPL-2.0-or-later
#include "net/reply.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

#include "net/line_io_internal.h"

namespace kestrel::net {

namespace {

int CodeOf(std::string_view line) {
  if (line.size() < 3) return 0;
  int code = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    if (std::isdigit(static_cast<unsigned char>(line[i])) == 0) return 0;
    code = code * 10 + (line[i] - '0');
  }
  return code;
}

void Echoed(NetSession& session, Echo echo, std::string_view line) {
  if (echo == Echo::Logged) LogLine(session, "<- " + std::string(line));
}

void TooLong(NetSession& session, Reply& reply, std::size_t limit) {
  LogAndAbort(session, "-- Reply of more than " + std::to_string(limit) + " lines, aborting");
  reply.status = ReplyStatus::Aborted;
}

}  // namespace

ReadBounds TransferBounds(std::uint64_t bytes) {
  const std::uint64_t seconds = kTransferGraceSeconds + bytes / kMinBytesPerSecond;
  return {bytes, static_cast<int>(std::min<std::uint64_t>(seconds, INT32_MAX))};
}

Reply ReadReply(NetSession& session, const ReplyRules& rules, Echo echo) {
  Reply reply;
  ReadBudget budget(kReplyBounds);
  while (!session.IsAborted()) {
    if (reply.lines.size() == kMaxReplyLines) {
      TooLong(session, reply, kMaxReplyLines);
      return reply;
    }
    const LineRead read = ReadLine(session, budget);
    if (read.status != ReplyStatus::Ok) {
      Echoed(session, echo, "");
      reply.status = read.status;
      return reply;
    }
    rules.Inspect(session, read.text);
    Echoed(session, echo, read.text);
    reply.lines.push_back(read.text);
    if (rules.IsLastLine(read.text)) {
      reply.status = ReplyStatus::Ok;
      reply.code = CodeOf(read.text);
      return reply;
    }
  }
  reply.status = FailureStatus(session);
  return reply;
}

Reply ReadDotList(NetSession& session, std::size_t max_lines, Echo echo, const ReadBounds& bounds) {
  Reply reply;
  ReadBudget budget(bounds);
  while (!session.IsAborted()) {
    const LineRead read = ReadLine(session, budget);
    if (read.status != ReplyStatus::Ok) {
      Echoed(session, echo, "");
      reply.status = read.status;
      return reply;
    }
    Echoed(session, echo, read.text);
    if (read.text == ".") {
      reply.status = ReplyStatus::Ok;
      return reply;
    }
    if (reply.lines.size() < max_lines) {
      reply.lines.push_back(read.text);
    } else {
      ++reply.dropped;
    }
  }
  reply.status = FailureStatus(session);
  return reply;
}

}  // namespace kestrel::net
