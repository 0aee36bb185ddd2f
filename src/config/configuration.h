// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The configuration record: one field per key of the configuration file,
// named after the key. String fields are cut to their maximum when read.

#include <cstdint>
#include <string>
#include <vector>

#include "config/filters.h"
#include "config/redirects.h"

namespace kestrel::config {

// How a side's connection is protected: not at all, by STARTTLS (SMTP) or STLS
// (POP3) required after the greeting, or by TLS from the first byte.
enum class TlsMode { None, StartTls, Implicit, Invalid };

// A remark made while reading: logged by the read; `unusable` makes the
// side refuse to work.
// Who issues a side's OAuth 2.0 tokens when the program obtains them itself
// (SMTPOAUTH, POPOAUTH, IMAPOAUTH); None: a password or a token command.
enum class OAuthProvider { None, Microsoft, Google, Custom, Invalid };

struct ConfigRemark {
  std::string text;
  bool unusable = false;
};

struct Configuration {
  // Common to both sides.
  std::uint8_t AUTODIAL = 0;
  std::uint16_t CONNECTTIME = 60;
  std::uint8_t BUSYTRIES = 3;
  std::uint16_t BUSYPAUSE = 30;
  std::string CONNECTTXT = "Connected to ";
  std::uint16_t NETTIMEOUT = 90;
  // Log size limit in bytes (LOGSIZE x 1000); 0 means none. Kept in 32 bits so
  // that values above 65 mean what they say.
  std::uint32_t LOGSIZE = 0;
  // Each log file line starts with the time it was written.
  bool LOGTIME = false;
  // Hours after which "kestrel --status" counts waiting work as stale, and a
  // mailbox whose login the server paces or locks counts as unread too long.
  std::uint32_t STALEHOURS = 24;
  // Attachment names in upper case, sent and received, for tossers that
  // expect them so; off, a name keeps the letter case it has.
  bool UPPERCASENAMES = false;
  // PEM file of certificates trusted besides the system's store.
  std::string CAFILE;
  // The OAuth 2.0 application and, to override the provider's, its endpoints
  // and scope (empty: the provider's own).
  std::string OAUTHCLIENTID;
  std::string OAUTHCLIENTSECRET;
  std::string OAUTHCLIENTSECRETCOMMAND;  // prints the client secret
  std::string OAUTHAUTHURL;
  std::string OAUTHDEVICEURL;
  std::string OAUTHTOKENURL;
  std::string OAUTHSCOPE;
  // What the last read of this side found wrong, in file order.
  std::vector<ConfigRemark> Remarks;

  // Receiving side.
  std::string POPSERVER;
  std::string POPUSERNAME;
  std::string POPPASSWORD;
  std::string INBOUND;       // absolute (relative ones from the home), ends in "\"
  std::string SAVEEMAIL;     // absolute (relative ones from the home), ends in "\"
  std::string EMAILARRIVED;  // absolute file name (relative ones from the home)
  // Saved texts older than this many days go (0: kept for ever).
  std::uint32_t SAVEDAYS = 30;
  // The oldest saved texts go while all of them hold more bytes (0: no bound).
  std::uint64_t SAVEMAX = 500'000'000;
  std::uint16_t POPPORT = 0;  // 0: the service look-up, then 110
  TlsMode POPTLS = TlsMode::None;
  std::string POPTLSTEXT;          // the POPTLS value as written, for messages
  std::string POPPASSWORDCOMMAND;  // prints the password (instead of POPPASSWORD)
  std::string POPTOKENCOMMAND;     // prints an OAuth 2.0 bearer token
  OAuthProvider POPOAUTH = OAuthProvider::None;
  FilterLists Filters;
  // An IMAP mailbox instead of POP3, when IMAPSERVER is set.
  std::string IMAPSERVER;
  std::uint16_t IMAPPORT = 0;  // 0: 143, or 993 with implicit TLS
  TlsMode IMAPTLS = TlsMode::None;
  std::string IMAPTLSTEXT;  // the IMAPTLS value as written, for messages
  std::string IMAPFOLDER = "INBOX";
  std::string IMAPUSERNAME;
  std::string IMAPPASSWORD;
  std::string IMAPPASSWORDCOMMAND;  // prints the password (instead of IMAPPASSWORD)
  std::string IMAPTOKENCOMMAND;     // prints an OAuth 2.0 bearer token
  OAuthProvider IMAPOAUTH = OAuthProvider::None;
  std::string IMAPDONEFOLDER;  // taken messages move there instead of going
  // The spool of split messages' pieces: its bounds, whole and for each
  // sender, far above real traffic, so that strangers' sets never fill the
  // home; and the days after which a set still waiting is a problem.
  std::uint32_t SPOOLMAXMB = 2048;
  std::uint32_t SPOOLMAXSETS = 200;
  std::uint32_t SPOOLSENDERMB = 1024;
  std::uint32_t SPOOLSENDERSETS = 50;
  std::uint32_t SPOOLDAYS = 7;

  // Sending side.
  std::string FROM;
  std::string FROMEMAIL;
  std::string SUBJECT;
  std::string HOST;
  bool DISABLECHECK = false;
  std::uint16_t OURZONE = 0;
  std::string OUTBOUND;  // no trailing "\", as written (relative: from the home)
  bool BusyFiles = true;
  // Minutes after which a busy flag counts as left behind; 0: never by age.
  std::uint32_t BSYAGE = 0;
  std::string NETMAIL;    // ends in "\", as written
  std::string VFIDO;      // ends in "\", as written
  std::string RemapFrom;  // upper case: matched without regard to case
  std::string RemapTo;    // as written
  std::uint16_t MINIMUMFILES = 0;
  std::int32_t MINIMUMBYTES = 0;
  std::int32_t MINIMUMMAIL = 0;
  bool SendTextMode = false;
  // Charset of FidoNet text that declares none (a FidoNet name such as CP437,
  // CP866, LATIN-1).
  std::string FIDOCHARSET = "CP437";
  // Milliseconds of pause after each confirmed message; a fifth of it after
  // RSET.
  std::uint32_t SENDPAUSE = 500;
  std::uint16_t SMTPPORT = 0;  // 0: the service look-up, then 25
  TlsMode SMTPTLS = TlsMode::None;
  std::string SMTPTLSTEXT;  // the SMTPTLS value as written, for messages
  std::string SMTPUSERNAME;
  std::string SMTPPASSWORD;
  std::string SMTPPASSWORDCOMMAND;  // prints the password (instead of SMTPPASSWORD)
  std::string SMTPTOKENCOMMAND;     // prints an OAuth 2.0 bearer token
  OAuthProvider SMTPOAUTH = OAuthProvider::None;
  // The name in EHLO/HELO; empty: the host's full name, else the address
  // literal of our end of the connection.
  std::string HELONAME;
  // Largest message the provider takes, in bytes, for providers that do not
  // announce SIZE; 0: no limit known.
  std::uint64_t MAXMESSAGESIZE = 0;
  // A file whose message is above the limit goes in pieces (message/partial);
  // off ("SPLITLARGE 0"), it is held.
  bool SPLITLARGE = true;
  RedirectTable Redirects;
};

}  // namespace kestrel::config
