// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// A small FidoNet system for the fault tests: two redirected nodes (one with a
// lower-case outbound, one upper-case), flow files with "^", "#" and plain
// lines, mail packets, netmail file attaches, netmail packed into packets and
// VFIDO lists, each item remembered with the bytes that must arrive. Checks
// that nothing left the outbound without a message the SMTP server stored,
// that the inbound holds no partial file, and that nothing was deleted from
// the mailbox before its saved text and attachments were written whole.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "app/jobs.h"
#include "config/read_configuration.h"
#include "core/text_utils.h"
#include "mime/ascii_text.h"
#include "support/fido_files.h"
#include "support/mail_servers.h"
#include "support/recording_front_end.h"
#include "support/temp_dir.h"

namespace kestrel::faults {

namespace fs = std::filesystem;

// Files are this big at most: big enough that a fault lands inside DATA.
inline constexpr std::size_t kMaxItemBytes = 96 * 1024;

struct Node {
  std::uint16_t net;
  std::uint16_t node;
  const char* base;  // outbound name without extension, in the mailer's case
  const char* email;
};
inline const Node kNodes[] = {
    {236, 100, "00ec0064", "node100@example.org"},  // a Linux mailer: lower case
    {236, 200, "00EC00C8", "node200@example.org"},
};

enum class ItemKind { Listed, Packet, Attached, Netmail };

// One thing waiting in the outbound for one node.
struct Item {
  ItemKind kind = ItemKind::Listed;
  int node = 0;
  std::string file;     // the file sent (Netmail: the stored message)
  std::string list;     // Listed: the flow file or VFIDO list
  std::string line;     // Listed: the list line as written
  std::string content;  // the bytes that must arrive (Netmail: a marker in its text)
  std::string label;    // for messages
};

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A mail or saved text as its non-empty lines, for comparing the two: the
// saved text leaves out the empty line that opens a decoded attachment.
inline std::string Normalised(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::size_t stop = end;
    if (stop > at && text[stop - 1] == '\r') --stop;
    if (stop > at) {
      out.append(text, at, stop - at);
      out.push_back('\n');
    }
    at = end + 1;
  }
  return out;
}

// One message the SMTP server stored, with its decoded parts.
struct Delivered {
  std::string file;
  std::string raw;
  std::vector<std::string> recipients;
  std::vector<testing::MimePart> parts;
};

// What the SMTP server stored, parsed once per message by a real MIME parser.
class Deliveries {
 public:
  explicit Deliveries(const testing::SmtpServer& server) : server_(server) {}

  // Parses the messages stored since the last call; returns how many.
  std::size_t Refresh() {
    std::size_t added = 0;
    for (const std::string& file : server_.MessageFiles()) {
      if (seen_.count(file) != 0) continue;
      Delivered delivered;
      delivered.file = file;
      delivered.raw = ReadAll(file);
      delivered.recipients = testing::StoredRecipients(delivered.raw);
      auto parts = testing::ParseMimeMessage(file);
      if (!parts) continue;  // read again next time
      delivered.parts = std::move(*parts);
      seen_.insert(file);
      all_.push_back(std::move(delivered));
      ++added;
    }
    return added;
  }
  [[nodiscard]] const std::vector<Delivered>& all() const { return all_; }

  // The stored messages that carry the item to its node.
  [[nodiscard]] std::vector<const Delivered*> Carrying(const Item& item) const {
    std::vector<const Delivered*> carrying;
    for (const Delivered& message : all_) {
      if (std::find(message.recipients.begin(), message.recipients.end(),
                    kNodes[item.node].email) == message.recipients.end()) {
        continue;
      }
      for (const auto& part : message.parts) {
        if (part.filename.empty()) continue;
        const bool carries = item.kind == ItemKind::Netmail
                                 ? part.content.find(item.content) != std::string::npos
                                 : part.content == item.content;
        if (carries) {
          carrying.push_back(&message);
          break;
        }
      }
    }
    return carrying;
  }
  [[nodiscard]] int Count(const Item& item) const {
    return static_cast<int>(Carrying(item).size());
  }

  // True when the bytes are an attachment of some stored message.
  [[nodiscard]] bool IsAttachment(const std::string& bytes) const {
    for (const Delivered& message : all_) {
      for (const auto& part : message.parts) {
        if (!part.filename.empty() && part.content == bytes) return true;
      }
    }
    return false;
  }

