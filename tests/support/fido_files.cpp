#include "support/fido_files.h"

namespace kestrel::testing {

namespace {

constexpr std::size_t kNameField = 36;
constexpr std::size_t kSubjectField = 72;
constexpr std::size_t kDateField = 20;
constexpr std::size_t kPasswordField = 8;
constexpr std::uint16_t kPacketType = 2;
constexpr std::uint16_t kCapabilityType2Plus = 0x0001;
constexpr std::uint16_t kCapabilityValidation = 0x0100;  // the capability word byte-swapped

void PutU16(std::string& out, std::uint16_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>(value >> 8));
}

void PutFixed(std::string& out, std::string_view value, std::size_t size) {
  const std::size_t used = value.size() < size ? value.size() : size;
  out.append(value.substr(0, used));
  out.append(size - used, '\0');
}

void PutZeroEnded(std::string& out, std::string_view value) {
  out.append(value);
  out.push_back('\0');
}

// Bounded cursor for the read-back helpers.
class Cursor {
 public:
  explicit Cursor(std::string_view bytes) : bytes_(bytes) {}
  [[nodiscard]] bool Has(std::size_t n) const { return bytes_.size() - pos_ >= n; }
  std::uint16_t U16() {
    const auto lo = static_cast<unsigned char>(bytes_[pos_]);
    const auto hi = static_cast<unsigned char>(bytes_[pos_ + 1]);
    pos_ += 2;
    return static_cast<std::uint16_t>(lo | (hi << 8));
  }
  std::uint8_t U8() { return static_cast<std::uint8_t>(bytes_[pos_++]); }
  std::string Fixed(std::size_t size) {
    std::string_view field = bytes_.substr(pos_, size);
    pos_ += size;
    return std::string(field.substr(0, field.find('\0')));
  }
  // Text up to a NUL, which is consumed; nothing when no NUL follows.
  std::optional<std::string> ZeroEnded() {
    const std::size_t end = bytes_.find('\0', pos_);
    if (end == std::string_view::npos) return std::nullopt;
    std::string value(bytes_.substr(pos_, end - pos_));
    pos_ = end + 1;
    return value;
  }
  [[nodiscard]] std::string_view Rest() const { return bytes_.substr(pos_); }

 private:
  std::string_view bytes_;
  std::size_t pos_ = 0;
};

}  // namespace

std::string EncodeMessageText(const MessageText& text) {
  std::string out;
  for (const std::string& kludge : text.kludges) {
    out.push_back('\x01');
    out.append(kludge);
    out.push_back('\r');
  }
  for (const std::string& line : text.lines) {
    out.append(line);
    out.push_back('\r');
  }
  return out;
}

std::string EncodeStoredMessage(const StoredMessage& m) {
  std::string out;
  out.reserve(kStoredHeaderSize + 256);
  PutFixed(out, m.from_name, kNameField);
  PutFixed(out, m.to_name, kNameField);
  PutFixed(out, m.subject, kSubjectField);
  PutFixed(out, m.date_time, kDateField);
  PutU16(out, m.times_read);
  PutU16(out, m.dest_node);
  PutU16(out, m.orig_node);
  PutU16(out, m.cost);
  PutU16(out, m.orig_net);
  PutU16(out, m.dest_net);
  PutU16(out, m.dest_zone);
  PutU16(out, m.orig_zone);
  PutU16(out, m.dest_point);
  PutU16(out, m.orig_point);
  PutU16(out, m.reply_to);
  PutU16(out, m.attribute);
  PutU16(out, m.next_reply);
  out.append(EncodeMessageText(m.text));
  if (m.nul_terminated) out.push_back('\0');
  return out;
}

std::optional<DecodedStoredMessage> DecodeStoredMessage(std::string_view bytes) {
  Cursor in(bytes);
  if (!in.Has(kStoredHeaderSize)) return std::nullopt;
  DecodedStoredMessage out;
  StoredMessage& m = out.header;
  m.from_name = in.Fixed(kNameField);
  m.to_name = in.Fixed(kNameField);
  m.subject = in.Fixed(kSubjectField);
  m.date_time = in.Fixed(kDateField);
  m.times_read = in.U16();
  m.dest_node = in.U16();
  m.orig_node = in.U16();
  m.cost = in.U16();
  m.orig_net = in.U16();
  m.dest_net = in.U16();
  m.dest_zone = in.U16();
  m.orig_zone = in.U16();
  m.dest_point = in.U16();
  m.orig_point = in.U16();
  m.reply_to = in.U16();
  m.attribute = in.U16();
  m.next_reply = in.U16();
  out.raw_text = std::string(in.Rest());
  return out;
}

