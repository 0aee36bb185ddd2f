// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive/intake/header_filter.h"

#include <gtest/gtest.h>

namespace kestrel::receive {
namespace {

std::vector<std::string> Head(const std::vector<std::string>& lines) {
  HeaderLines head;
  for (const auto& line : lines) head.Add(line);
  return head.lines();
}

TEST(AcceptMessage, FiltersSearchTheirOwnHeaderLines) {
  config::FilterLists from_bob;
  from_bob.From = {"BOB"};
  config::FilterLists to_point;
  to_point.To = {"POINT@"};
  config::FilterLists mailer;
  mailer.XMailer = {"KESTREL"};
  config::FilterLists subject;
  subject.Subject = {"FILES FOR"};
  config::FilterLists all;
  all.AcceptAll = true;
  config::FilterLists empty_entry;
  empty_entry.From = {""};
  const config::FilterLists none;

  const struct {
    const config::FilterLists& filters;
    std::vector<std::string> head;
    bool accepted;
  } cases[] = {
      {from_bob, {"From: Bob Smith <bob@example.org>"}, true},
      {from_bob, {"Reply-To: bob@example.org"}, false},
      {from_bob, {"Subject: from bob"}, false},
      {to_point, {"To-do: point@example.org"}, false},
      {to_point, {"To: Sysop <sysop@example.org>,", "\tPoint <point@example.org>"}, true},
      {mailer, {"X-Mailer: Kestrel 2.0"}, true},
      {subject, {"Subject: Files for 2:280/5555"}, true},
      {subject, {"Subject: Something else"}, false},
      {all, {}, true},
      {none, {"From: Bob"}, false},
      {empty_entry, {"From: Bob"}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AcceptMessage(c.filters, Head(c.head)), c.accepted) << c.head.front();
  }
}

// A large provider's head: the From: line comes after dozens of trace and
// signature lines, some of them folded.
TEST(HeaderLines, EveryLineIsSeenAndTheMessageIdKept) {
  HeaderLines head;
  for (int i = 1; i <= 40; ++i) {
    head.Add("Received: from relay" + std::to_string(i) + " " + std::string(200, 'v'));
    head.Add("\tby mx.example.net; Mon, 1 Jan 2024");
  }
  head.Add("DKIM-Signature: v=1; a=rsa-sha256;");
  head.Add(" b=" + std::string(240, 'k'));
  head.Add("Message-ID:");
  head.Add(" <Part.1@Example.ORG> ");
  head.Add("From: Bob Smith");
  head.Add(" <bob@example.org>");
  ASSERT_EQ(head.lines().size(), 43u);
  EXPECT_EQ(head.lines().back(), "FROM: BOB SMITH <BOB@EXAMPLE.ORG>");
  EXPECT_EQ(head.message_id(), "<Part.1@Example.ORG>");
  config::FilterLists from_bob;
  from_bob.From = {"BOB@EXAMPLE.ORG"};
  EXPECT_TRUE(AcceptMessage(from_bob, head.lines()));
  head.Clear();
  EXPECT_EQ(head.message_id(), "");
  EXPECT_FALSE(AcceptMessage(from_bob, head.lines()));
}

}  // namespace
}  // namespace kestrel::receive