 private:
  const testing::SmtpServer& server_;
  std::set<std::string> seen_;
  std::vector<Delivered> all_;
};

// One job as the controller runs it, with the configuration in `home`: the
// send list and the send job, or the get job. The pane lines go to `log`.
// False when the configuration could not be used.
inline bool RunCoreJob(const std::string& home, core::Side side, std::string& log) {
  testing::RecordingFrontEnd front_end;
  core::Logger logger(front_end, home);
  config::Configuration configuration;
  if (!config::ReadConfiguration(side, "KESTREL.INI", configuration, logger)) return false;
  app::JobContext context(side, configuration, logger);
  auto jobs = app::MakeCoreJobs();
  if (side == core::Side::Sending) {
    if (jobs->BuildList(context.configuration(), context.send_list(), logger) ==
        app::ListOutcome::Send) {
      (void)jobs->RunSendJob(context);
    }
  } else {
    (void)jobs->RunGetJob(context);
  }
  log.clear();
  for (const auto& line : front_end.Lines(side)) log += line + "\n";
  return true;
}

class FidoWorld {
 public:
  explicit FidoWorld(unsigned seed) : random_(seed) {
    for (const char* dir : {"home", "fido/outbound", "fido/netmail", "fido/vfido", "fido/files",
                            "fido/inbound", "fido/save"}) {
      dir_.MakeDir(dir);
    }
    dir_.Write("home/HEADER.TXT", "FidoNet mail for you: $FILENAME$ ($FILESIZE$ bytes)\n.\n");
    dir_.Write("home/KESTREL.FLT", "@ALL\n");
  }

  [[nodiscard]] const testing::TempDir& dir() const { return dir_; }
  [[nodiscard]] std::string Home() const { return dir_.File("home"); }
  [[nodiscard]] std::string Path(const std::string& relative) const { return dir_.File(relative); }
  [[nodiscard]] std::vector<Item>& items() { return items_; }
  std::mt19937& random() { return random_; }

  void WriteConfiguration(std::uint16_t smtp_port, std::uint16_t pop_port, int net_timeout) {
    std::string ini = "OURZONE 2\nOUTBOUND " + Path("fido/outbound") + "\nNETMAIL " +
                      Path("fido/netmail") + "\nVFIDO " + Path("fido/vfido") +
                      "\nHOST 127.0.0.1\nSMTPPORT " + std::to_string(smtp_port) +
                      "\nFROM Fido Gate\nFROMEMAIL gate@example.org\nSUBJECT FidoNet $FILENAME$\n";
    for (const Node& node : kNodes) {
      ini += "REDIRECT " + std::to_string(node.net) + "/" + std::to_string(node.node) + " " +
             node.email + " Node " + std::to_string(node.node) + "\n";
    }
    ini += "POPSERVER 127.0.0.1\nPOPPORT " + std::to_string(pop_port) +
           "\nPOPUSERNAME fido\nPOPPASSWORD secret\nINBOUND " + Path("fido/inbound") +
           "\nSAVEEMAIL " + Path("fido/save") + "\nNETTIMEOUT " + std::to_string(net_timeout) +
           "\n";
    dir_.Write("home/KESTREL.INI", ini);
  }

  void AppendConfiguration(const std::string& lines) {
    std::ofstream out(Path("home/KESTREL.INI"), std::ios::binary | std::ios::app);
    out << lines;
  }

