// SPDX-License-Identifier: GPL-2.0-or-later
#include "console/console_front_end.h"

namespace kestrel::console {
namespace {

// The status line is redrawn at most this often while fields change.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
// Wide enough for the usual terminal; a longer status line is cut.
constexpr std::size_t kStatusWidth = 79;
// Lines a quiet console keeps per side: enough for a job's story before it
// failed, bounded for a poller that runs for months.
constexpr std::size_t kKeptLines = 200;

std::string Marked(core::Side side, std::string_view line) {
  std::string text = side == core::Side::Sending ? kSendingMark : kReceivingMark;
  text.append(line);
  text += '\n';
  return text;
}

std::size_t IndexOf(core::Side side) {
  return side == core::Side::Sending ? 0 : 1;
}

}  // namespace

ConsoleFrontEnd::ConsoleFrontEnd(std::FILE* out, bool terminal, std::FILE* problems, bool quiet)
    : out_(out), terminal_(terminal), problems_(problems), quiet_(quiet) {}

ConsoleFrontEnd::~ConsoleFrontEnd() {
  std::lock_guard guard(mutex_);
  ClearStatusLocked();
  std::fflush(out_);
}

void ConsoleFrontEnd::AppendPaneLine(core::Side side, std::string_view line) {
  AppendLine(side, line, core::LineKind::Normal);
}

void ConsoleFrontEnd::AppendLine(core::Side side, std::string_view line, core::LineKind kind) {
  if (kind == core::LineKind::Detail) return;
  std::lock_guard guard(mutex_);
  const std::string text = Marked(side, line);
  if (!quiet_) PrintLocked(out_, text);
  // Without a separate standard error a quiet console tells the story on
  // standard output; a loud one has told it there already.
  std::FILE* story = problems_ ? problems_ : quiet_ ? out_ : nullptr;
  if (!story) return;
  std::deque<std::string>& kept = kept_[IndexOf(side)];
  if (kind == core::LineKind::Normal) {
    kept.push_back(text);
    if (kept.size() > kKeptLines) kept.pop_front();
    return;
  }
  for (const std::string& earlier : kept) PrintLocked(story, earlier);
  kept.clear();
  PrintLocked(story, text);
}

void ConsoleFrontEnd::ClearPane(core::Side side) {
  std::lock_guard guard(mutex_);
  kept_[IndexOf(side)].clear();
}

void ConsoleFrontEnd::PrintLocked(std::FILE* to, const std::string& text) {
  ClearStatusLocked();
  std::fwrite(text.data(), 1, text.size(), to);
  std::fflush(to);
  DrawStatusLocked(true);
  std::fflush(out_);
}

void ConsoleFrontEnd::SetField(core::Field field, std::string_view text) {
  std::lock_guard guard(mutex_);
  fields_[static_cast<int>(field)] = std::string(text);
  DrawStatusLocked(false);
}

void ConsoleFrontEnd::SetWaitingIndicator(core::Side side, bool waiting) {
  std::lock_guard guard(mutex_);
  (side == core::Side::Sending ? send_waiting_ : get_waiting_) = waiting;
  DrawStatusLocked(false);
}

std::string ConsoleFrontEnd::StatusLine() const {
  std::lock_guard guard(mutex_);
  return StatusLineLocked();
}

std::string ConsoleFrontEnd::StatusLineLocked() const {
  auto f = [&](core::Field field) -> const std::string& {
    return fields_[static_cast<int>(field)];
  };
  std::string out;
  auto add = [&](const std::string& label, const std::string& value) {
    if (value.empty()) return;
    out += label;
    out += value;
    out += ' ';
  };
  std::string send;
  std::swap(out, send);
  add("", f(core::Field::CurrentFilename));
  add("", f(core::Field::CurrentPercent).empty() ? "" : f(core::Field::CurrentPercent) + "%");
  add("files ", f(core::Field::FilesSent).empty()
                    ? ""
                    : f(core::Field::FilesSent) + "/" + f(core::Field::TotalFiles));
  add("cps ", f(core::Field::CurrentCPS));
  add("wait ", f(core::Field::Timeout));
  if (send_waiting_) out += "(net) ";
  std::swap(out, send);
  std::string get;
  std::swap(out, get);
  add("", f(core::Field::GetFilename));
  add("msg ", f(core::Field::GetCurrentMsg).empty()
                  ? ""
                  : f(core::Field::GetCurrentMsg) + "/" + f(core::Field::GetTotalMessages));
  add("", f(core::Field::GetByteProgress));
  add("cps ", f(core::Field::GetCPS));
  add("wait ", f(core::Field::GetTimeout));
  if (get_waiting_) out += "(net) ";
  std::swap(out, get);
  if (send.empty() && get.empty()) return {};
  std::string line = "out: " + send + "| in: " + get;
  if (line.size() > kStatusWidth) line.resize(kStatusWidth);
  return line;
}

void ConsoleFrontEnd::ClearStatusLocked() {
  if (!terminal_ || !status_shown_) return;
  std::fputs("\r\033[K", out_);
  status_shown_ = false;
}

void ConsoleFrontEnd::DrawStatusLocked(bool force) {
  if (!terminal_) return;
  const auto now = std::chrono::steady_clock::now();
  if (!force && now - last_draw_ < kRedrawInterval) return;
  last_draw_ = now;
  const std::string line = StatusLineLocked();
  std::fputs("\r\033[K", out_);
  status_shown_ = !line.empty();
  std::fputs(line.c_str(), out_);
  std::fflush(out_);
}

}  // namespace kestrel::console
