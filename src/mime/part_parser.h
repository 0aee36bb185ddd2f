// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Follows a message's MIME structure as its lines stream by: multiparts
// nested to a bounded depth, each with its own boundary; forwarded messages;
// a body that is itself the file. It decodes every file part, finds
// uuencoded files in plain text, reads delivery status notifications, and
// reports all of it to a PartSink.
//
// A leaf part is a file when it has a name, is marked as an attachment, or
// has a type other than text/* and multipart/*. A message whose structure
// cannot be read keeps its parts unknown, and that is a problem: data that
// begins with no head, a multipart whose boundary never occurs (or is not
// given), a file part whose data decodes to nothing. Nothing inside a
// delivery status notification (a bounce) is a file: the message it returns
// went out from here, so its files must not come back into the inbound.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mime/content_decoder.h"
#include "mime/delivery_report.h"
#include "mime/part_sink.h"
#include "mime/uuencode_scanner.h"

namespace kestrel::mime {

// Multiparts and forwarded messages nested deeper than this are not
// followed: the message is then left on the server.
inline constexpr int kMaxMimeDepth = 32;
// A part's header field is joined with its continuations up to this length.
inline constexpr std::size_t kMaxLogicalHeader = 16 * 1024;
// Decoded bytes are handed over in blocks of about this size.
inline constexpr std::size_t kDecodeBlock = 64 * 1024;
// Characters of a line quoted in a problem: enough to recognise it.
inline constexpr std::size_t kMaxQuotedLine = 72;

class PartParser {
 public:
  explicit PartParser(PartSink& sink);
  ~PartParser();
  PartParser(const PartParser&) = delete;
  PartParser& operator=(const PartParser&) = delete;

  // Forgets the message before, giving up a file it left unfinished.
  void StartMessage();

  // One line of the message data (dot-stuffing already removed). A line too
  // long for the reader arrives in pieces: every piece but the last has
  // line_ends false.
  void Line(std::string_view line, bool line_ends = true);

  // The data has ended. data_complete: all of it arrived, so what is still
  // open ends here; otherwise a file being read is given up.
  void EndMessage(bool data_complete);

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
    std::string number;      // of the multipart itself, for the problem
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
  void StartLeaf(const std::string& media_type, TransferEncoding encoding, bool is_file,
                 const std::optional<std::string>& name);
  void StartReportLeaf(const std::string& media_type, TransferEncoding encoding);
  void BodyLine(std::string_view line, bool starts, bool ends);
  void PassReportLines(bool all);
  void UuTextLine(std::string_view line, bool whole_line);
  [[nodiscard]] int DelimiterLevel(std::string_view line, bool& closing) const;
  void Delimiter(int level, bool closing);
  void DropMultiparts(std::size_t kept);
  void NoHead(std::string_view first_line);
  void FinishBody(bool before_delimiter);
  bool OpenFile(const FilePart& part);
  void HandOver(bool all);
  void FinishFile();
  void AbandonFile();
  void Problem(const std::string& what) { sink_.Problem(what); }

  PartSink& sink_;

  // Per message.
  bool continuing_line_ = false;  // the last piece did not end its line
  std::vector<Multipart> multiparts_;
  Entity entity_;
  bool top_header_done_ = false;  // lines from here on are content
  bool top_field_seen_ = false;   // the top-level header has a field
  std::optional<DeliveryReport> delivery_report_;
  std::optional<ReportPartReader> report_reader_;

  // The body of the current leaf part.
  BodyKind body_ = BodyKind::None;
  std::unique_ptr<ContentDecoder> decoder_;
  std::string pending_;           // decoded bytes not yet handed over
  std::string file_label_;        // "Part 2 (NAME.PKT)" for problems
  bool file_open_ = false;        // the sink took the file's beginning
  bool file_data_seen_ = false;   // a line of the file part holds more than blanks
  std::uint64_t file_bytes_ = 0;  // handed over of it so far
  // Plain text that may carry uuencoded files.
  UuencodeScanner uu_;
};

}  // namespace kestrel::mime
