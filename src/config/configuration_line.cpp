// SPDX-License-Identifier: GPL-2.0-or-later
#include "config/configuration_line.h"

#include <algorithm>

#include "config/address.h"
#include "config/redirect_line.h"
#include "core/text_utils.h"
#include "platform/program_home.h"

namespace kestrel::config {

namespace {

using core::Side;

constexpr std::size_t kMaxConnectText = 30;
constexpr std::size_t kMaxPopServer = 128;
constexpr std::size_t kMaxShortField = 79;
constexpr std::size_t kMaxLongField = 128;
// A longer pause between messages is taken as this (a minute).
constexpr std::int32_t kMaxSendPause = 60000;

std::string Cut(std::string text, std::size_t max) {
  if (text.size() > max) text.resize(max);
  return text;
}

void ResetCommon(Configuration& c) {
  const Configuration defaults;
  c.AUTODIAL = defaults.AUTODIAL;
  c.CONNECTTIME = defaults.CONNECTTIME;
  c.BUSYTRIES = defaults.BUSYTRIES;
  c.BUSYPAUSE = defaults.BUSYPAUSE;
  c.CONNECTTXT = defaults.CONNECTTXT;
  c.NETTIMEOUT = defaults.NETTIMEOUT;
  c.LOGSIZE = defaults.LOGSIZE;
  c.CAFILE.clear();
  c.Remarks.clear();
}

void ResetReceiving(Configuration& c) {
  c.POPSERVER.clear();
  c.POPUSERNAME.clear();
  c.POPPASSWORD.clear();
  c.INBOUND.clear();
  c.SAVEEMAIL.clear();
  c.EMAILARRIVED.clear();
  c.POPPORT = 0;
  c.POPTLS = TlsMode::None;
  c.POPTLSTEXT.clear();
  c.POPPASSWORDCOMMAND.clear();
  c.POPTOKENCOMMAND.clear();
  c.Filters.Clear();
  c.IMAPSERVER.clear();
  c.IMAPPORT = 0;
  c.IMAPTLS = TlsMode::None;
  c.IMAPTLSTEXT.clear();
  c.IMAPFOLDER = Configuration{}.IMAPFOLDER;
  c.IMAPUSERNAME.clear();
  c.IMAPPASSWORD.clear();
  c.IMAPPASSWORDCOMMAND.clear();
  c.IMAPTOKENCOMMAND.clear();
  c.IMAPDONEFOLDER.clear();
}

void ResetSending(Configuration& c) {
  c.FROM.clear();
  c.FROMEMAIL.clear();
  c.SUBJECT.clear();
  c.HOST.clear();
  c.DISABLECHECK = false;
  c.OURZONE = 0;
  c.OUTBOUND.clear();
  c.BusyFiles = true;
  c.BSYAGE = 0;
  c.NETMAIL.clear();
  c.VFIDO.clear();
  c.RemapFrom.clear();
  c.RemapTo.clear();
  c.MINIMUMFILES = 0;
  c.MINIMUMBYTES = 0;
  c.MINIMUMMAIL = 0;
  c.SendTextMode = false;
  c.FIDOCHARSET = Configuration{}.FIDOCHARSET;
  c.SENDPAUSE = Configuration{}.SENDPAUSE;
  c.SMTPPORT = 0;
  c.SMTPTLS = TlsMode::None;
  c.SMTPTLSTEXT.clear();
  c.SMTPUSERNAME.clear();
  c.SMTPPASSWORD.clear();
  c.SMTPPASSWORDCOMMAND.clear();
  c.SMTPTOKENCOMMAND.clear();
  c.Redirects.Clear();
}

std::string Word(const std::string& line) {
  return core::WordAt(line, 2);
}
std::string Rest(const std::string& line) {
  return core::TrimLeadingBlanks(core::DeleteWord(line, 1));
}
std::int32_t Number(const std::string& line) {
  return core::TextToInt(Word(line));
}

// The second word whole. Paths are never cut: cut short, a directory would
// name another place (files beside the inbound).
std::string PathWord(std::string_view line) {
  std::size_t pos = 0;
  std::size_t begin = 0;
  for (int word = 1; word <= 2; ++word) {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    begin = pos;
    while (pos < line.size() && line[pos] != ' ') ++pos;
  }
  return std::string(line.substr(begin, pos - begin));
}

// The mailer's directories keep their spelling (it is shown in the reports,
// and looked up as written before any other letter case), whole.
std::string MailerDirectory(const std::string& line) {
  std::string path = PathWord(line);
  const bool root = path.size() == 1 || (path.size() == 3 && path[1] == ':');  // "/", "C:\"
  if (!root && !path.empty() && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return path;
}

// A directory as the receiving side keeps it: upper-cased, ending in "\".
std::string WholeDirectory(const std::string& line) {
  std::string path = core::UpperCase(PathWord(line));
  while (path.size() > 1 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return path + "\\";
}

std::uint16_t StrictZone(const std::string& line) {
  const std::string word = Word(line);
  std::size_t digits = word.empty() || word[0] != '-' ? 0 : 1;
  const std::size_t start = digits;
  while (digits < word.size() && word[digits] >= '0' && word[digits] <= '9') ++digits;
  if (digits == start || digits != word.size() || digits - start > 10)
    throw ConversionError("'" + word + "' is not a valid integer value (OURZONE)");
  const long long value = std::stoll(word);
  if (value < INT32_MIN || value > INT32_MAX)
    throw ConversionError("'" + word + "' is not a valid integer value (OURZONE)");
  return static_cast<std::uint16_t>(value);
}

std::string ConnectText(const std::string& line) {
  std::string text = line;
  const std::size_t open = text.find('"');
  if (open != std::string::npos) {
    text.erase(0, open + 1);
    const std::size_t close = text.find('"');
    if (close != std::string::npos) text.resize(close);
  }
  return Cut(text, kMaxConnectText);
}

// Commands keep their whole text, not only the first 132 characters.
std::string CommandText(const std::string& line) {
  std::size_t pos = 0;
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  while (pos < line.size() && line[pos] != ' ') ++pos;
  while (pos < line.size() && line[pos] == ' ') ++pos;
  return line.substr(pos);
}

TlsMode ParseTlsMode(const std::string& word) {
  const std::string mode = core::UpperCase(word);
  if (mode.empty() || mode == "NONE" || mode == "NO" || mode == "OFF") return TlsMode::None;
  if (mode == "STARTTLS" || mode == "STLS") return TlsMode::StartTls;
  if (mode == "IMPLICIT" || mode == "TLS" || mode == "SSL") return TlsMode::Implicit;
  return TlsMode::Invalid;
}

// A port key's value: a whole number from 1 to 65535; anything else makes the
// side unusable rather than connect somewhere unintended.
std::uint16_t Port(const std::string& key, const std::string& line, Configuration& c) {
  const std::string word = Word(line);
  const bool digits = !word.empty() && word.size() <= 5 &&
                      word.find_first_not_of("0123456789") == std::string::npos;
  const long value = digits ? std::stol(word) : 0;
  if (value < 1 || value > 65535) {
    c.Remarks.push_back({"** " + key + " " + word + " is not a port number (1 to 65535)", true});
    return 0;
  }
  return static_cast<std::uint16_t>(value);
}

std::uint32_t LogSizeBytes(std::int32_t thousands) {
  // Negative values mean no limit; the product is kept whole, so values above
  // 65 give the limit they name.
  return thousands <= 0 ? 0 : static_cast<std::uint32_t>(thousands) * 1000U;
}

bool TakeCommon(const std::string& key, const std::string& line, Configuration& c) {
  if (key == "AUTODIAL")
    c.AUTODIAL = static_cast<std::uint8_t>(Number(line));
  else if (key == "CONNECTTIME")
    c.CONNECTTIME = static_cast<std::uint16_t>(Number(line));
  else if (key == "BUSYTRIES")
    c.BUSYTRIES = static_cast<std::uint8_t>(Number(line));
  else if (key == "BUSYPAUSE")
    c.BUSYPAUSE = static_cast<std::uint16_t>(Number(line));
  else if (key == "CONNECTTXT")
    c.CONNECTTXT = ConnectText(line);
  else if (key == "NETTIMEOUT")
    c.NETTIMEOUT = static_cast<std::uint16_t>(Number(line));
  else if (key == "LOGSIZE")
    c.LOGSIZE = LogSizeBytes(Number(line));
  else if (key == "CAFILE")
    c.CAFILE = CommandText(line);
  else
    return false;
  return true;
}

// Folder names keep their letter case and blanks ("[Gmail]/All Mail").
void TakeImap(const std::string& key, const std::string& line, Configuration& c) {
  if (key == "IMAPSERVER")
    c.IMAPSERVER = Cut(Word(line), kMaxPopServer);
  else if (key == "IMAPPORT")
    c.IMAPPORT = Port(key, line, c);
  else if (key == "IMAPTLS") {
    c.IMAPTLSTEXT = Word(line);
    c.IMAPTLS = ParseTlsMode(c.IMAPTLSTEXT);
  } else if (key == "IMAPFOLDER")
    c.IMAPFOLDER = Cut(Rest(line), kMaxLongField);
  else if (key == "IMAPUSERNAME")
    c.IMAPUSERNAME = Cut(Word(line), kMaxShortField);
  else if (key == "IMAPPASSWORD")
    c.IMAPPASSWORD = Cut(Word(line), kMaxShortField);
  else if (key == "IMAPPASSWORDCOMMAND")
    c.IMAPPASSWORDCOMMAND = CommandText(line);
  else if (key == "IMAPTOKENCOMMAND")
    c.IMAPTOKENCOMMAND = CommandText(line);
  else if (key == "IMAPDONEFOLDER")
    c.IMAPDONEFOLDER = Cut(Rest(line), kMaxLongField);
}

void TakeReceiving(const std::string& key, const std::string& line, Configuration& c) {
  if (key == "POPSERVER")
    c.POPSERVER = Cut(Word(line), kMaxPopServer);
  else if (key == "POPUSERNAME")
    c.POPUSERNAME = Cut(Word(line), kMaxShortField);
  else if (key == "POPPASSWORD")
    c.POPPASSWORD = Cut(Word(line), kMaxShortField);
  else if (key == "INBOUND")
    c.INBOUND = platform::InHome(WholeDirectory(line));
  else if (key == "SAVEEMAIL")
    c.SAVEEMAIL = platform::InHome(WholeDirectory(line));
  else if (key == "EMAILARRIVED")  // created, so in the letter case written
    c.EMAILARRIVED = platform::InHome(PathWord(line));
  else if (key == "POPPORT")
    c.POPPORT = Port(key, line, c);
  else if (key == "POPTLS") {
    c.POPTLSTEXT = Word(line);
    c.POPTLS = ParseTlsMode(c.POPTLSTEXT);
  } else if (key == "POPPASSWORDCOMMAND")
    c.POPPASSWORDCOMMAND = CommandText(line);
  else if (key == "POPTOKENCOMMAND")
    c.POPTOKENCOMMAND = CommandText(line);
  else
    TakeImap(key, line, c);
}

void TakeSending(const std::string& key, const std::string& line, Configuration& c) {
  if (key == "FROM")
    c.FROM = Cut(Rest(line), kMaxShortField);
  else if (key == "FROMEMAIL")
    c.FROMEMAIL = Cut(Word(line), kMaxLongField);
  else if (key == "SUBJECT")
    c.SUBJECT = Cut(Rest(line), kMaxLongField);
  else if (key == "HOST")
    c.HOST = Cut(Word(line), kMaxShortField);
  else if (key == "DISABLECHECK")
    c.DISABLECHECK = true;
  else if (key == "OURZONE")
    c.OURZONE = StrictZone(line);
  else if (key == "OUTBOUND")
    c.OUTBOUND = MailerDirectory(line);
  else if (key == "DISABLEBUSYFILES")
    c.BusyFiles = false;
  else if (key == "BSYAGE")
    c.BSYAGE = static_cast<std::uint32_t>(std::max<std::int32_t>(Number(line), 0));
  else if (key == "NETMAIL")
    c.NETMAIL = MailerDirectory(line) + "\\";
  else if (key == "VFIDO")
    c.VFIDO = MailerDirectory(line) + "\\";
  else if (key == "FLOWREMAP") {
    c.RemapFrom = Cut(core::UpperCase(core::WordAt(line, 2)), kMaxShortField);
    c.RemapTo = Cut(core::WordAt(line, 3), kMaxShortField);
  } else if (key == "MINIMUMFILES")
    c.MINIMUMFILES = static_cast<std::uint16_t>(Number(line));
  else if (key == "MINIMUMBYTES")
    c.MINIMUMBYTES = Number(line);
  else if (key == "MINIMUMMAIL")
    c.MINIMUMMAIL = Number(line);
  else if (key == "SENDTXT")
    c.SendTextMode = true;
  else if (key == "SENDPKT")
    c.SendTextMode = false;
  else if (key == "FIDOCHARSET") {
    const std::string charset = Cut(Word(line), kMaxShortField);
    if (!charset.empty()) c.FIDOCHARSET = charset;
  } else if (key == "SENDPAUSE")
    c.SENDPAUSE = static_cast<std::uint32_t>(std::clamp(Number(line), 0, kMaxSendPause));
  else if (key == "REDIRECT")
    AddRedirectLine(line, c);
  else if (key == "SMTPPORT")
    c.SMTPPORT = Port(key, line, c);
  else if (key == "SMTPTLS") {
    c.SMTPTLSTEXT = Word(line);
    c.SMTPTLS = ParseTlsMode(c.SMTPTLSTEXT);
  } else if (key == "SMTPUSERNAME")
    c.SMTPUSERNAME = Cut(Word(line), kMaxLongField);
  else if (key == "SMTPPASSWORD")
    c.SMTPPASSWORD = Cut(Word(line), kMaxLongField);
  else if (key == "SMTPPASSWORDCOMMAND")
    c.SMTPPASSWORDCOMMAND = CommandText(line);
  else if (key == "SMTPTOKENCOMMAND")
    c.SMTPTOKENCOMMAND = CommandText(line);
}

}  // namespace

void ResetForRead(Side side, Configuration& configuration) {
  ResetCommon(configuration);
  if (side == Side::Sending) {
    ResetSending(configuration);
  } else {
    ResetReceiving(configuration);
  }
}

void TakeConfigurationLine(Side side, std::string line, Configuration& configuration) {
  if (line.empty() || line[0] == ';') return;
  if (const std::size_t equals = line.find('='); equals != std::string::npos) line[equals] = ' ';
  const std::string key = core::UpperCase(core::WordAt(line, 1));
  if (TakeCommon(key, line, configuration)) return;
  if (side == Side::Sending) {
    TakeSending(key, line, configuration);
  } else {
    TakeReceiving(key, line, configuration);
  }
}

}  // namespace kestrel::config
