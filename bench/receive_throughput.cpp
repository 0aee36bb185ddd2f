// SPDX-License-Identifier: GPL-2.0-or-later
// Receiving throughput: one message with a 64 MiB BASE64 attachment fetched
// from dovecot on loopback and decoded into the inbound, against curl fetching
// the same message and munpack decoding it. Prints both rates, the ratio and
// the get job's peak memory (the message is made and checked in pieces, so
// the bench itself holds little).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "config/configuration.h"
#include "core/log.h"
#include "net/net_session.h"
#include "platform/files.h"
#include "receive/mime_samples.h"
#include "receive/pop3_dialogue.h"
#include "support/mail_servers.h"
#include "support/recording_front_end.h"
#include "support/temp_dir.h"

namespace {

using namespace kestrel;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t kAttachmentBytes = 64 * 1024 * 1024;
// A whole number of 57-byte BASE64 lines, about 1 MiB.
constexpr std::size_t kPieceBytes = 57 * 18396;
constexpr int kRounds = 3;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double MegabytesPerSecond(double seconds) {
  return static_cast<double>(kAttachmentBytes) / (1024.0 * 1024.0) / seconds;
}

// A figure of /proc/self/status ("VmHWM", "VmRSS") in KiB.
long StatusKiB(const std::string& key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
  }
  return -1;
}

// Starts the peak (VmHWM) afresh at the current RSS, so that it then shows
// what the get job needed.
void ResetPeakRss() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

// The attachment, piece by piece, the same on every call.
class Content {
 public:
  bool Next(std::string& piece) {
    const std::size_t size = std::min(kPieceBytes, kAttachmentBytes - made_);
    piece.resize(size);
    for (auto& b : piece) b = static_cast<char>(generator_() & 0xFF);
    made_ += size;
    return size > 0;
  }

 private:
  std::mt19937 generator_{64};
  std::size_t made_ = 0;
};

// The message as the sending side composes it, written to `path`.
bool WriteMessage(const std::string& path) {
  testing::SampleMessage message;
  const auto lines = testing::SenderMessageLines(message);  // no content: no data lines
  const auto data_at =
      std::find(lines.begin(), lines.end(), "Content-transfer-encoding: BASE64") + 2;
  platform::UniqueFile out = platform::OpenFile(path, "wb");
  if (!out) return false;
  std::string text = testing::JoinCrLf({lines.begin(), data_at});
  std::fwrite(text.data(), 1, text.size(), out.get());
  Content content;
  std::string piece;
  while (content.Next(piece)) {
    text = testing::JoinCrLf(testing::Base64Lines(piece));
    std::fwrite(text.data(), 1, text.size(), out.get());
  }
  text = testing::JoinCrLf({data_at, lines.end()});
  return std::fwrite(text.data(), 1, text.size(), out.get()) == text.size() &&
         std::fflush(out.get()) == 0;
}

bool SameAsContent(const std::string& path) {
  platform::UniqueFile in = platform::OpenFile(path, "rb");
  if (!in) return false;
  Content content;
  std::string expected;
  std::string got;
  while (content.Next(expected)) {
    got.resize(expected.size());
    if (std::fread(got.data(), 1, got.size(), in.get()) != got.size() || got != expected)
      return false;
  }
  return std::fgetc(in.get()) == EOF;
}

}  // namespace

int main() {
  testing::TempDir dir;
  testing::Pop3Server server;
  if (!server.running()) {
    std::fprintf(stderr, "dovecot did not start:\n%s\n", server.ServerLog().c_str());
    return 1;
  }
  const std::string mail = dir.File("message.txt");
  if (!WriteMessage(mail)) {
    std::fprintf(stderr, "could not write %s\n", mail.c_str());
    return 1;
  }

  testing::RecordingFrontEnd front_end;
  core::Logger logger(front_end, dir.path());
  config::Configuration configuration;
  configuration.POPSERVER = "127.0.0.1";
  configuration.POPPORT = server.port();
  configuration.POPUSERNAME = server.user();
  configuration.POPPASSWORD = server.password();
  configuration.INBOUND = dir.MakeDir("IN") + "/";
  configuration.SAVEEMAIL = dir.MakeDir("SAVE") + "/";
  configuration.Filters.AcceptAll = true;
  const std::string url = "pop3://" + server.user() + ":" + server.password() +
                          "@127.0.0.1:" + std::to_string(server.port()) + "/1";

  // Best of a few rounds: the machine is shared, and a round that met other
  // work says little about either side.
  double reference_seconds = 1e9;
  double our_seconds = 1e9;
  long rss_before = 0;
  long peak_rss = 0;
  for (int round = 0; round < kRounds; ++round) {
    server.AddMessageFile(mail);
    // The reference pipeline: curl fetches message 1, munpack decodes it.
    const std::string eml = dir.File("message.eml");
    const std::string unpacked = dir.MakeDir("munpack" + std::to_string(round));
    auto start = Clock::now();
    const auto fetched = testing::RunCommand({"/usr/bin/curl", "-s", "-o", eml, url}, 300s);
    const auto decoded = testing::RunCommand(
        {"/bin/sh", "-c", "cd '" + unpacked + "' && /usr/bin/munpack -q '" + eml + "'"}, 300s);
    reference_seconds = std::min(reference_seconds, Seconds(start));
    if (fetched.exit_code != 0 || decoded.exit_code != 0 ||
        std::filesystem::file_size(unpacked + "/FILE.ZIP") != kAttachmentBytes) {
      std::fprintf(stderr, "curl + munpack failed (%d, %d)\n", fetched.exit_code,
                   decoded.exit_code);
      return 1;
    }
    std::filesystem::remove_all(unpacked);
    std::filesystem::remove(eml);

    // Ours: the get job's whole dialogue, which also deletes the message.
    rss_before = StatusKiB("VmRSS");
    ResetPeakRss();
    start = Clock::now();
    net::NetSession session(core::Side::Receiving, receive::Pop3Endpoint(configuration), logger);
    net::RunSession(session,
                    [&](net::NetSession& s) { receive::RunPop3Dialogue(s, configuration); });
    our_seconds = std::min(our_seconds, Seconds(start));
    peak_rss = std::max(peak_rss, StatusKiB("VmHWM"));
    if (session.IsAborted() || !SameAsContent(dir.File("IN/FILE.ZIP"))) {
      std::fprintf(stderr, "the get job failed or decoded wrong bytes\n");
      return 1;
    }
    std::filesystem::remove(dir.File("IN/FILE.ZIP"));
    std::filesystem::remove_all(dir.File("SAVE"));
    (void)dir.MakeDir("SAVE");
  }

  std::printf("receive 64 MiB attachment from dovecot on loopback (fetch + decode, best of %d):\n",
              kRounds);
  std::printf("  kestrel get job:  %8.3f s  %8.1f MB/s\n", our_seconds,
              MegabytesPerSecond(our_seconds));
  std::printf("  curl + munpack:   %8.3f s  %8.1f MB/s\n", reference_seconds,
              MegabytesPerSecond(reference_seconds));
  std::printf("  ratio (kestrel / curl+munpack): %.2f\n", reference_seconds / our_seconds);
  std::printf("  get job peak RSS: %ld KiB (the process held %ld KiB before it)\n", peak_rss,
              rss_before);
  return 0;
}
