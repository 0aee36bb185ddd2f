// SPDX-License-Identifier: GPL-2.0-or-later
#include "config/configuration_line.h"

#include <algorithm>
#include <optional>

#include "config/address.h"
#include "config/nearest_key.h"
#include "config/redirect_line.h"
#include "core/text_utils.h"
#include "mime/ascii_text.h"
#include "platform/program_home.h"

namespace kestrel::config {

namespace {

using core::Side;

constexpr std::size_t kMaxConnectText = 30;
// POPSERVER and IMAPSERVER alike.
constexpr std::size_t kMaxMailboxServer = 128;
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
  c.LOGTIME = defaults.LOGTIME;
  c.STALEHOURS = defaults.STALEHOURS;
  c.UPPERCASENAMES = defaults.UPPERCASENAMES;
  c.CAFILE.clear();
  c.OAUTHCLIENTID.clear();
  c.OAUTHCLIENTSECRET.clear();
  c.OAUTHCLIENTSECRETCOMMAND.clear();
  c.OAUTHAUTHURL.clear();
  c.OAUTHDEVICEURL.clear();
  c.OAUTHTOKENURL.clear();
  c.OAUTHSCOPE.clear();
  c.Remarks.clear();
}

void ResetReceiving(Configuration& c) {
  c.POPSERVER.clear();
  c.POPUSERNAME.clear();
  c.POPPASSWORD.clear();
  c.INBOUND.clear();
  c.SAVEEMAIL.clear();
  c.EMAILARRIVED.clear();
  c.SAVEDAYS = Configuration{}.SAVEDAYS;
  c.SAVEMAX = Configuration{}.SAVEMAX;
  c.POPPORT = 0;
  c.POPTLS = TlsMode::None;
  c.POPTLSTEXT.clear();
  c.POPPASSWORDCOMMAND.clear();
  c.POPTOKENCOMMAND.clear();
  c.POPOAUTH = OAuthProvider::None;
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
  c.IMAPOAUTH = OAuthProvider::None;
  c.IMAPDONEFOLDER.clear();
  const Configuration defaults;
  c.SPOOLMAXMB = defaults.SPOOLMAXMB;
  c.SPOOLMAXSETS = defaults.SPOOLMAXSETS;
  c.SPOOLSENDERMB = defaults.SPOOLSENDERMB;
  c.SPOOLSENDERSETS = defaults.SPOOLSENDERSETS;
  c.SPOOLDAYS = defaults.SPOOLDAYS;
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
  c.SMTPOAUTH = OAuthProvider::None;
  c.HELONAME.clear();
  c.MAXMESSAGESIZE = 0;
  c.SPLITLARGE = true;
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
// A bound or an age: 0 or less would turn everything away, so 1 at least.
std::uint32_t AtLeastOne(const std::string& line) {
  return static_cast<std::uint32_t>(std::max<std::int32_t>(Number(line), 1));
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
  std::string path = mime::UpperCase(PathWord(line));
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
  const std::string mode = mime::UpperCase(word);
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

// A whole number of at most 18 digits, with K, M or G for thousands,
// millions or thousand millions; nothing when the word is none.
std::optional<std::uint64_t> Count(const std::string& word) {
  constexpr std::size_t kMaxDigits = 18;  // times a thousand million, still within 64 bits
  std::size_t digits = 0;
  while (digits < word.size() && word[digits] >= '0' && word[digits] <= '9') ++digits;
  if (digits == 0 || digits > kMaxDigits || word.size() > digits + 1) return std::nullopt;
  std::uint64_t value = std::stoull(word.substr(0, digits));
  if (word.size() == digits) return value;
  switch (word.back()) {
    case 'K':
    case 'k':
      return value * 1000;
    case 'M':
    case 'm':
      return value * 1000'000;
    case 'G':
    case 'g':
      return value * 1000'000'000;
    default:
      return std::nullopt;
  }
}

// A count that is none leaves the key as it was: a bound read as 0 would
// keep every saved text for ever.
std::optional<std::uint64_t> CountOrRemark(const std::string& key, const std::string& line,
                                           Configuration& c) {
  const std::string word = Word(line);
  const std::optional<std::uint64_t> count = Count(word);
  if (!count)
    c.Remarks.push_back({"** " + key + " " + word + " is not a number, line ignored", false});
  return count;
}

// A provider key's value; an unknown one makes the side unusable, for a
// login sent to the wrong place would fail run after run.
OAuthProvider Provider(const std::string& key, const std::string& line, Configuration& c) {
  const std::string name = mime::UpperCase(Word(line));
  if (name == "MICROSOFT") return OAuthProvider::Microsoft;
  if (name == "GOOGLE") return OAuthProvider::Google;
  if (name == "CUSTOM") return OAuthProvider::Custom;
  c.Remarks.push_back(
      {"** Unknown " + key + " provider " + Word(line) + " (microsoft, google or custom)", true});
  return OAuthProvider::Invalid;
}

std::uint32_t LogSizeBytes(std::int32_t thousands) {
  // Negative values mean no limit; the product is kept whole, so values above
  // 65 give the limit they name.
  return thousands <= 0 ? 0 : static_cast<std::uint32_t>(thousands) * 1000U;
}

// Where a key belongs: read on every read, or only with its side.
enum class Scope { Common, Sending, Receiving };

struct KeyRule {
  std::string_view key;
  Scope scope;
  void (*take)(const std::string& line, Configuration& c);
};

// Every key of the file, in the order the manual lists them.
constexpr KeyRule kRules[] = {
    {"AUTODIAL", Scope::Common,
     [](const std::string& l, Configuration& c) {
       c.AUTODIAL = static_cast<std::uint8_t>(Number(l));
     }},
    {"CONNECTTIME", Scope::Common,
     [](const std::string& l, Configuration& c) {
       c.CONNECTTIME = static_cast<std::uint16_t>(Number(l));
     }},
    {"BUSYTRIES", Scope::Common,
     [](const std::string& l, Configuration& c) {
       c.BUSYTRIES = static_cast<std::uint8_t>(Number(l));
     }},
    {"BUSYPAUSE", Scope::Common,
     [](const std::string& l, Configuration& c) {
       c.BUSYPAUSE = static_cast<std::uint16_t>(Number(l));
     }},
    {"CONNECTTXT", Scope::Common,
     [](const std::string& l, Configuration& c) { c.CONNECTTXT = ConnectText(l); }},
    {"NETTIMEOUT", Scope::Common,
     [](const std::string& l, Configuration& c) {
       c.NETTIMEOUT = static_cast<std::uint16_t>(Number(l));
     }},
    {"LOGSIZE", Scope::Common,
     [](const std::string& l, Configuration& c) { c.LOGSIZE = LogSizeBytes(Number(l)); }},
    {"LOGTIME", Scope::Common, [](const std::string&, Configuration& c) { c.LOGTIME = true; }},
    {"UPPERCASENAMES", Scope::Common,
     [](const std::string&, Configuration& c) { c.UPPERCASENAMES = true; }},
    {"CAFILE", Scope::Common,
     [](const std::string& l, Configuration& c) { c.CAFILE = CommandText(l); }},
    {"OAUTHCLIENTID", Scope::Common,
     [](const std::string& l, Configuration& c) { c.OAUTHCLIENTID = Word(l); }},
    {"OAUTHCLIENTSECRET", Scope::Common,
     [](const std::string& l, Configuration& c) { c.OAUTHCLIENTSECRET = Word(l); }},
    {"OAUTHCLIENTSECRETCOMMAND", Scope::Common,
     [](const std::string& l, Configuration& c) { c.OAUTHCLIENTSECRETCOMMAND = CommandText(l); }},
    {"OAUTHAUTHURL", Scope::Common,
     [](const std::string& l, Configuration& c) { c.OAUTHAUTHURL = Word(l); }},
    {"OAUTHDEVICEURL", Scope::Common,
     [](const std::string& l, Configuration& c) { c.OAUTHDEVICEURL = Word(l); }},
    {"OAUTHTOKENURL", Scope::Common,
     [](const std::string& l, Configuration& c) { c.OAUTHTOKENURL = Word(l); }},
    {"OAUTHSCOPE", Scope::Common,
     [](const std::string& l, Configuration& c) { c.OAUTHSCOPE = CommandText(l); }},
    {"STALEHOURS", Scope::Common,
     [](const std::string& l, Configuration& c) { c.STALEHOURS = AtLeastOne(l); }},

    {"POPSERVER", Scope::Receiving,
     [](const std::string& l, Configuration& c) { c.POPSERVER = Cut(Word(l), kMaxMailboxServer); }},
    {"POPPORT", Scope::Receiving,
     [](const std::string& l, Configuration& c) { c.POPPORT = Port("POPPORT", l, c); }},
    {"POPTLS", Scope::Receiving,
     [](const std::string& l, Configuration& c) {
       c.POPTLSTEXT = Word(l);
       c.POPTLS = ParseTlsMode(c.POPTLSTEXT);
       if (c.POPTLS == TlsMode::Invalid)
         c.Remarks.push_back({"** Unknown POPTLS mode " + c.POPTLSTEXT, true});
     }},
    {"POPUSERNAME", Scope::Receiving,
     [](const std::string& l, Configuration& c) { c.POPUSERNAME = Cut(Word(l), kMaxShortField); }},
    {"POPPASSWORD", Scope::Receiving,
     [](const std::string& l, Configuration& c) { c.POPPASSWORD = Cut(Word(l), kMaxShortField); }},
    {"POPPASSWORDCOMMAND", Scope::Receiving,
     [](const std::string& l, Configuration& c) { c.POPPASSWORDCOMMAND = CommandText(l); }},
    {"POPTOKENCOMMAND", Scope::Receiving,
     [](const std::string& l, Configuration& c) { c.POPTOKENCOMMAND = CommandText(l); }},
    {"POPOAUTH", Scope::Receiving,
     [](const std::string& l, Configuration& c) { c.POPOAUTH = Provider("POPOAUTH", l, c); }},
    // Folder names keep their letter case and blanks ("[Gmail]/All Mail").
    {"IMAPSERVER", Scope::Receiving,
     [](const std::string& l, Configuration& c) { c.IMAPSERVER = Cut(Word(l), kMaxMailboxServer); }},
    {"IMAPPORT", Scope::Receiving,
     [](const std::string& l, Configuration& c) { c.IMAPPORT = Port("IMAPPORT", l, c); }},
    {"IMAPTLS", Scope::Receiving,
     [](const std::string& l, Configuration& c) {
       c.IMAPTLSTEXT = Word(l);
       c.IMAPTLS = ParseTlsMode(c.IMAPTLSTEXT);
       if (c.IMAPTLS == TlsMode::Invalid)
         c.Remarks.push_back({"** Unknown IMAPTLS mode " + c.IMAPTLSTEXT, true});
     }},
    {"IMAPFOLDER", Scope::Receiving,
     [](const std::string& l, Configuration& c) { c.IMAPFOLDER = Cut(Rest(l), kMaxLongField); }},
    {"IMAPUSERNAME", Scope::Receiving,
     [](const std::string& l, Configuration& c) { c.IMAPUSERNAME = Cut(Word(l), kMaxShortField); }},
    {"IMAPPASSWORD", Scope::Receiving,
     [](const std::string& l, Configuration& c) { c.IMAPPASSWORD = Cut(Word(l), kMaxShortField); }},
    {"IMAPPASSWORDCOMMAND", Scope::Receiving,
     [](const std::string& l, Configuration& c) { c.IMAPPASSWORDCOMMAND = CommandText(l); }},
    {"IMAPTOKENCOMMAND", Scope::Receiving,
     [](const std::string& l, Configuration& c) { c.IMAPTOKENCOMMAND = CommandText(l); }},
    {"IMAPOAUTH", Scope::Receiving,
     [](const std::string& l, Configuration& c) { c.IMAPOAUTH = Provider("IMAPOAUTH", l, c); }},
    {"IMAPDONEFOLDER", Scope::Receiving,
     [](const std::string& l, Configuration& c) {
       c.IMAPDONEFOLDER = Cut(Rest(l), kMaxLongField);
     }},
    {"INBOUND", Scope::Receiving,
     [](const std::string& l, Configuration& c) {
       c.INBOUND = platform::InHome(WholeDirectory(l));
     }},
    {"SAVEEMAIL", Scope::Receiving,
     [](const std::string& l, Configuration& c) {
       c.SAVEEMAIL = platform::InHome(WholeDirectory(l));
     }},
    {"SPOOLMAXMB", Scope::Receiving,
     [](const std::string& l, Configuration& c) { c.SPOOLMAXMB = AtLeastOne(l); }},
    {"SPOOLMAXSETS", Scope::Receiving,
     [](const std::string& l, Configuration& c) { c.SPOOLMAXSETS = AtLeastOne(l); }},
    {"SPOOLSENDERMB", Scope::Receiving,
     [](const std::string& l, Configuration& c) { c.SPOOLSENDERMB = AtLeastOne(l); }},
    {"SPOOLSENDERSETS", Scope::Receiving,
     [](const std::string& l, Configuration& c) { c.SPOOLSENDERSETS = AtLeastOne(l); }},
    {"SPOOLDAYS", Scope::Receiving,
     [](const std::string& l, Configuration& c) { c.SPOOLDAYS = AtLeastOne(l); }},
    {"SAVEDAYS", Scope::Receiving,
     [](const std::string& l, Configuration& c) {
       constexpr std::uint64_t kMaxDays = 100'000;  // beyond any disk's life
       if (const auto days = CountOrRemark("SAVEDAYS", l, c))
         c.SAVEDAYS = static_cast<std::uint32_t>(std::min(*days, kMaxDays));
     }},
    {"SAVEMAX", Scope::Receiving,
     [](const std::string& l, Configuration& c) {
       if (const auto bytes = CountOrRemark("SAVEMAX", l, c)) c.SAVEMAX = *bytes;
     }},
    // Created, so in the letter case written.
    {"EMAILARRIVED", Scope::Receiving,
     [](const std::string& l, Configuration& c) {
       c.EMAILARRIVED = platform::InHome(PathWord(l));
     }},

    {"HOST", Scope::Sending,
     [](const std::string& l, Configuration& c) { c.HOST = Cut(Word(l), kMaxShortField); }},
    {"SMTPPORT", Scope::Sending,
     [](const std::string& l, Configuration& c) { c.SMTPPORT = Port("SMTPPORT", l, c); }},
    {"SMTPTLS", Scope::Sending,
     [](const std::string& l, Configuration& c) {
       c.SMTPTLSTEXT = Word(l);
       c.SMTPTLS = ParseTlsMode(c.SMTPTLSTEXT);
       if (c.SMTPTLS == TlsMode::Invalid)
         c.Remarks.push_back({"** Unknown SMTPTLS mode " + c.SMTPTLSTEXT, true});
     }},
    {"SMTPUSERNAME", Scope::Sending,
     [](const std::string& l, Configuration& c) { c.SMTPUSERNAME = Cut(Word(l), kMaxLongField); }},
    {"SMTPPASSWORD", Scope::Sending,
     [](const std::string& l, Configuration& c) { c.SMTPPASSWORD = Cut(Word(l), kMaxLongField); }},
    {"SMTPPASSWORDCOMMAND", Scope::Sending,
     [](const std::string& l, Configuration& c) { c.SMTPPASSWORDCOMMAND = CommandText(l); }},
    {"SMTPTOKENCOMMAND", Scope::Sending,
     [](const std::string& l, Configuration& c) { c.SMTPTOKENCOMMAND = CommandText(l); }},
    {"SMTPOAUTH", Scope::Sending,
     [](const std::string& l, Configuration& c) { c.SMTPOAUTH = Provider("SMTPOAUTH", l, c); }},
    {"HELONAME", Scope::Sending,
     [](const std::string& l, Configuration& c) { c.HELONAME = Cut(Word(l), kMaxShortField); }},
    {"MAXMESSAGESIZE", Scope::Sending,
     [](const std::string& l, Configuration& c) {
       c.MAXMESSAGESIZE = static_cast<std::uint64_t>(std::max<std::int32_t>(Number(l), 0));
     }},
    {"SPLITLARGE", Scope::Sending,
     [](const std::string& l, Configuration& c) { c.SPLITLARGE = Number(l) != 0; }},
    {"FROM", Scope::Sending,
     [](const std::string& l, Configuration& c) { c.FROM = Cut(Rest(l), kMaxShortField); }},
    {"FROMEMAIL", Scope::Sending,
     [](const std::string& l, Configuration& c) { c.FROMEMAIL = Cut(Word(l), kMaxLongField); }},
    {"SUBJECT", Scope::Sending,
     [](const std::string& l, Configuration& c) { c.SUBJECT = Cut(Rest(l), kMaxLongField); }},
    {"OUTBOUND", Scope::Sending,
     [](const std::string& l, Configuration& c) { c.OUTBOUND = MailerDirectory(l); }},
    {"NETMAIL", Scope::Sending,
     [](const std::string& l, Configuration& c) { c.NETMAIL = MailerDirectory(l) + "\\"; }},
    {"VFIDO", Scope::Sending,
     [](const std::string& l, Configuration& c) { c.VFIDO = MailerDirectory(l) + "\\"; }},
    {"OURZONE", Scope::Sending,
     [](const std::string& l, Configuration& c) { c.OURZONE = StrictZone(l); }},
    {"REDIRECT", Scope::Sending,
     [](const std::string& l, Configuration& c) { AddRedirectLine(l, c); }},
    {"SENDTXT", Scope::Sending,
     [](const std::string&, Configuration& c) { c.SendTextMode = true; }},
    {"SENDPKT", Scope::Sending,
     [](const std::string&, Configuration& c) { c.SendTextMode = false; }},
    {"FIDOCHARSET", Scope::Sending,
     [](const std::string& l, Configuration& c) {
       const std::string charset = Cut(Word(l), kMaxShortField);
       if (!charset.empty()) c.FIDOCHARSET = charset;
     }},
    {"SENDPAUSE", Scope::Sending,
     [](const std::string& l, Configuration& c) {
       c.SENDPAUSE = static_cast<std::uint32_t>(std::clamp(Number(l), 0, kMaxSendPause));
     }},
    {"FLOWREMAP", Scope::Sending,
     [](const std::string& l, Configuration& c) {
       c.RemapFrom = Cut(mime::UpperCase(core::WordAt(l, 2)), kMaxShortField);
       c.RemapTo = Cut(core::WordAt(l, 3), kMaxShortField);
     }},
    {"MINIMUMFILES", Scope::Sending,
     [](const std::string& l,
        Configuration& c) { c.MINIMUMFILES = static_cast<std::uint16_t>(Number(l)); }},
    {"MINIMUMBYTES", Scope::Sending,
     [](const std::string& l, Configuration& c) { c.MINIMUMBYTES = Number(l); }},
    {"MINIMUMMAIL", Scope::Sending,
     [](const std::string& l, Configuration& c) { c.MINIMUMMAIL = Number(l); }},
    {"DISABLECHECK", Scope::Sending,
     [](const std::string&, Configuration& c) { c.DISABLECHECK = true; }},
    {"DISABLEBUSYFILES", Scope::Sending,
     [](const std::string&, Configuration& c) { c.BusyFiles = false; }},
    {"BSYAGE", Scope::Sending,
     [](const std::string& l,
        Configuration&
            c) { c.BSYAGE = static_cast<std::uint32_t>(std::max<std::int32_t>(Number(l), 0)); }},
};

const KeyRule* FindRule(std::string_view key) {
  for (const KeyRule& rule : kRules) {
    if (rule.key == key) return &rule;
  }
  return nullptr;
}

// A line that holds no setting: blanks only, a comment (also after blanks),
// or a section header, which means nothing here.
bool HoldsNoSetting(std::string_view line) {
  const std::size_t first = line.find_first_not_of(" \t");
  return first == std::string_view::npos || line[first] == ';' || line[first] == '[';
}

// Blanks and tabs between the key and its value are one separator, so a key
// followed by a tab reads like one followed by a blank.
void BlankAfterKey(std::string& line) {
  std::size_t pos = line.find_first_not_of(" \t");
  while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t') ++pos;
  for (; pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'); ++pos) line[pos] = ' ';
}

void ReportUnknownKey(const std::string& key, std::string_view where, Configuration& c) {
  std::string_view keys[std::size(kRules)];
  for (std::size_t i = 0; i < std::size(kRules); ++i) keys[i] = kRules[i].key;
  const std::string nearest = NearestKey(key, keys);
  // The key and the guess first: a long file name may be cut off the line.
  std::string text =
      "** " + key + (nearest.empty() ? ": unknown key" : ": did you mean " + nearest + "?");
  if (!where.empty())
    text += nearest.empty() ? " (" + std::string(where) + ")"
                            : " (unknown key, " + std::string(where) + ")";
  c.Remarks.push_back({std::move(text), true});
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

void TakeConfigurationLine(Side side, std::string line, Configuration& configuration,
                           std::string_view where) {
  if (HoldsNoSetting(line)) return;
  if (const std::size_t equals = line.find('='); equals != std::string::npos) line[equals] = ' ';
  BlankAfterKey(line);
  const std::string key = mime::UpperCase(core::WordAt(line, 1));
  const KeyRule* rule = FindRule(key);
  if (!rule) {
    ReportUnknownKey(key, where, configuration);
    return;
  }
  const bool this_side =
      rule->scope == Scope::Common || (rule->scope == Scope::Sending) == (side == Side::Sending);
  if (!this_side) return;
  // Each remark of the line names where it is, for a sysop with a long file.
  const std::size_t remarks_before = configuration.Remarks.size();
  const std::string at = where.empty() ? std::string() : " (" + std::string(where) + ")";
  try {
    rule->take(line, configuration);
  } catch (const ConversionError& error) {
    throw ConversionError(error.what() + at);
  }
  for (std::size_t i = remarks_before; i < configuration.Remarks.size(); ++i) {
    configuration.Remarks[i].text += at;
  }
}

}  // namespace kestrel::config
