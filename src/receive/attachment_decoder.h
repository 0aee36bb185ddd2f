// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The scanner that every line of a taken message passes through. It follows
// the message's MIME structure as the lines stream by (multiparts nested to
// any bounded depth, each with its own boundary; forwarded messages; a body
// that is itself the file), decodes every file part into the inbound, finds
// uuencoded files in plain text, decides which lines go into the saved text,
// and says at the end whether everything of the message was saved, with a
// fingerprint of its content.
//
// A leaf part is a file when it has a name, is marked as an attachment, or
// has a type other than text/* and multipart/*. A message whose structure
// cannot be read keeps its parts unknown and is not whole: data that begins
// with no head, a multipart whose boundary never occurs (or is not given), a
// file part whose data decodes to nothing. Nothing inside a delivery
// status notification (a bounce) is a file: the message it returns went out
// from here, so its files must not come back into the inbound.

#include <cstddef>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/front_end.h"
#include "mime/content_decoder.h"
#include "mime/delivery_report.h"
#include "mime/uuencode_scanner.h"
#include "receive/content_digest.h"
#include "receive/inbound_file.h"

namespace kestrel::receive {

// Multiparts and forwarded messages nested deeper than this are not
// followed: the message is then left on the server.
inline constexpr int kMaxMimeDepth = 32;
// A part's header field is joined with its continuations up to this length.
inline constexpr std::size_t kMaxLogicalHeader = 16 * 1024;
// Decoded bytes are written out in blocks of about this size.
inline constexpr std::size_t kDecodeBlock = 64 * 1024;
// Lines of a message's report kept; more are counted.
inline constexpr std::size_t kMaxReportLines = 20;
// Characters of a line quoted in a report: enough to recognise it.
inline constexpr std::size_t kMaxQuotedLine = 72;

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

class AttachmentDecoder {
 public:
  // Where the "-- " lines made while data flows go (the dialogue keeps them
  // out of the log file meanwhile).
  using LogFunction = std::function<void(std::string_view)>;

  // inbound: the directory files are written to, ending in a separator.
  AttachmentDecoder(core::FrontEnd& front_end, LogFunction log, std::string inbound);
  ~AttachmentDecoder();
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
  void ScanBodyLine(std::string_view line, bool line_ends = true);

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
  enum class Zone { Header, Body, Ignored };
  enum class BodyKind { None, File, UuText, ReportPart };

  // A multipart whose parts are being read.
  struct Multipart {
    std::string boundary;
    std::string prefix;  // of its parts' numbers
    int depth = 0;
    int parts = 0;
    bool digest = false;     // its parts are messages unless they say otherwise
    bool report = false;     // inside a delivery status notification
    std::string number;      // of the multipart itself, for the report
    bool delimited = false;  // one of its delimiter lines came
  };

  // The entity whose lines arrive now: its header, then its body.
  struct Entity {
    std::string number;  // "1", "2.1": the part's number as mail clients show it
    std::string prefix;  // of the numbers of the parts inside it
    int depth = 0;
    bool in_digest = false;
    bool in_report = false;  // inside a delivery status notification: no files
    bool returned = false;   // the header of the message a report returns
    Zone zone = Zone::Header;
    std::string field;  // the header field being read, with its continuations
    std::string content_type;
    std::string disposition;
    std::string encoding;
  };

  bool Route(std::string_view line, bool starts, bool ends);
  bool HeaderLine(std::string_view line, bool starts, bool ends);
  void TakeField();
  void EndHeader();
  void StartLeaf(const std::string& media_type, mime::TransferEncoding encoding, bool is_file,
                 const std::optional<std::string>& name);
  void StartReportLeaf(const std::string& media_type, mime::TransferEncoding encoding);
  void BodyLine(std::string_view line, bool starts, bool ends);
  void PassReportLines(bool all);
  void UuTextLine(std::string_view line, bool whole_line);
  [[nodiscard]] int DelimiterLevel(std::string_view line, bool& closing) const;
  void Delimiter(int level, bool closing);
  void DropMultiparts(std::size_t kept);
  void NoHead(std::string_view first_line);
  void FinishBody(bool before_delimiter);
  bool OpenFile(const std::string& name, const std::string& digest_name);
  [[nodiscard]] bool FileIsOpen() const;
  void ShowProgress();
  void WriteDecoded(bool all);
  void FinishFile();
  void AbandonFile();
  void Problem(const std::string& what, bool every_message = false);
  void SavedTextProblem(int error);
  void FileProblem();
  void Report(std::string line);
  void SaveLine(std::string_view line, bool line_ends);
  bool FlushSavedText();
  void HandOverSavedText();
  void Log(std::string_view text) { log_(text); }

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
  std::string saved_block_;        // the saved text's lines not yet written
  std::uint64_t saved_bytes_ = 0;  // written to the saved text so far
  bool continuing_line_ = false;   // the last piece did not end its line
  std::vector<Multipart> multiparts_;
  Entity entity_;
  std::vector<std::string> decoded_;  // files completed, removed again on failure
  std::size_t problems_ = 0;
  bool every_message_ = false;
  std::vector<std::string> report_;
  std::size_t report_dropped_ = 0;
  bool top_header_done_ = false;  // lines from here on count for the digest
  bool top_field_seen_ = false;   // the top-level header has a field
  std::optional<ContentDigest> digest_;
  std::optional<mime::DeliveryReport> delivery_report_;
  std::optional<mime::ReportPartReader> report_reader_;

  // The body of the current leaf part.
  BodyKind body_ = BodyKind::None;
  std::unique_ptr<mime::ContentDecoder> decoder_;
  std::string pending_;     // decoded bytes not yet written
  std::string file_label_;  // "Part 2 (NAME.PKT)" for the report
  std::string file_name_;   // the safe name it is written under
  bool name_generated_ = false;
  bool verify_file_open_ = false;  // VerifyOnly: a file part being digested
  bool file_data_seen_ = false;    // a line of the file part holds more than blanks
  std::uint64_t file_bytes_ = 0;   // decoded of it so far
  // Plain text that may carry uuencoded files.
  mime::UuencodeScanner uu_;
};

}  // namespace kestrel::receive
