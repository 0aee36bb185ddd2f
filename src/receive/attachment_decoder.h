// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The line scanner that every line of a taken message passes through: finds
// the MIME boundary, reads each part's header lines for an attachment name and
// the BASE64 encoding, decodes attachments into the inbound and decides which
// lines go into the message's saved text. Forgiving by design: it looks for
// key words in upper-cased lines rather than parsing MIME structure.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base64.h"
#include "core/front_end.h"
#include "core/stopwatch.h"
#include "platform/files.h"

namespace kestrel::receive {

// A folded header line is joined with its continuations up to this length;
// the rest of an endless header is not examined.
inline constexpr std::size_t kMaxLogicalHeader = 2048;
// Decoded bytes are written out in blocks of about this size.
inline constexpr std::size_t kDecodeBlock = 64 * 1024;

class AttachmentDecoder {
 public:
  // Where the scanner's "-- " lines go (the dialogue keeps them out of the
  // log file while message data flows).
  using LogFunction = std::function<void(std::string_view)>;

  // inbound: the INBOUND directory, ending in a separator.
  AttachmentDecoder(core::FrontEnd& front_end, LogFunction log, std::string inbound);
  ~AttachmentDecoder();
  AttachmentDecoder(const AttachmentDecoder&) = delete;
  AttachmentDecoder& operator=(const AttachmentDecoder&) = delete;

  // Resets the per-message state; lines that go to the saved text are
  // written to `saved_text` (may be null).
  void StartMessage(std::FILE* saved_text);

  // One line of the message data (dot-stuffing already removed). A line too
  // long for the reader arrives in pieces: every piece but the last has
  // line_ends false, and the pieces are joined again in the saved text.
  void ScanBodyLine(std::string_view line, bool line_ends = true);

  // The data has ended. data_complete: the closing "." arrived. A partial
  // attachment is always removed; when the message is incomplete or something
  // could not be written, the attachments it completed are removed as well, so
  // that the message, which then stays on the server, arrives once and whole
  // on a later run. True when the message may be deleted on the server.
  [[nodiscard]] bool EndOfMessage(bool data_complete);

  // Something of the current message could not be written.
  [[nodiscard]] bool WriteFailed() const { return write_failed_; }

 private:
  void ScanDecodingLine(std::string_view line, bool line_ends);
  void ScanPartHeaderLine(std::string_view line, bool line_ends);
  void LookForBoundary(std::string_view line);
  void ExaminePartHeader();
  void StartPart();
  void StartAttachment();
  void FinishAttachment();
  void AbandonAttachment();
  void DeletePartialFile();
  void FlushDecoded(bool all);
  void ShowProgress(bool force);
  void SaveLine(std::string_view line, bool line_ends);
  void WriteFailure(const std::string& what);
  void Log(std::string_view text);

  core::FrontEnd& front_end_;
  LogFunction log_;
  const std::string inbound_;

  // Per message.
  std::FILE* saved_text_ = nullptr;
  std::string boundary_;
  bool decoding_ = false;
  bool in_part_headers_ = false;
  bool write_failed_ = false;
  bool saved_text_failed_ = false;
  bool continuing_line_ = false;  // the last piece did not end its line
  std::string logical_;           // the header line being read, with its continuations
  bool logical_is_content_ = false;
  std::vector<std::string> decoded_;  // attachments completed, removed again on failure

  // Per part.
  bool is_base64_ = false;
  std::string attachment_name_;
  std::string rejected_name_;  // a name given but not usable, for the log

  // Per attachment.
  platform::UniqueFile output_;
  std::string output_name_;          // the name the file gets once complete
  std::string partial_key_;          // names the hidden file it is written to
  std::uint64_t decoded_bytes_ = 0;  // written plus pending
  std::uint64_t written_bytes_ = 0;
  std::chrono::steady_clock::time_point last_progress_{};
  core::Stopwatch stopwatch_;  // the speed of the attachment
  core::Base64LineDecoder base64_;
  std::string pending_;  // decoded bytes not yet written
};

}  // namespace kestrel::receive
