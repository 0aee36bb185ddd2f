// SPDX-License-Identifier: GPL-2.0-or-later
#include "sample_round.h"

#include <QByteArray>
#include <algorithm>
#include <filesystem>

#include "platform/program_home.h"
#include "support/fido_files.h"

namespace kestrel::gui {

namespace {

namespace fs = std::filesystem;
using kestrel::testing::EncodePacket;
using kestrel::testing::MessageText;
using kestrel::testing::PackedMessage;
using kestrel::testing::PacketHeader;

constexpr std::size_t kListedFileSize = 5000;

std::string MailPacket() {
  PacketHeader header;
  header.orig_node = 100;
  header.dest_node = 200;
  header.orig_net = 236;
  header.dest_net = 236;
  PackedMessage message;
  message.orig_node = 100;
  message.dest_node = 200;
  message.orig_net = 236;
  message.dest_net = 236;
  message.to_name = "All";
  message.from_name = "Demo Sysop";
  message.subject = "Window demo";
  message.text = MessageText{{"MSGID: 2:236/100 6c1e0001"},
                             {"AREA:FIDO.DEMO", "Hello from the window.", "--- Kestrel"}};
  return EncodePacket(header, {message});
}

std::string ListedFile() {
  std::string bytes(kListedFileSize, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<char>((i * 37 + 11) % 256);
  }
  return bytes;
}

}  // namespace

SampleRound::SampleRound()
    : smtp_(std::make_unique<kestrel::testing::SmtpServer>()),
      pop3_(std::make_unique<kestrel::testing::Pop3Server>()) {
  qputenv("KESTREL_HOME", QByteArray(dir_.path().c_str()));
  dir_.MakeDir("fido/inbound");
  sent_ = {MailPacket(), ListedFile()};
  dir_.Write("fido/outbound/00EC00C8.OUT", sent_[0]);
  const std::string listed = dir_.Write("fido/files/NODEDIFF.A07", sent_[1]);
  dir_.Write("fido/outbound/00EC00C8.FLO", listed + "\r\n");

  dir_.Write("KESTREL.INI",
             "; Kestrel window demo\n"
             "OURZONE 2\n"
             "OUTBOUND " +
                 dir_.File("fido/outbound") + "\n" +
                 "HOST 127.0.0.1\n"
                 "SMTPPORT " +
                 std::to_string(smtp_->port()) + "\n" +
                 "FROM Demo Sysop\n"
                 "FROMEMAIL sysop@example.org\n"
                 "SUBJECT FidoNet mail for $FILENAME$\n"
                 "REDIRECT 236/200 fido@example.org Remote Sysop\n"
                 "POPSERVER 127.0.0.1\n"
                 "POPPORT " +
                 std::to_string(pop3_->port()) + "\n" + "POPUSERNAME " + pop3_->user() + "\n" +
                 "POPPASSWORD " + pop3_->password() + "\n" + "INBOUND " +
                 dir_.File("fido/inbound") + "\n" + "NETTIMEOUT 30\n");
  dir_.Write("HEADER.TXT", "This message carries FidoNet mail: $FILENAME$.\n");
  // Named after the program file, which is the test program here.
  dir_.Write(platform::ProgramBaseName() + ".FLT", "; our own mailbox: take everything\n@ALL\n");
}

SampleRound::~SampleRound() {
  qunsetenv("KESTREL_HOME");
}

bool SampleRound::servers_running() const {
  return smtp_->running() && pop3_->running();
}

bool SampleRound::HandMailToMailbox(std::size_t count) {
  if (!smtp_->WaitForMessages(count)) return false;
  for (const std::string& message : smtp_->Messages()) pop3_->AddMessage(message);
  return true;
}

bool SampleRound::ArrivedUnchanged() const {
  std::vector<std::string> inbound;
  for (const auto& entry : fs::directory_iterator(dir_.File("fido/inbound"))) {
    inbound.push_back(dir_.Read("fido/inbound/" + entry.path().filename().string()));
  }
  for (const std::string& content : sent_) {
    if (std::find(inbound.begin(), inbound.end(), content) == inbound.end()) return false;
  }
  return true;
}

}  // namespace kestrel::gui
