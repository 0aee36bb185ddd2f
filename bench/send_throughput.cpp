// SPDX-License-Identifier: GPL-2.0-or-later
// Send job figures on loopback:
//  1. throughput: one message with a 64 MiB random attachment to smtp-sink,
//     against curl uploading the same message pre-encoded;
//  2. waiting cost: CPU seconds of the send job while the server stays silent
//     for 10 seconds.
// Usage: bench_send_throughput [MiB]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/base64.h"
#include "core/log.h"
#include "core/text_utils.h"
#include "net/net_session.h"
#include "send/smtp_dialogue.h"
#include "support/mail_servers.h"
#include "support/recording_front_end.h"
#include "support/temp_dir.h"

namespace {

using namespace kestrel;
using Clock = std::chrono::steady_clock;

constexpr const char* kSmtpSink = "/usr/sbin/smtp-sink";
constexpr const char* kCurl = "/usr/bin/curl";
constexpr const char* kSocat = "/usr/bin/socat";
constexpr int kDefaultMiB = 64;
constexpr int kSilentSeconds = 10;
// Rounds of each upload; best and median are printed.
constexpr int kRounds = 3;

// Notes when the attachment starts and when the server confirmed it.
class TimingFrontEnd : public testing::RecordingFrontEnd {
 public:
  void AppendPaneLine(core::Side side, std::string_view line) override {
    if (line.rfind("-- Sending ", 0) == 0) started = Clock::now();
    if (line == "-- Message sent!") confirmed = Clock::now();
    testing::RecordingFrontEnd::AppendPaneLine(side, line);
  }
  Clock::time_point started;
  Clock::time_point confirmed;
};

std::string WriteRandomFile(const std::string& path, std::size_t size) {
  std::mt19937_64 generator(42);
  std::ofstream out(path, std::ios::binary);
  std::string block(1 << 20, '\0');
  for (std::size_t done = 0; done < size; done += block.size()) {
    for (std::size_t i = 0; i < block.size(); i += 8) {
      const std::uint64_t value = generator();
      std::memcpy(block.data() + i, &value, 8);
    }
    out.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), size - done)));
  }
  return path;
}

// The message as the send job writes it, with CR LF line ends, for curl.
void WriteEncodedMessage(const std::string& file, const std::string& message) {
  std::ifstream in(file, std::ios::binary);
  std::ofstream out(message, std::ios::binary);
  out << "Mime-Version: 1.0\r\nContent-type: Multipart/Mixed; boundary=Message-Boundary-1\r\n"
         "To: Node <node@example.org>\r\nFrom: Gate <gate@example.org>\r\nSubject: bench\r\n\r\n"
         "\r\n--Message-Boundary-1\r\nContent-type: text/plain; charset=US-ASCII\r\n"
         "Content-transfer-encoding: 7BIT\r\n\r\n--Message-Boundary-1\r\n"
         "Content-type: application/octet-stream; name=BENCH.BIN\r\n"
         "Content-transfer-encoding: BASE64\r\n\r\n";
  std::uint8_t block[core::kBase64BlockBytes];
  char line[core::kBase64LineChars];
  for (;;) {
    in.read(reinterpret_cast<char*>(block), sizeof block);
    const auto count = static_cast<std::size_t>(in.gcount());
    const std::size_t length = core::EncodeBase64Block(block, count, line);
    out.write(line, static_cast<std::streamsize>(length));
    out << "\r\n";
    if (count < sizeof block) break;
  }
  out << "\r\n--Message-Boundary-1--\r\n\r\n\r\n";
}

double CpuSecondsOfThisThread() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

config::Configuration BenchConfiguration(std::uint16_t port) {
  config::Configuration configuration;
  configuration.HOST = "127.0.0.1";
  configuration.SMTPPORT = port;
  configuration.FROM = "Gate";
  configuration.FROMEMAIL = "gate@example.org";
  configuration.SUBJECT = "bench $FILENAME$";
  configuration.BusyFiles = false;
  config::RedirectEntry redirect;
  redirect.Address = "2:236/100.0";
  redirect.EmailAddress = "node@example.org";
  redirect.Name = "Node";
  configuration.Redirects.Add(redirect);
  return configuration;
}

