// SPDX-License-Identifier: GPL-2.0-or-later
// The fault proxy puts its faults exactly where it is told: the fault tests
// are only as good as that. Checked against the real SMTP server's greeting
// and a reply that an armed point holds back.

#include "support/fault_proxy.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>

#include "support/mail_servers.h"

namespace kestrel::testing {
namespace {

using namespace std::chrono_literals;

// A client of the proxy: what arrived, and whether the connection ended.
struct Received {
  std::string bytes;
  bool closed = false;
};

int Connect(std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads until the connection ends, `until` has arrived, or nothing comes for `quiet`.
Received ReadFor(int fd, std::chrono::milliseconds quiet, const std::string& until = "") {
  Received received;
  for (;;) {
    if (!until.empty() && received.bytes.find(until) != std::string::npos) return received;
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(quiet.count())) <= 0) return received;
    char buffer[4096];
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) {
      received.closed = true;
      return received;
    }
    received.bytes.append(buffer, static_cast<std::size_t>(got));
  }
}

class FaultProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.running()) << server_.ServerLog();
    ASSERT_TRUE(proxy_.running());
  }
  SmtpServer server_;
  FaultProxy proxy_{server_.port()};
};

TEST_F(FaultProxyTest, CutsAndStallsAtTheExactByte) {
  for (const std::uint64_t offset : {0u, 1u, 4u, 17u}) {
    for (const FaultAction action : {FaultAction::Cut, FaultAction::Reset, FaultAction::Stall}) {
      FaultPoint point;
      point.action = action;
      point.flow = Flow::ToClient;
      point.offset = offset;
      proxy_.Arm(point);
      const int fd = Connect(proxy_.port());
      ASSERT_GE(fd, 0);
      const std::string expected = std::string("220 kestrel-test ").substr(0, offset);
      // What is due arrives (a loaded machine may take a while), then nothing more.
      Received received = ReadFor(fd, expected.empty() ? 1500ms : 5s, expected);
      const Received rest = ReadFor(fd, 300ms);
      received.bytes += rest.bytes;
      received.closed = received.closed || rest.closed;
      EXPECT_EQ(received.bytes, expected) << Describe(point);
      EXPECT_EQ(received.closed, action != FaultAction::Stall) << Describe(point);
      EXPECT_TRUE(proxy_.Fired());
      close(fd);
    }
  }
}

TEST_F(FaultProxyTest, ArmedPointHoldsBackTheReplyToACommand) {
  FaultPoint point;
  point.action = FaultAction::Cut;
  point.flow = Flow::ToClient;
  point.armed_by = "NOOP\r\n";
  point.armed_occurrence = 2;
  proxy_.Arm(point);
  const int fd = Connect(proxy_.port());
  ASSERT_GE(fd, 0);
  EXPECT_NE(ReadFor(fd, 5s, "\r\n").bytes.find("220 "), std::string::npos);
  ASSERT_EQ(send(fd, "NOOP\r\n", 6, MSG_NOSIGNAL), 6);
  EXPECT_EQ(ReadFor(fd, 5s, "\r\n").bytes.rfind("250", 0), 0u);
  EXPECT_FALSE(proxy_.Fired());
  ASSERT_EQ(send(fd, "NOOP\r\n", 6, MSG_NOSIGNAL), 6);
  const Received second = ReadFor(fd, 5s);
  EXPECT_EQ(second.bytes, "");
  EXPECT_TRUE(second.closed);
  EXPECT_TRUE(proxy_.Fired());
  close(fd);

  // The next connection passes clean.
  const int clean = Connect(proxy_.port());
  ASSERT_GE(clean, 0);
  EXPECT_NE(ReadFor(clean, 5s, "\r\n").bytes.find("220 "), std::string::npos);
  ASSERT_EQ(send(clean, "NOOP\r\n", 6, MSG_NOSIGNAL), 6);
  EXPECT_EQ(ReadFor(clean, 5s, "\r\n").bytes.rfind("250", 0), 0u);
  close(clean);
}

TEST_F(FaultProxyTest, NotifyRunsAfterTheTextAndForwardingGoesOn) {
  std::atomic<int> calls{0};
  FaultPoint point;
  point.action = FaultAction::Notify;
  point.flow = Flow::ToClient;
  point.after = "220 ";
  point.offset = 3;
  point.notify = [&calls] { ++calls; };
  proxy_.Arm(point);
  const int fd = Connect(proxy_.port());
  ASSERT_GE(fd, 0);
  const Received received = ReadFor(fd, 5s, "\r\n");
  EXPECT_NE(received.bytes.find("220 kestrel-test"), std::string::npos);
  EXPECT_EQ(calls.load(), 1);
  close(fd);
}

}  // namespace
}  // namespace kestrel::testing