  std::string RandomBytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (auto& c : bytes) c = static_cast<char>(random_() & 0xFF);
    return bytes;
  }
  std::size_t RandomSize() {
    // Mostly small, sometimes near the limit; never empty (empty files are not sent).
    const std::size_t limit = (random_() % 4 == 0) ? kMaxItemBytes : 4096;
    return 1 + random_() % limit;
  }

  // A file named in the node's flow file, with a random prefix; sometimes
  // the same file is listed for the other node as well.
  void AddListed(int node, bool may_share = true) {
    const std::string file = NewFile();
    const std::string content = ReadAll(file);
    const char prefixes[] = {'\0', '^', '#'};
    const char prefix = prefixes[random_() % 3];
    std::vector<int> nodes = {node};
    if (may_share && random_() % 4 == 0) nodes.push_back(1 - node);
    for (int n : nodes) {
      const std::string flow =
          Path("fido/outbound/" + std::string(kNodes[n].base) + (n == 0 ? ".flo" : ".FLO"));
      const std::string line = (prefix ? std::string(1, prefix) : std::string()) + file;
      AppendLine(flow, line);
      items_.push_back({ItemKind::Listed, n, file, flow, line, content, "listed " + line});
    }
  }

  // A mail packet under a free outbound name (.out, .cut, .hut, .dut).
  void AddPacket(int node) {
    for (const char* flavour : {"o", "c", "h", "d"}) {
      std::string extension = std::string(flavour) + "ut";
      if (node == 1) extension = mime::UpperCase(extension);
      const std::string path =
          Path("fido/outbound/" + std::string(kNodes[node].base) + "." + extension);
      if (fs::exists(path)) continue;
      testing::PacketHeader header;
      header.orig_node = 1;
      header.dest_net = kNodes[node].net;
      header.dest_node = kNodes[node].node;
      testing::PackedMessage message;
      message.dest_net = kNodes[node].net;
      message.dest_node = kNodes[node].node;
      message.subject = "packet " + std::to_string(++serial_);
      message.text.lines = {"AREA:TEST", Marker(), std::string(RandomSize() % 2000, 'x')};
      const std::string content = testing::EncodePacket(header, {message});
      dir_.Write("fido/outbound/" + std::string(kNodes[node].base) + "." + extension, content);
      items_.push_back({ItemKind::Packet, node, path, "", "", content, "packet " + path});
      return;
    }
  }

  // A netmail file attach naming a new file in its subject.
  void AddAttached(int node) {
    const std::string file = NewFile();
    testing::StoredMessage message = NetmailTo(node);
    message.subject = file;
    message.attribute |= fido::kAttrFileAttached;
    const std::string msg = WriteMessage(message);
    items_.push_back({ItemKind::Attached, node, file, msg, "", ReadAll(file), "attach " + msg});
  }

  // A netmail that goes packed into a packet; its marker line must arrive.
  void AddNetmail(int node) {
    testing::StoredMessage message = NetmailTo(node);
    const std::string marker = Marker();
    message.subject = "netmail " + std::to_string(serial_);
    message.text.lines = {"Hello", marker, "Bye"};
    if (random_() % 2 == 0) message.attribute |= fido::kAttrKillSent;
    const std::string msg = WriteMessage(message);
    items_.push_back({ItemKind::Netmail, node, msg, "", "", marker, "netmail " + msg});
  }

  // A VFIDO list naming a new file, with its announcing packet.
  void AddVfido(int node) {
    const std::string number = core::ZeroPadNumber(++vfido_serial_, 8);
    const std::string file = NewFile();
    testing::PacketHeader header;
    header.orig_node = 1;
    header.dest_net = kNodes[node].net;
    header.dest_node = kNodes[node].node;
    testing::PackedMessage message;
    message.dest_net = kNodes[node].net;
    message.dest_node = kNodes[node].node;
    message.attribute = fido::kAttrFileAttached;
    message.subject = file;
    dir_.Write("fido/vfido/" + number + ".PKT", testing::EncodePacket(header, {message}));
    const std::string list = Path("fido/vfido/" + number + ".LST");
    AppendLine(list, file);
    items_.push_back({ItemKind::Listed, node, file, list, file, ReadAll(file), "vfido " + list});
  }

  void AddRandomItems(int count) {
    for (int i = 0; i < count; ++i) {
      const int node = static_cast<int>(random_() % 2);
      switch (random_() % 6) {
        case 0:
        case 1:
          AddListed(node);
          break;
        case 2:
          AddPacket(node);
          break;
        case 3:
          AddAttached(node);
          break;
        case 4:
          AddNetmail(node);
          break;
        default:
          AddVfido(node);
          break;
      }
    }
  }

  // True while the item still waits in the outbound, untouched.
  [[nodiscard]] bool Waiting(const Item& item) const {
    switch (item.kind) {
      case ItemKind::Listed:
        return ListHasLine(item.list, item.line);
      case ItemKind::Packet:
        // A later packet may take the name of one that went.
        return fs::exists(item.file) && ReadAll(item.file) == item.content;
      case ItemKind::Attached: {
        const auto message = testing::DecodeStoredMessage(ReadAll(item.list));
        return message &&
               mime::UpperCase(message->header.subject).find(mime::UpperCase(item.file)) !=
                   std::string::npos;
      }
      case ItemKind::Netmail: {
        if (!fs::exists(item.file)) return false;
        const auto message = testing::DecodeStoredMessage(ReadAll(item.file));
        return message && (message->header.attribute & fido::kAttrSent) == 0;
      }
    }
    return false;
  }

  // Empty when the item is in order: waiting with its file whole, or gone
  // with a stored message that carries it to its node.
  [[nodiscard]] std::string Check(const Item& item, const Deliveries& deliveries) const {
    if (Waiting(item)) {
      if (item.kind == ItemKind::Netmail) return {};
      if (!fs::exists(item.file) || ReadAll(item.file) != item.content) {
        return item.label + ": still listed, but its file is gone or changed";
      }
      return {};
    }
    if (deliveries.Count(item) == 0) return item.label + ": left the outbound, never stored";
    return {};
  }

  // True when the list exists and holds the line (line ends of any kind).
  [[nodiscard]] static bool ListHasLine(const std::string& list, const std::string& line) {
    if (!fs::exists(list)) return false;
    const std::string text = ReadAll(list);
    std::size_t at = 0;
    while (at < text.size()) {
      std::size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      std::string current = text.substr(at, end - at);
      if (!current.empty() && current.back() == '\r') current.pop_back();
      if (current == line) return true;
      at = end + 1;
    }
    return false;
  }

  // Busy flags, temporary files and other leftovers of a run, relative to
  // the world's directory.
  [[nodiscard]] std::vector<std::string> Leftovers() const {
    std::vector<std::string> found;
    for (const char* dir :
         {"home", "fido/outbound", "fido/netmail", "fido/vfido", "fido/inbound"}) {
      for (const auto& entry : fs::directory_iterator(Path(dir))) {
        const std::string name = entry.path().filename().string();
        const std::string upper = mime::UpperCase(name);
        const bool leftover = upper.ends_with(".BSY") ||
                              upper.find(".KESTREL-") != std::string::npos ||
                              (std::string(dir) == "home" && upper.ends_with(".PKT"));
        if (leftover) found.push_back(std::string(dir) + "/" + name);
      }
    }
    return found;
  }

  // Every stored message written, with its bytes as written.
  [[nodiscard]] const std::map<std::string, std::string>& Messages() const { return messages_; }

  // Every flow file and VFIDO list written, with the lines it was given.
  [[nodiscard]] std::map<std::string, std::vector<std::string>> Lists() const {
    std::map<std::string, std::vector<std::string>> lists;
    for (const Item& item : items_) {
      if (item.kind == ItemKind::Listed) lists[item.list].push_back(item.line);
    }
    return lists;
  }

  [[nodiscard]] std::vector<std::string> InboundFiles() const {
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(Path("fido/inbound"))) {
      files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
  }

  [[nodiscard]] std::set<std::string> SavedTexts() const {
    std::set<std::string> texts;
    for (const auto& entry : fs::directory_iterator(Path("fido/save"))) {
      if (mime::UpperCase(entry.path().filename().string()).ends_with(".TXT")) {
        texts.insert(Normalised(ReadAll(entry.path().string())));
      }
    }
    return texts;
  }

 private:
  std::string Marker() {
    return "marker " + std::to_string(++serial_) + "-" + std::to_string(random_());
  }

  std::string NewFile() {
    const std::string name = "f" + std::to_string(++serial_) + ".bin";
    return dir_.Write("fido/files/" + name, RandomBytes(RandomSize()));
  }

  void AppendLine(const std::string& list, const std::string& line) {
    std::ofstream out(list, std::ios::binary | std::ios::app);
    out << line << "\r\n";
  }

  testing::StoredMessage NetmailTo(int node) const {
    testing::StoredMessage message;
    message.dest_net = kNodes[node].net;
    message.dest_node = kNodes[node].node;
    message.orig_net = 236;
    message.orig_node = 1;
    message.attribute = fido::kAttrLocal;
    return message;
  }

  std::string WriteMessage(const testing::StoredMessage& message) {
    const std::string bytes = testing::EncodeStoredMessage(message);
    const std::string path =
        dir_.Write("fido/netmail/" + std::to_string(++message_serial_) + ".msg", bytes);
    messages_[path] = bytes;
    return path;
  }

  testing::TempDir dir_;
  std::mt19937 random_;
  std::vector<Item> items_;
  std::map<std::string, std::string> messages_;  // stored messages as written
  int serial_ = 0;
  int message_serial_ = 0;
  int vfido_serial_ = 0;
};

}  // namespace kestrel::faults
