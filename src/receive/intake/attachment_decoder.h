// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// What every line of a taken message passes through: the MIME part parser
// follows the structure and decodes the parts; this side, its sink, writes
// every file part into the inbound, decides which lines go into the saved
// text, and says at the end whether everything of the message was saved,
// with a fingerprint of its content.

#include <cstddef>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/front_end.h"
#include "mime/delivery_report.h"
#include "mime/part_parser.h"
#include "mime/part_sink.h"
#include "receive/intake/content_digest.h"
#include "receive/intake/inbound_file.h"

namespace kestrel::receive {

// Saved lines are written out in blocks of this size, as decoded bytes are.
using mime::kDecodeBlock;
// A header field is joined with its continuations up to this length.
using mime::kMaxLogicalHeader;
// Lines of a message's report kept; more are counted.
inline constexpr std::size_t kMaxReportLines = 20;

enum class DecodeMode {
  Save,        // files into the inbound, lines into the saved text
  VerifyOnly,  // only the content digest: nothing written, logged or shown
};

// What became of one message's files.
struct MessageOutcome {
  // Everything arrived and every file part was saved whole: the message may
  // be deleted on the server.
  bool whole = false;
  // A failure that later messages would meet as well (disk full, inbound or
  // SaveEmail directory not writable): the walk ends.
  bool every_message = false;
  // Lines for the log once the data is through: parts that had no name, and
  // for a message that stays, which part could not be saved and why.
  std::vector<std::string> report;
  // Lower-case hex SHA-256 of the content (see ContentDigest), the same in
  // both modes; empty when the message is not whole or the digest could not
  // be made: such a message is never judged a copy of another.
  std::string content_digest;
  // The names of the files written into the inbound, when whole (held files
  // get theirs for good when their batch goes to the disk).
  std::vector<std::string> files;
  // The message is (or holds) a delivery status notification.
  std::optional<mime::DeliveryReport> delivery_report;
};

class AttachmentDecoder final : public mime::PartSink {
 public:
  // Where the "-- " lines made while data flows go (the dialogue keeps them
  // out of the log file meanwhile).
  using LogFunction = std::function<void(std::string_view)>;

  // inbound: the directory files are written to, ending in a separator.
  AttachmentDecoder(core::FrontEnd& front_end, LogFunction log, std::string inbound);
  ~AttachmentDecoder() override;
  AttachmentDecoder(const AttachmentDecoder&) = delete;
  AttachmentDecoder& operator=(const AttachmentDecoder&) = delete;

  // Resets the per-message state. Lines that go to the saved text are
  // written to `saved_text` (may be null; `saved_text_path` names it in a
  // report of a failed write); `name_stem` starts the names made up for
  // files that come without one. In VerifyOnly mode `saved_text` is not used.
  void StartMessage(std::FILE* saved_text, std::string name_stem = "message",
                    std::string saved_text_path = {}, DecodeMode mode = DecodeMode::Save);

  // One line of the message data (dot-stuffing already removed). A line too
  // long for the reader arrives in pieces: every piece but the last has
  // line_ends false, and the pieces are joined again in the saved text.
  void ScanBodyLine(std::string_view line, bool line_ends = true) { parser_.Line(line, line_ends); }

  // A line for the saved text alone, not scanned: the header of a message
  // whose data goes elsewhere.
  void SaveTextLine(std::string_view line, bool line_ends) { SaveLine(line, line_ends); }

  // Files are held for whoever syncs and names them (see InboundFile).
  void HoldNames(std::vector<HeldFile>* held) { file_.HoldNames(held); }

  // Files are named in upper case (UPPERCASENAMES), not as their senders
  // named them.
  void UpperCaseNames(bool on) { upper_case_names_ = on; }

  // The data has ended. data_complete: the closing "." arrived. Unless the
  // outcome is whole, the files the message completed are removed again, so
  // that the message, which then stays on the server, arrives once and whole
  // on a later run.
  [[nodiscard]] MessageOutcome EndOfMessage(bool data_complete);

 private:
  // What the parser reports.
  [[nodiscard]] std::string SafeName(std::string_view name) override;
  void MessageLine(std::string_view line, bool line_ends, bool content, bool saved) override;
  void Problem(const std::string& what) override;
  [[nodiscard]] bool FileBegins(const mime::FilePart& part) override;
  [[nodiscard]] bool FileData(std::string_view bytes) override;
  void FileProgress(std::size_t waiting) override;
  void FileEnds() override;
  void FileAbandoned() override;
  void DeliveryReportRead(mime::DeliveryReport report) override;

  [[nodiscard]] bool FileIsOpen() const;
  void AddProblem(const std::string& what, bool every_message);
  void SavedTextProblem(int error);
  void FileProblem();
  void Report(std::string line);
  void SaveLine(std::string_view line, bool line_ends);
  bool FlushSavedText();
  void HandOverSavedText();

  core::FrontEnd& front_end_;
  LogFunction log_;
  const std::string inbound_;
  bool upper_case_names_ = false;
  InboundFile file_;

  // Per message.
  DecodeMode mode_ = DecodeMode::Save;
  std::FILE* saved_text_ = nullptr;
  std::string saved_text_path_;
  std::string name_stem_;
  bool saved_text_failed_ = false;
  std::string saved_block_;           // the saved text's lines not yet written
  std::uint64_t saved_bytes_ = 0;     // written to the saved text so far
  std::vector<std::string> decoded_;  // files completed, removed again on failure
  std::size_t problems_ = 0;
  bool every_message_ = false;
  std::vector<std::string> report_;
  std::size_t report_dropped_ = 0;
  std::optional<ContentDigest> digest_;
  std::optional<mime::DeliveryReport> delivery_report_;

  // The file part being written.
  std::string file_label_;  // "Part 2 (NAME.PKT)" for the report
  std::string file_name_;   // the name it is written under
  bool name_generated_ = false;
  bool verify_file_open_ = false;  // VerifyOnly: a file part being digested

  // Declared last: it reports to the members above.
  mime::PartParser parser_;
};

}  // namespace kestrel::receive
