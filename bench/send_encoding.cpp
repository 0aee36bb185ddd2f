// SPDX-License-Identifier: GPL-2.0-or-later
// Figures for the send side's data path without the network: BASE64 encoding
// of a large attachment through the line sink, and the conversion of a large
// packet to text lines. Prints MB/s; memory stays flat for the attachment.

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "platform/files.h"
#include "send/base64_file_reader.h"
#include "send/line_sink.h"
#include "send/text_conversion.h"
#include "support/fido_files.h"
#include "support/temp_dir.h"

namespace {

using namespace kestrel;

// Like the dialogue: each line made transparent, queued with CR LF.
class CountingSink : public send::LineSink {
 public:
  void SendLine(std::string_view line) override {
    const std::string stuffed = send::DotStuffed(line);
    bytes += stuffed.size() + 2;
  }
  void SendEndOfData() override {}
  [[nodiscard]] bool Aborted() const override { return false; }
  void Log(std::string_view) override {}
  std::uint64_t bytes = 0;
};

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

long MaxRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main() {
  constexpr std::size_t kAttachmentBytes = 64u * 1024 * 1024;
  testing::TempDir dir;
  // Written in pieces, so that the process's peak memory says what encoding needs.
  const std::string path = dir.File("attachment.bin");
  {
    platform::UniqueFile out = platform::OpenFile(path, "wb");
    std::mt19937_64 generator(1);
    std::string piece(1 << 20, '\0');
    for (std::size_t written = 0; written < kAttachmentBytes; written += piece.size()) {
      for (std::size_t i = 0; i + 8 <= piece.size(); i += 8) {
        const std::uint64_t word = generator();
        std::memcpy(piece.data() + i, &word, 8);
      }
      std::fwrite(piece.data(), 1, piece.size(), out.get());
    }
  }
  const long rss_before = MaxRssKiB();

  {
    platform::UniqueFile file = platform::OpenFile(path, "rb");
    send::Base64FileReader reader(file.get());
    send::Base64FileReader::Lines lines;
    CountingSink sink;
    const auto start = std::chrono::steady_clock::now();
    while (reader.Next(lines)) sink.SendLine(lines.text);
    const double seconds = Seconds(start);
    std::printf(
        "base64 attachment: %zu MiB in %.3f s = %.1f MB/s of file data (%.1f MB/s on the wire)\n",
        kAttachmentBytes >> 20, seconds, kAttachmentBytes / seconds / 1e6,
        sink.bytes / seconds / 1e6);
    std::printf("peak RSS %ld KiB (before encoding %ld KiB)\n", MaxRssKiB(), rss_before);
  }

  {
    std::vector<testing::PackedMessage> messages(2000);
    for (auto& message : messages) {
      message.subject = "Subject";
      message.text.kludges = {"MSGID: 2:236/1 12345678"};
      message.text.lines.assign(100, std::string(70, 't'));
    }
    const std::string packet = testing::EncodePacket(testing::PacketHeader{}, messages);
    CountingSink sink;
    const auto start = std::chrono::steady_clock::now();
    const send::PacketText text = send::ConvertPacketText(packet.substr(58));
    send::SendTextLines(sink, text.text);
    const double seconds = Seconds(start);
    std::printf("packet as text: %.1f MB (%d messages) in %.3f s = %.1f MB/s\n",
                packet.size() / 1e6, text.message_count, seconds, packet.size() / seconds / 1e6);
  }
  return 0;
}
