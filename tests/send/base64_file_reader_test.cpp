// SPDX-License-Identifier: GPL-2.0-or-later
#include "send/base64_file_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/files.h"
#include "support/random_bytes.h"
#include "support/temp_dir.h"

namespace kestrel::send {
namespace {

using testing::RandomBytes;

// The system's base64 program as the reference, wrapped at 76 characters.
std::string ReferenceBase64(const std::string& path) {
  std::string command = "base64 -w 76 '" + path + "'";
  std::FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
  EXPECT_EQ(pclose(pipe), 0);
  return out;
}

// Reads a file through Base64FileReader; its lines, without their CR LF.
std::vector<std::string> EncodeFile(const std::string& path, std::uint64_t* bytes = nullptr) {
  platform::UniqueFile file = platform::OpenFile(path, "rb");
  EXPECT_TRUE(file);
  Base64FileReader reader(file.get());
  std::vector<std::string> lines;
  Base64FileReader::Lines block;
  std::uint64_t data = 0;
  while (reader.Next(block)) {
    std::string_view text = block.text;
    EXPECT_TRUE(text.ends_with("\r\n"));
    for (std::size_t end; (end = text.find("\r\n")) != std::string_view::npos;) {
      lines.emplace_back(text.substr(0, end));
      text.remove_prefix(end + 2);
    }
    data += block.data_bytes;
  }
  EXPECT_FALSE(reader.failed());
  EXPECT_EQ(data, reader.bytes_read());
  if (bytes) *bytes = data;
  return lines;
}

TEST(Base64FileReader, MatchesReferenceForAwkwardSizes) {
  testing::TempDir dir;
  // Around one block, and around the reader's internal chunk of 1150 blocks.
  const std::size_t sizes[] = {0,
                               1,
                               56,
                               57,
                               58,
                               113,
                               114,
                               115,
                               57 * 1150,
                               57 * 1150 + 1,
                               57 * 1150 - 1,
                               3 * 1024 * 1024 + 5};
  for (const std::size_t size : sizes) {
    const std::string path = dir.Write("f" + std::to_string(size), RandomBytes(size, size));
    std::uint64_t bytes = 0;
    const std::vector<std::string> lines = EncodeFile(path, &bytes);
    EXPECT_EQ(bytes, size);
    std::string joined;
    for (const std::string& l : lines) {
      EXPECT_LE(l.size(), mime::kBase64LineChars);
      if (!l.empty()) joined += l + "\n";
    }
    EXPECT_EQ(joined, ReferenceBase64(path)) << size;
    // The last line comes from a short block: empty exactly for 57 x n bytes.
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().empty(), size % mime::kBase64BlockBytes == 0) << size;
    EXPECT_EQ(lines.size(), size / mime::kBase64BlockBytes + 1) << size;
  }
}

TEST(Base64FileReader, ReadErrorIsReportedNotTakenForTheEnd) {
  testing::TempDir dir;
  // Reading a directory fails with EISDIR: the attachment must not look complete.
  platform::UniqueFile file = platform::OpenFile(dir.path(), "rb");
  ASSERT_TRUE(file);
  Base64FileReader reader(file.get());
  Base64FileReader::Lines lines;
  EXPECT_FALSE(reader.Next(lines));
  EXPECT_TRUE(reader.failed());
}

}  // namespace
}  // namespace kestrel::send