std::string EncodePacketHeader(const PacketHeader& h) {
  std::string out;
  PutU16(out, h.orig_node);
  PutU16(out, h.dest_node);
  PutU16(out, h.year);
  PutU16(out, h.month);
  PutU16(out, h.day);
  PutU16(out, h.hour);
  PutU16(out, h.minute);
  PutU16(out, h.second);
  PutU16(out, h.baud);
  PutU16(out, kPacketType);
  PutU16(out, h.orig_net);
  PutU16(out, h.dest_net);
  out.push_back(static_cast<char>(h.product_code));
  out.push_back(static_cast<char>(h.serial));
  PutFixed(out, h.password, kPasswordField);
  PutU16(out, h.orig_zone);
  PutU16(out, h.dest_zone);
  PutU16(out, 0);  // auxiliary net
  PutU16(out, kCapabilityValidation);
  out.push_back('\0');  // product code, high byte
  out.push_back('\0');  // revision, minor
  PutU16(out, kCapabilityType2Plus);
  PutU16(out, h.orig_zone);
  PutU16(out, h.dest_zone);
  PutU16(out, h.orig_point);
  PutU16(out, h.dest_point);
  out.append(4, '\0');  // product-specific data
  return out;
}

std::string EncodePackedMessage(const PackedMessage& m) {
  std::string out;
  PutU16(out, kPacketType);
  PutU16(out, m.orig_node);
  PutU16(out, m.dest_node);
  PutU16(out, m.orig_net);
  PutU16(out, m.dest_net);
  PutU16(out, m.attribute);
  PutU16(out, m.cost);
  PutFixed(out, m.date_time, kDateField);
  PutZeroEnded(out, m.to_name);
  PutZeroEnded(out, m.from_name);
  PutZeroEnded(out, m.subject);
  PutZeroEnded(out, EncodeMessageText(m.text));
  return out;
}

std::string EncodePacket(const PacketHeader& header, const std::vector<PackedMessage>& messages) {
  std::string out = EncodePacketHeader(header);
  for (const PackedMessage& message : messages) out.append(EncodePackedMessage(message));
  PutU16(out, 0);
  return out;
}

std::optional<DecodedPacket> DecodePacket(std::string_view bytes) {
  Cursor in(bytes);
  if (!in.Has(kPacketHeaderSize)) return std::nullopt;
  DecodedPacket out;
  PacketHeader& h = out.header;
  h.orig_node = in.U16();
  h.dest_node = in.U16();
  h.year = in.U16();
  h.month = in.U16();
  h.day = in.U16();
  h.hour = in.U16();
  h.minute = in.U16();
  h.second = in.U16();
  h.baud = in.U16();
  (void)in.U16();  // packet type
  h.orig_net = in.U16();
  h.dest_net = in.U16();
  h.product_code = in.U8();
  h.serial = in.U8();
  h.password = in.Fixed(kPasswordField);
  (void)in.U16();  // zones of the plain type 2 header
  (void)in.U16();
  (void)in.Fixed(8);  // auxiliary net, capability copy, product, revision, capability
  h.orig_zone = in.U16();
  h.dest_zone = in.U16();
  h.orig_point = in.U16();
  h.dest_point = in.U16();
  (void)in.Fixed(4);
  while (true) {
    if (!in.Has(2)) return std::nullopt;
    const std::uint16_t type = in.U16();
    if (type == 0) break;
    if (!in.Has(kPackedHeaderSize - 2)) return std::nullopt;
    PackedMessage m;
    m.orig_node = in.U16();
    m.dest_node = in.U16();
    m.orig_net = in.U16();
    m.dest_net = in.U16();
    m.attribute = in.U16();
    m.cost = in.U16();
    m.date_time = in.Fixed(kDateField);
    auto to = in.ZeroEnded();
    auto from = to ? in.ZeroEnded() : std::nullopt;
    auto subject = from ? in.ZeroEnded() : std::nullopt;
    auto text = subject ? in.ZeroEnded() : std::nullopt;
    if (!text) return std::nullopt;
    m.to_name = *to;
    m.from_name = *from;
    m.subject = *subject;
    out.messages.push_back(std::move(m));
    out.raw_texts.push_back(std::move(*text));
  }
  return out;
}

std::string TextLines(const std::vector<std::string>& lines, std::string_view line_end) {
  std::string out;
  for (const std::string& line : lines) {
    out.append(line);
    out.append(line_end);
  }
  return out;
}

}  // namespace kestrel::testing
