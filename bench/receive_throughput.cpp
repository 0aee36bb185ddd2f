// SPDX-License-Identifier: GPL-2.0-or-later
// Receiving throughput: one message with a 64 MiB BASE64 attachment fetched
// from dovecot on loopback and decoded into the inbound, against curl fetching
// the same message and munpack decoding it. Prints both rates and the ratio.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "config/configuration.h"
#include "core/log.h"
#include "net/net_session.h"
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
constexpr int kRounds = 3;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double MegabytesPerSecond(double seconds) {
  return static_cast<double>(kAttachmentBytes) / (1024.0 * 1024.0) / seconds;
}

}  // namespace

int main() {
  testing::TempDir dir;
  testing::Pop3Server server;
  if (!server.running()) {
    std::fprintf(stderr, "dovecot did not start:\n%s\n", server.ServerLog().c_str());
    return 1;
  }
  testing::SampleMessage message;
  message.content = testing::RandomBytes(kAttachmentBytes, 64);
  const std::string mail = testing::JoinCrLf(testing::SenderMessageLines(message));

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
  for (int round = 0; round < kRounds; ++round) {
    server.AddMessage(mail);
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

    // Ours: the get job's whole dialogue, which also deletes the message.
    start = Clock::now();
    net::NetSession session(core::Side::Receiving, receive::Pop3Endpoint(configuration), logger);
    net::RunSession(session,
                    [&](net::NetSession& s) { receive::RunPop3Dialogue(s, configuration); });
    our_seconds = std::min(our_seconds, Seconds(start));
    if (session.IsAborted() || dir.Read("IN/FILE.ZIP") != message.content) {
      std::fprintf(stderr, "the get job failed or decoded wrong bytes\n");
      return 1;
    }
    std::filesystem::remove(dir.File("IN/FILE.ZIP"));
  }

  std::printf("receive 64 MiB attachment from dovecot on loopback (fetch + decode, best of %d):\n",
              kRounds);
  std::printf("  kestrel get job:  %8.3f s  %8.1f MB/s\n", our_seconds,
              MegabytesPerSecond(our_seconds));
  std::printf("  curl + munpack:   %8.3f s  %8.1f MB/s\n", reference_seconds,
              MegabytesPerSecond(reference_seconds));
  std::printf("  ratio (kestrel / curl+munpack): %.2f\n", reference_seconds / our_seconds);
  return 0;
}
