// SPDX-License-Identifier: GPL-2.0-or-later
// One message on the wire: the envelope, the data as DATA lines or one
// counted chunk, and the server's final answer.
#include <algorithm>
#include <chrono>

#include "mime/base64.h"
#include "platform/file_names.h"
#include "send/smtp_conversation.h"
#include "send/smtp_reply.h"

namespace kestrel::send {

using Clock = std::chrono::steady_clock;

// One message on the wire: the envelope for `entries` with the exact size,
// the piece's own head (none for a whole message), the lines of `range`, the
// end of the data and the server's answer; with CHUNKING one counted chunk
// instead of DATA. A session the server ends first is opened again and the
// message goes on the new one.
SmtpConversation::Outcome SmtpConversation::SendTransaction(
    FileMessage& message, std::vector<int>& entries, const LineCollector& piece_head,
    LineRange range, const std::string& remark, Envelope& envelope_r) {
  const std::uint64_t bytes = piece_head.Bytes() + RangeBytes(message.laid_out.laid, range);
  const Chunk chunk{bytes, [&] { return WriteData(message, piece_head, range, remark, true); }};
  do {
    envelope_r = SendEnvelope(message, entries, bytes, offer_.chunking ? &chunk : nullptr);
  } while (envelope_r.ended && Reopen().ok());
  if (envelope_r.ended) return Outcome::Failed;
  if (envelope_r.accepted == 0 && !Aborted()) return Outcome::Refused;
  if (!envelope_r.data_ready) {
    net::LogAndAbort(session_, "-- Error sending aborting!");
    return Outcome::Failed;
  }
  if (envelope_r.final_reply) return JudgeData(message, bytes, *envelope_r.final_reply);
  if (offer_.chunking) net::QueueLine(session_, "BDAT " + std::to_string(bytes) + " LAST");
  const net::StepResult written =
      offer_.chunking ? chunk.write() : WriteData(message, piece_head, range, remark, false);
  // Data cut off has no answer to wait for; it is judged as a failed one.
  return JudgeData(message, bytes, written.ok() ? AwaitConfirmation() : net::Reply{});
}

// The message's data: a remark for the pane, the piece's head, the lines of
// `range` and the end, as a counted chunk or as DATA's dot-ended lines.
net::StepResult SmtpConversation::WriteData(FileMessage& message, const LineCollector& piece_head,
                                            LineRange range, const std::string& remark,
                                            bool chunked) {
  net::StepResult sent = net::StepResult::Ok();
  {
    const net::SuspendedLog quiet(session_);
    sink_.set_chunked(chunked);
    if (!remark.empty()) Log(remark);
    for (const std::string& line : piece_head.lines) sink_.SendLine(line);
    sent = SendRange(message, range);
    // Data cut off must not be ended: the server would take it for whole.
    if (sent.ok()) sink_.SendEndOfData();
    sink_.set_chunked(false);
  }
  progress_.ShowMessageDone(message.file_size_text);
  return sent.ok() ? net::StepResult::Of(session_) : sent;
}

net::StepResult SmtpConversation::SendRange(FileMessage& message, LineRange range) {
  const LaidOutMessage& laid = message.laid_out.laid;
  std::FILE* file = message.laid_out.file.get();
  const std::uint64_t head = laid.head.size();
  const std::uint64_t base64_end = head + laid.Base64Lines();
  for (std::uint64_t i = range.first; i < std::min(range.end, head); ++i) {
    sink_.SendLine(laid.head[i]);
  }
  const std::uint64_t first = std::max(range.first, head);
  const std::uint64_t end = std::min(range.end, base64_end);
  if (first < end && !Aborted()) {
    const std::string& path = list_.Entry(message.current).Path;
    const std::uint64_t from = (first - head) * mime::kBase64BlockBytes;
    const std::uint64_t to = std::min(laid.file_bytes, (end - head) * mime::kBase64BlockBytes);
    if (::fseeko(file, static_cast<off_t>(from), SEEK_SET) != 0) {
      return net::FailStep(session_, "-- Error reading " + path);
    }
    const net::StepResult sent =
        TransferFile(message, file, platform::BaseName(path), end - first, to - from);
    if (!sent.ok()) return sent;
  }
  for (std::uint64_t i = std::max(range.first, base64_end); i < range.end; ++i) {
    sink_.SendLine(laid.tail[i - base64_end]);
  }
  return net::StepResult::Of(session_);
}

net::StepResult SmtpConversation::TransferFile(FileMessage& message, std::FILE* file,
                                               const std::string& name, std::uint64_t max_lines,
                                               std::optional<std::uint64_t> expected_bytes) {
  message.file_size_text = std::to_string(message.size);
  progress_.StartFile(name, message.size, list_.TotalBytes);
  Base64FileReader reader(file, max_lines);
  Base64FileReader::Lines lines;
  // A server that closed takes no more: its answer, or its silence, ends it.
  while (!Aborted() && !session_.closed() && reader.Next(lines)) {
    // A file grown since it was counted must not put one byte more on the
    // wire than announced: a counted chunk would end inside it.
    if (expected_bytes && reader.bytes_read() > *expected_bytes) break;
    net::QueueLines(session_, lines.text);
    if (progress_.Advance(lines.data_bytes)) message.lock.KeepFresh();
  }
  net::StepResult sent = net::StepResult::Of(session_);
  if (session_.closed()) {
    // Nothing to add: the answer read next tells what became of it.
  } else if (reader.failed()) {
    // What went out is incomplete: the message must not be ended with ".".
    sent = net::FailStep(session_, "-- Error reading " + FileOf(message, message.current));
  } else if (expected_bytes && sent.ok() && reader.bytes_read() != *expected_bytes) {
    // Not what was announced and counted: the message must not be ended.
    sent = net::FailStep(session_,
                         "-- " + FileOf(message, message.current) + " changed while it was sent");
  }
  if (const auto speed = progress_.FinishFile()) {
    Log("-- Speed was " + std::to_string(*speed) + " characters per second (CPS)");
  }
  return sent;
}

net::Reply SmtpConversation::AwaitConfirmation() {
  // Replies other than a final one (a stray "354", say) are passed over, for
  // NETTIMEOUT at most.
  const auto until = Clock::now() + std::chrono::seconds(configuration_.NETTIMEOUT);
  for (;;) {
    net::Reply reply = ReadSmtpReply(session_);
    const int kind = reply.code / 100;
    if (!reply.ok() || reply.code == 250 || kind == 4 || kind == 5 || Clock::now() > until) {
      return reply;
    }
  }
}

}  // namespace kestrel::send
