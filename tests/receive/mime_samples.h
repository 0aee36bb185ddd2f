// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Received messages for the receive tests, laid out line by line the way the
// sending side composes them, with a reference BASE64 encoder of their own.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/random_bytes.h"

namespace kestrel::testing {

inline std::string EncodeBase64(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t group = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      group = (group << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    }
    for (std::size_t k = 0; k < 4; ++k) {
      out.push_back(k <= n ? kAlphabet[(group >> (18 - 6 * k)) & 63] : '=');
    }
  }
  return out;
}

// 76-character lines, one per 57-byte block.
inline std::vector<std::string> Base64Lines(std::string_view bytes) {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < bytes.size(); i += 57)
    lines.push_back(EncodeBase64(bytes.substr(i, 57)));
  return lines;
}

struct SampleMessage {
  std::string boundary = "Message-Boundary-4711";
  std::string name = "FILE.ZIP";
  std::string content;
  std::vector<std::string> text = {"Greetings from 2:280/5555"};
};

// The message lines as the sending side writes them, without the "." line.
inline std::vector<std::string> SenderMessageLines(const SampleMessage& m) {
  std::vector<std::string> lines = {
      "From: \"Sysop\" <sysop@example.org>",
      "To: \"Point\" <point@example.org>",
      "X-Mailer: Kestrel",
      "MIME-Version: 1.0",
      "Content-type: Multipart/Mixed; boundary=" + m.boundary,
      "Subject: Files for 2:280/5555",
      "",
      "",
      "--" + m.boundary,
      "Content-type: text/plain; charset=US-ASCII",
      "Content-transfer-encoding: 7BIT",
      "Content-description: Mail message body",
      "",
  };
  lines.insert(lines.end(), m.text.begin(), m.text.end());
  lines.push_back("--" + m.boundary);
  lines.push_back("Content-type: application/octet-stream; name=" + m.name);
  lines.push_back("Content-transfer-encoding: BASE64");
  lines.push_back("");
  for (auto& line : Base64Lines(m.content)) lines.push_back(line);
  lines.push_back("");
  lines.push_back("--" + m.boundary + "--");
  lines.push_back("");
  lines.push_back("");
  return lines;
}

inline std::string JoinCrLf(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\r\n";
  return text;
}

}  // namespace kestrel::testing
