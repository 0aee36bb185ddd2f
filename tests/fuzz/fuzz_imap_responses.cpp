// SPDX-License-Identifier: GPL-2.0-or-later
// What an IMAP server answers is untrusted: any bytes through the response
// reader and the FETCH items, as the walk reads a head, and as it reads
// while idling. Whatever the input, the reader stays within its bounds,
// ends only at the tagged line of its own command, and a response is taken
// for a message only when it names that message's UID and no other.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/log.h"
#include "net/net_session.h"
#include "null_front_end.h"
#include "receive/imap/imap_channel.h"
#include "receive/imap/imap_fetch.h"

namespace {

using kestrel::receive::FetchItems;
using kestrel::receive::ImapChannel;
using kestrel::receive::ImapLine;

constexpr std::string_view kTag = "A0001";
constexpr std::uint32_t kAsked = 9;
// Small bounds, so that the fuzzer reaches them.
constexpr kestrel::receive::ImapBounds kBounds{{64 * 1024, 60}, 200};
constexpr std::uint64_t kMaxHead = 4096;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// The walk's reading of a head: FETCH items before and after the literal.
void ReadResponses(ImapChannel& channel) {
  FetchItems items;
  bool in_fetch = false;
  std::uint64_t literal_bytes = 0;
  const kestrel::receive::ImapResult result = channel.Finish(
      std::string(kTag), kBounds, kestrel::net::Echo::Quiet, [&](const ImapLine& line) {
        if (!line.continued) {
          const std::optional<FetchItems> parsed = kestrel::receive::ParseFetch(line.text);
          in_fetch = parsed.has_value();
          items = parsed.value_or(FetchItems{});
        } else if (in_fetch) {
          kestrel::receive::ParseFetchRest(line.text, items);
        }
        if (!in_fetch) return;
        if (items.About(kAsked)) Check(items.uid() == kAsked && items.MayBeAbout(kAsked));
        if (items.uid()) Check(!items.MayBeAbout(*items.uid() + 1));
        if (line.literal && *line.literal <= kMaxHead && items.literal_item == "BODY[HEADER]") {
          const std::optional<std::string> text = channel.ReadLiteral(*line.literal);
          channel.LiteralTaken();
          if (text) {
            Check(text->size() == *line.literal);
            literal_bytes += text->size();
          }
        }
      });
  Check(literal_bytes <= kBounds.read.max_bytes);
  if (result.status != kestrel::receive::ImapStatus::Failed) {
    Check(std::string_view(result.line).substr(0, kTag.size() + 1) == std::string(kTag) + " ");
  }
}

// The reading while idling: one response at a time, literals read past.
void ReadWhileIdling(ImapChannel& channel) {
  for (int responses = 0; responses < 1000 && !channel.session().IsAborted(); ++responses) {
    channel.Begin(kBounds);
    const std::optional<ImapLine> line = channel.ReadLine(kestrel::net::Echo::Quiet);
    if (!line || !channel.SkipRestOf(*line, kestrel::net::Echo::Quiet)) return;
    (void)channel.TakeNews();
    Check(channel.exists() >= 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static kestrel::fuzz::NullFrontEnd front_end;
  static kestrel::core::Logger logger(front_end, "/nonexistent");
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  for (const bool idling : {false, true}) {
    kestrel::net::NetSession session(kestrel::core::Side::Receiving, {"fuzz", 143, "imap", 143, 10},
                                     logger);
    kestrel::net::PutBack(session, input);
    ImapChannel channel(session);
    if (idling) {
      ReadWhileIdling(channel);
    } else {
      ReadResponses(channel);
    }
  }
  return 0;
}