// A TLS terminator (socat) in front of the sink, so that both clients pay for
// the same encryption; empty when it could not be started.
std::optional<std::uint16_t> StartTlsFront(testing::ChildProcess& front,
                                           const testing::TempDir& dir, std::uint16_t sink_port,
                                           const testing::TlsFiles& tls) {
  const std::uint16_t port = testing::FreeLoopbackPort();
  if (!front.Start({kSocat,
                    "OPENSSL-LISTEN:" + std::to_string(port) +
                        ",bind=127.0.0.1,reuseaddr,fork,verify=0,cert=" + tls.certificate +
                        ",key=" + tls.key,
                    "TCP:127.0.0.1:" + std::to_string(sink_port)},
                   false, dir.File("socat.log"))) {
    return std::nullopt;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool up = connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(probe);
    if (up) return port;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return std::nullopt;
}

void Throughput(const testing::TempDir& dir, std::size_t bytes, bool tls) {
  const std::uint16_t sink_port = testing::FreeLoopbackPort();
  testing::ChildProcess sink;
  const char* user = geteuid() == 0 ? "nobody" : nullptr;
  std::vector<std::string> argv = {kSmtpSink};
  if (user) argv.insert(argv.end(), {"-u", user});
  argv.insert(argv.end(), {"127.0.0.1:" + std::to_string(sink_port), "256"});
  if (!sink.Start(argv, false, dir.File("sink.log")) ||
      !testing::ReadGreeting(sink_port, "220", std::chrono::seconds(10))) {
    std::printf("smtp-sink did not start\n");
    return;
  }
  std::uint16_t port = sink_port;
  testing::ChildProcess front;
  std::optional<testing::TlsFiles> certificate;
  if (tls) {
    certificate = testing::MakeSelfSignedCertificate(dir.path());
    const auto front_port =
        certificate ? StartTlsFront(front, dir, sink_port, *certificate) : std::nullopt;
    if (!front_port) {
      std::printf("TLS front (socat) did not start\n");
      return;
    }
    port = *front_port;
  }
  const std::string file = WriteRandomFile(dir.File("bench.bin"), bytes);
  const double mib = static_cast<double>(bytes) / (1024.0 * 1024.0);
  const std::string message = dir.File("bench.eml");
  WriteEncodedMessage(file, message);

  // Alternate rounds, so that neither side gains from going first.
  std::vector<double> ours;
  std::vector<double> theirs;
  double cpu = 0;
  for (int round = 0; round < kRounds; ++round) {
    TimingFrontEnd front_end;
    core::Logger logger(front_end, dir.path());
    config::Configuration configuration = BenchConfiguration(port);
    if (tls) {
      configuration.SMTPTLS = config::TlsMode::Implicit;
      configuration.CAFILE = certificate->certificate;
    }
    outbound::SendList list;
    outbound::SendEntry entry;
    entry.Kind = outbound::SendKind::AttachedFile;
    entry.Path = core::UpperCase(file);
    entry.RedirectIndex = 1;
    list.Add(entry);
    list.TotalBytes = static_cast<std::int32_t>(bytes);
    const double cpu_before = CpuSecondsOfThisThread();
    net::NetSession session(core::Side::Sending, send::SmtpEndpoint(configuration), logger);
    net::RunSession(session,
                    [&](net::NetSession& s) { send::SmtpDialogue(s, list, configuration); });
    cpu = CpuSecondsOfThisThread() - cpu_before;
    if (session.IsAborted() || front_end.confirmed == Clock::time_point{}) {
      std::printf("send job failed\n");
      return;
    }
    ours.push_back(Seconds(front_end.confirmed - front_end.started));

    const auto curl_start = Clock::now();
    std::vector<std::string> curl = {
        kCurl,
        "-sS",
        (tls ? "smtps://127.0.0.1:" : "smtp://127.0.0.1:") + std::to_string(port),
        "--mail-from",
        "gate@example.org",
        "--mail-rcpt",
        "node@example.org",
        "--upload-file",
        message};
    if (tls) curl.insert(curl.end(), {"--cacert", certificate->certificate});
    const auto result = testing::RunCommand(curl, std::chrono::seconds(600), true);
    if (result.exit_code != 0) {
      std::printf("curl failed: %s\n", result.output.c_str());
      return;
    }
    theirs.push_back(Seconds(Clock::now() - curl_start));
  }
  std::sort(ours.begin(), ours.end());
  std::sort(theirs.begin(), theirs.end());
  const auto report = [&](const char* who, const std::vector<double>& times, const char* note) {
    std::printf("  %-9s: best %6.3f s %7.1f MiB/s, median %6.3f s %7.1f MiB/s  %s\n", who,
                times.front(), mib / times.front(), times[times.size() / 2],
                mib / times[times.size() / 2], note);
  };
  std::printf("Throughput%s, %.0f MiB attachment to smtp-sink on loopback, %d rounds:\n",
              tls ? " over TLS (socat in front)" : "", mib, kRounds);
  report("send job", ours, "");
  report("curl", theirs, "(pre-encoded message)");
  std::printf("  send job CPU per message: %.3f s\n", cpu);
  std::printf("  ratio send job / curl (MiB/s): best %.2f, median %.2f\n",
              theirs.front() / ours.front(), theirs[theirs.size() / 2] / ours[ours.size() / 2]);
}

void WaitingCost(const testing::TempDir& dir) {
  // A server that accepts and then says nothing.
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::printf("no listener\n");
    return;
  }
  testing::RecordingFrontEnd front_end;
  core::Logger logger(front_end, dir.path());
  config::Configuration configuration = BenchConfiguration(ntohs(address.sin_port));
  configuration.NETTIMEOUT = kSilentSeconds;
  outbound::SendList list;
  const double cpu_before = CpuSecondsOfThisThread();
  const auto start = Clock::now();
  net::NetSession session(core::Side::Sending, send::SmtpEndpoint(configuration), logger);
  net::RunSession(session, [&](net::NetSession& s) { send::SmtpDialogue(s, list, configuration); });
  const double wall = Seconds(Clock::now() - start);
  const double cpu = CpuSecondsOfThisThread() - cpu_before;
  close(listener);
  std::printf("Waiting cost, silent server, NETTIMEOUT %d:\n", kSilentSeconds);
  std::printf("  waited %.2f s, CPU %.4f s, aborted: %s\n", wall, cpu,
              session.IsAborted() ? "yes" : "no");
}

}  // namespace

int main(int argc, char** argv) {
  const int mib = argc > 1 ? std::atoi(argv[1]) : kDefaultMiB;
#ifndef __OPTIMIZE__
  std::printf("(unoptimized build: configure with -DCMAKE_BUILD_TYPE=Release for figures)\n");
#endif
  testing::TempDir dir;
  Throughput(dir, static_cast<std::size_t>(mib) * 1024 * 1024, false);
  Throughput(dir, static_cast<std::size_t>(mib) * 1024 * 1024, true);
  WaitingCost(dir);
  return 0;
}
