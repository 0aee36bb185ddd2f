// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/attachment_decoder.h"

#include <unistd.h>

#include <chrono>
#include <utility>

#include "core/text_utils.h"
#include "receive/attachment_names.h"

namespace kestrel::receive {
namespace {

using core::Field;

// Progress fields are refreshed at most this often: each refresh is a write
// the window carries out while the worker waits.
constexpr auto kProgressInterval = std::chrono::milliseconds(100);
// Speed is shown only once this many whole seconds have passed.
constexpr std::int32_t kMinSecondsForSpeed = 2;
// Log lines naming an attachment are cut like this.
constexpr std::size_t kMaxDecodingLine = 140;
constexpr std::size_t kMaxRenamingLine = 165;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// "Name:" with a name of printable characters: a header field of any kind.
bool LooksLikeHeaderField(std::string_view line) {
  const auto colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos) return false;
  for (std::size_t i = 0; i < colon; ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    if (c <= 32 || c >= 127) return false;
  }
  return true;
}

// Control characters of a hostile name are not shown as they are.
std::string Printable(std::string_view text) {
  std::string shown(text);
  for (char& c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return shown;
}

void AppendBounded(std::string& logical, std::string_view line) {
  if (logical.size() < kMaxLogicalHeader) {
    logical.append(line.substr(0, kMaxLogicalHeader - logical.size()));
  }
}

bool SyncAndClose(platform::UniqueFile& file) {
  std::FILE* raw = file.release();
  bool ok = std::fflush(raw) == 0;
  ok = ::fsync(::fileno(raw)) == 0 && ok;
  ok = std::fclose(raw) == 0 && ok;
  return ok;
}

}  // namespace

AttachmentDecoder::AttachmentDecoder(core::FrontEnd& front_end, LogFunction log,
                                     std::string inbound)
    : front_end_(front_end), log_(std::move(log)), inbound_(std::move(inbound)) {}

AttachmentDecoder::~AttachmentDecoder() {
  if (decoding_) AbandonAttachment();
}

void AttachmentDecoder::StartMessage(std::FILE* saved_text) {
  if (decoding_) AbandonAttachment();
  saved_text_ = saved_text;
  boundary_.clear();
  decoding_ = false;
  in_part_headers_ = false;
  write_failed_ = false;
  saved_text_failed_ = false;
  continuing_line_ = false;
  logical_.clear();
  logical_is_content_ = false;
  decoded_.clear();
  is_base64_ = false;
  attachment_name_.clear();
  rejected_name_.clear();
}

void AttachmentDecoder::ScanBodyLine(std::string_view line, bool line_ends) {
  if (continuing_line_) {
    // A further piece of an over-long line: only data and saved text care.
    continuing_line_ = !line_ends;
    if (decoding_) {
      ScanDecodingLine(line, line_ends);
    } else {
      SaveLine(line, line_ends);
    }
    return;
  }
  continuing_line_ = !line_ends;
  if (decoding_) {
    ScanDecodingLine(line, line_ends);
  } else if (boundary_.empty()) {
    LookForBoundary(line);
    SaveLine(line, line_ends);
  } else if (in_part_headers_) {
    ScanPartHeaderLine(line, line_ends);
  } else {
    SaveLine(line, line_ends);
    if (Contains(line, boundary_)) StartPart();
  }
}

void AttachmentDecoder::ScanDecodingLine(std::string_view line, bool line_ends) {
  // Only a delimiter line ends the data: a short boundary may well occur
  // inside BASE64 or text lines, and ending there would cut the file short.
  if (line.size() >= boundary_.size() + 2 && line.substr(0, 2) == "--" &&
      line.substr(2, boundary_.size()) == boundary_) {
    FinishAttachment();
    SaveLine(line, line_ends);
    // A delimiter that is not the closing one starts the next part at once,
    // so attachments that follow each other are all decoded.
    if (line.substr(2 + boundary_.size(), 2) != "--") StartPart();
    return;
  }
  if (is_base64_) {
    base64_.Feed(line, pending_);
    if (line_ends) base64_.EndLine(pending_);
    decoded_bytes_ = written_bytes_ + pending_.size();
  } else {
    pending_.append(line);
    if (line_ends) pending_.append("\r\n");
    decoded_bytes_ = written_bytes_ + pending_.size();
  }
  if (pending_.size() >= kDecodeBlock) FlushDecoded(false);
  ShowProgress(false);
  SaveLine(line, line_ends);
}

void AttachmentDecoder::LookForBoundary(std::string_view line) {
  if (!line.empty() && IsBlank(line.front()) && !logical_.empty()) {
    AppendBounded(logical_, line);  // a folded Content-Type keeps its parameters
  } else {
    logical_.assign(line.substr(0, kMaxLogicalHeader));
  }
  const std::string upper = core::UpperCase(logical_);
  const auto at = upper.find("BOUNDARY=");
  if (at == std::string::npos || !Contains(upper, "CONTENT-")) return;
  std::string value = ParameterValue(std::string_view(logical_).substr(at + 9));
  if (value.empty()) return;
  boundary_ = std::move(value);
  logical_.clear();
}

void AttachmentDecoder::ScanPartHeaderLine(std::string_view line, bool line_ends) {
  if (!line.empty() && IsBlank(line.front()) && !logical_.empty()) {
    // A continuation belongs to the header line above it.
    AppendBounded(logical_, line);
    if (logical_is_content_) ExaminePartHeader();
    SaveLine(line, line_ends);
    return;
  }
  const bool content = Contains(core::UpperCase(line.substr(0, kMaxLogicalHeader)), "CONTENT-");
  if (!line.empty() && (content || LooksLikeHeaderField(line))) {
    logical_.assign(line.substr(0, kMaxLogicalHeader));
    logical_is_content_ = content;
    if (content) ExaminePartHeader();
    SaveLine(line, line_ends);
    return;
  }
  // The part headers end: normally at the empty line, which is not saved
  // when an attachment follows; any other line is the part's first line.
  in_part_headers_ = false;
  logical_.clear();
  if (attachment_name_.empty() && !rejected_name_.empty()) {
    Log("-- Attachment name not usable, not decoded: " + Printable(rejected_name_));
  }
  if (!attachment_name_.empty()) {
    StartAttachment();
    if (line.empty() && line_ends) return;
    if (decoding_) {
      ScanDecodingLine(line, line_ends);
      return;
    }
  }
  SaveLine(line, line_ends);
  if (!line.empty() && Contains(line, boundary_)) StartPart();
}

void AttachmentDecoder::ExaminePartHeader() {
  const std::string upper = core::UpperCase(logical_);
  const std::string_view text = logical_;
  auto take_name = [&](std::size_t at, std::size_t key_length) {
    const std::string value = ParameterValue(text.substr(at + key_length));
    attachment_name_ = SafeAttachmentName(value);
    rejected_name_ = attachment_name_.empty() ? value : std::string();
  };
  if (const auto at = upper.find("NAME="); at != std::string::npos) take_name(at, 5);
  if (const auto at = upper.find("FILENAME="); at != std::string::npos) take_name(at, 9);
  if (Contains(upper, "BASE64")) is_base64_ = true;
}

void AttachmentDecoder::StartPart() {
  in_part_headers_ = true;
  is_base64_ = false;
  attachment_name_.clear();
  rejected_name_.clear();
  logical_.clear();
  logical_is_content_ = false;
}

void AttachmentDecoder::StartAttachment() {
  Log(("-- Decoding " + Printable(attachment_name_)).substr(0, kMaxDecodingLine));
  const std::optional<std::string> name = FindFreeName(inbound_, attachment_name_);
  if (!name) {
    WriteFailure("-- No free name left for " + attachment_name_ + " in the inbound");
    return;
  }
  if (*name != attachment_name_) {
    Log(("-- File already existed, renaming to " + *name).substr(0, kMaxRenamingLine));
  }
  front_end_.SetField(Field::GetFilename, *name);
  output_ = CreatePartialFile(inbound_, attachment_name_);
  if (!output_) {
    WriteFailure("-- Could not create " + attachment_name_ + " in the inbound");
    return;
  }
  decoding_ = true;
  partial_key_ = attachment_name_;
  output_name_ = *name;
  decoded_bytes_ = 0;
  written_bytes_ = 0;
  pending_.clear();
  base64_ = core::Base64LineDecoder{};
  last_progress_ = std::chrono::steady_clock::time_point{};
  stopwatch_.Start();
}

void AttachmentDecoder::FlushDecoded(bool all) {
  const std::size_t ready = all ? pending_.size() : base64_.ReadyBytes(pending_);
  if (ready == 0 || !output_) return;
  if (std::fwrite(pending_.data(), 1, ready, output_.get()) != ready) {
    WriteFailure("-- Could not write " + output_name_ + " in the inbound");
    AbandonAttachment();
    return;
  }
  written_bytes_ += ready;
  pending_.erase(0, ready);
}

void AttachmentDecoder::FinishAttachment() {
  FlushDecoded(true);
  if (!decoding_) return;  // the flush failed and gave the file up
  decoding_ = false;
  front_end_.SetField(Field::GetCPS, "");
  ShowProgress(true);
  if (!SyncAndClose(output_)) {
    WriteFailure("-- Could not write " + output_name_ + " in the inbound");
    DeletePartialFile();
    return;
  }
  // The name may have been taken while the file was written.
  const std::optional<std::string> published =
      PublishPartialFile(inbound_, partial_key_, output_name_);
  if (!published) {
    WriteFailure("-- Could not give " + output_name_ + " its name in the inbound");
    DeletePartialFile();
    return;
  }
  if (*published != output_name_) {
    output_name_ = *published;
    Log(("-- File already existed, renaming to " + output_name_).substr(0, kMaxRenamingLine));
    front_end_.SetField(Field::GetFilename, output_name_);
  }
  decoded_.push_back(output_name_);
  Log("-- File decoded");
  const std::int32_t seconds = stopwatch_.ElapsedSeconds();
  if (seconds > kMinSecondsForSpeed) {
    Log("-- Speed was " + std::to_string(decoded_bytes_ / static_cast<std::uint64_t>(seconds)) +
        " characters per second (CPS)");
  }
}

void AttachmentDecoder::AbandonAttachment() {
  decoding_ = false;
  output_.reset();
  pending_.clear();
  DeletePartialFile();
  front_end_.SetField(Field::GetCPS, "");
}

void AttachmentDecoder::DeletePartialFile() {
  (void)platform::DeleteFile(inbound_ + PartialName(partial_key_));
}

void AttachmentDecoder::ShowProgress(bool force) {
  const auto now = std::chrono::steady_clock::now();
  if (!force && now - last_progress_ < kProgressInterval) return;
  last_progress_ = now;
  auto& front_end = front_end_;
  front_end.SetField(Field::GetByteProgress, std::to_string(decoded_bytes_));
  const std::int32_t seconds = stopwatch_.ElapsedSeconds();
  if (decoding_ && seconds > kMinSecondsForSpeed) {
    front_end.SetField(Field::GetCPS,
                       std::to_string(decoded_bytes_ / static_cast<std::uint64_t>(seconds)));
  }
}

void AttachmentDecoder::SaveLine(std::string_view line, bool line_ends) {
  if (saved_text_ == nullptr || saved_text_failed_) return;
  bool ok = std::fwrite(line.data(), 1, line.size(), saved_text_) == line.size();
  if (line_ends) ok = ok && std::fwrite("\r\n", 1, 2, saved_text_) == 2;
  if (!ok) {
    saved_text_failed_ = true;
    WriteFailure("-- Could not write to SaveEmail directory");
  }
}

bool AttachmentDecoder::EndOfMessage(bool data_complete) {
  if (decoding_) {
    Log("-- Attachment " + output_name_ + " incomplete, removed");
    AbandonAttachment();
  }
  if (saved_text_ != nullptr && !saved_text_failed_) {
    if (std::fflush(saved_text_) != 0 || ::fsync(::fileno(saved_text_)) != 0) {
      saved_text_failed_ = true;
      WriteFailure("-- Could not write to SaveEmail directory");
    }
  }
  const bool whole = data_complete && !write_failed_;
  if (!whole) {
    for (const auto& name : decoded_) {
      (void)platform::DeleteFile(inbound_ + name);
      Log("-- Removed " + name + ", the message stays on the server");
    }
  }
  decoded_.clear();
  saved_text_ = nullptr;
  continuing_line_ = false;
  return whole;
}

void AttachmentDecoder::WriteFailure(const std::string& what) {
  write_failed_ = true;
  Log(what);
}

void AttachmentDecoder::Log(std::string_view text) {
  log_(text);
}

}  // namespace kestrel::receive
