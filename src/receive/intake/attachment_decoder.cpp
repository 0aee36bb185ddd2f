// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/intake/attachment_decoder.h"

#include <cerrno>
#include <utility>

#include "mime/ascii_text.h"
#include "platform/error_text.h"
#include "receive/intake/attachment_names.h"

namespace kestrel::receive {

AttachmentDecoder::AttachmentDecoder(core::FrontEnd& front_end, LogFunction log,
                                     std::string inbound)
    : front_end_(front_end),
      log_(std::move(log)),
      inbound_(std::move(inbound)),
      file_(front_end_, log_, inbound_),
      parser_(*this) {
  digest_.emplace();
}

AttachmentDecoder::~AttachmentDecoder() = default;

void AttachmentDecoder::StartMessage(std::FILE* saved_text, std::string name_stem,
                                     std::string saved_text_path, DecodeMode mode) {
  parser_.StartMessage();
  FileAbandoned();
  mode_ = mode;
  saved_text_ = mode == DecodeMode::Save ? saved_text : nullptr;
  saved_text_path_ = std::move(saved_text_path);
  name_stem_ = std::move(name_stem);
  saved_text_failed_ = false;
  saved_block_.clear();
  saved_bytes_ = 0;
  decoded_.clear();
  problems_ = 0;
  every_message_ = false;
  report_.clear();
  report_dropped_ = 0;
  digest_.emplace();
  delivery_report_.reset();
}

std::string AttachmentDecoder::SafeName(std::string_view name) {
  return SafeAttachmentName(name);
}

void AttachmentDecoder::MessageLine(std::string_view line, bool line_ends, bool content,
                                    bool saved) {
  if (content) digest_->BodyLine(line, line_ends);
  if (saved) SaveLine(line, line_ends);
}

void AttachmentDecoder::Problem(const std::string& what) {
  AddProblem(what, false);
}

bool AttachmentDecoder::FileBegins(const mime::FilePart& part) {
  file_label_ = part.label;
  name_generated_ = part.file_name.empty();
  // Once the message has to stay on the server, nothing more of it is written.
  if (problems_ > 0) return false;
  // A made-up name differs from run to run: its part's place counts instead.
  const std::string name =
      name_generated_ ? GeneratedName(name_stem_, part.number, part.media_type) : part.file_name;
  const std::string digest_name =
      name_generated_ ? GeneratedName("", part.number, part.media_type) : part.file_name;
  digest_->StartFile(digest_name);
  file_name_ = upper_case_names_ ? mime::UpperCase(name) : name;
  if (mode_ == DecodeMode::VerifyOnly) {
    verify_file_open_ = true;
    return true;
  }
  if (file_.Open(file_name_)) return true;
  FileProblem();
  return false;
}

bool AttachmentDecoder::FileData(std::string_view bytes) {
  if (mode_ == DecodeMode::Save && !file_.Write(bytes)) {
    FileProblem();
    return false;
  }
  digest_->FileBytes(bytes);
  return true;
}

void AttachmentDecoder::FileProgress(std::size_t waiting) {
  if (mode_ == DecodeMode::Save) file_.ShowProgress(waiting);
}

void AttachmentDecoder::FileEnds() {
  digest_->EndFile();
  if (mode_ == DecodeMode::VerifyOnly) {
    verify_file_open_ = false;
    return;
  }
  const std::optional<std::string> name = file_.Finish();
  if (!name) {
    FileProblem();
    return;
  }
  decoded_.push_back(*name);
  if (name_generated_) Report("-- " + file_label_ + " has no name, saved as " + *name);
}

void AttachmentDecoder::FileAbandoned() {
  if (file_.is_open()) file_.Abandon();
  verify_file_open_ = false;
}

void AttachmentDecoder::DeliveryReportRead(mime::DeliveryReport report) {
  delivery_report_ = std::move(report);
}

bool AttachmentDecoder::FileIsOpen() const {
  return mode_ == DecodeMode::VerifyOnly ? verify_file_open_ : file_.is_open();
}

void AttachmentDecoder::AddProblem(const std::string& what, bool every_message) {
  ++problems_;
  every_message_ = every_message_ || every_message;
  Report("-- " + what);
}

void AttachmentDecoder::FileProblem() {
  const InboundFile::Failure& failure = file_.failure();
  AddProblem(file_label_ + ": " + failure.reason, failure.every_message);
}

void AttachmentDecoder::Report(std::string line) {
  if (report_.size() < kMaxReportLines) {
    report_.push_back(std::move(line));
  } else {
    ++report_dropped_;
  }
}

void AttachmentDecoder::SaveLine(std::string_view line, bool line_ends) {
  if (saved_text_ == nullptr || saved_text_failed_) return;
  // Lines go out in blocks: a call to the C library for each line costs more
  // than decoding it.
  saved_block_.append(line);
  if (line_ends) saved_block_.append("\r\n");
  if (saved_block_.size() >= kDecodeBlock) (void)FlushSavedText();
}

// Its sync is the owner's, together with the files'.
void AttachmentDecoder::HandOverSavedText() {
  if (FlushSavedText() && std::fflush(saved_text_) != 0) SavedTextProblem(errno);
}

bool AttachmentDecoder::FlushSavedText() {
  if (saved_text_ == nullptr || saved_text_failed_) return false;
  const bool ok = WriteHandingToDisk(saved_text_, saved_block_, saved_bytes_);
  const int error = errno;
  saved_bytes_ += saved_block_.size();
  saved_block_.clear();
  if (!ok) SavedTextProblem(error);
  return ok;
}

void AttachmentDecoder::SavedTextProblem(int error) {
  saved_text_failed_ = true;
  AddProblem("Could not write to SaveEmail directory (" + saved_text_path_ + ": " +
                 platform::ErrorText(error) + ")",
             true);
}

MessageOutcome AttachmentDecoder::EndOfMessage(bool data_complete) {
  if (!data_complete && FileIsOpen() && mode_ == DecodeMode::Save) {
    Report("-- Attachment " + file_name_ + " incomplete, removed");
  }
  parser_.EndMessage(data_complete);
  HandOverSavedText();
  MessageOutcome outcome;
  outcome.whole = data_complete && problems_ == 0;
  outcome.every_message = every_message_;
  outcome.delivery_report = std::move(delivery_report_);
  delivery_report_.reset();
  if (outcome.whole) {
    outcome.content_digest = digest_->Finish();
    outcome.files = decoded_;
  }
  if (!outcome.whole) {
    for (const auto& name : decoded_) {
      file_.Remove(name);
      Report("-- Removed " + name + ", the message stays on the server");
    }
  }
  outcome.report = std::move(report_);
  if (report_dropped_ > 0) {
    outcome.report.push_back("-- ... and " + std::to_string(report_dropped_) + " more");
  }
  report_.clear();
  report_dropped_ = 0;
  decoded_.clear();
  saved_text_ = nullptr;
  return outcome;
}

}  // namespace kestrel::receive
