// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Shared set-up of the outbound tests: a scratch directory, a recording front
// end behind a real logger, a configuration with a redirect table, a list.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "config/address.h"
#include "config/configuration.h"
#include "core/log.h"
#include "mime/ascii_text.h"
#include "outbound/send_list.h"
#include "support/fido_files.h"
#include "support/program_home_at.h"
#include "support/recording_front_end.h"
#include "support/temp_dir.h"

namespace kestrel::outbound {

using testing::ProgramHomeAt;

class ScanFixture : public ::testing::Test {
 protected:
  ScanFixture() { configuration.OURZONE = 2; }

  // Adds a redirect the way the configuration reader does: address completed.
  void Redirect(const std::string& address, const std::string& email = "joe@example.net",
                const std::string& name = "Joe Sysop", bool send_as_text = false) {
    config::RedirectEntry entry;
    entry.Address = config::CompleteAddress(address, configuration.OURZONE);
    entry.EmailAddress = email;
    entry.Name = name;
    entry.SendAsText = send_as_text;
    ASSERT_TRUE(configuration.Redirects.Add(entry));
  }

  // The name as the configuration reader leaves a directory: upper case.
  [[nodiscard]] std::string Upper(const std::string& relative) const {
    return mime::UpperCase(dir.File(relative));
  }

  [[nodiscard]] std::vector<std::string> Lines() const {
    return front_end.Lines(core::Side::Sending);
  }

  // Every file under the scratch directory with its content, to prove that
  // a scan changed nothing.
  [[nodiscard]] std::map<std::string, std::string> Snapshot() const {
    std::map<std::string, std::string> files;
    for (const auto& item : std::filesystem::recursive_directory_iterator(dir.path())) {
      // The send log keeps the scan's warnings; it is no file of the mailer.
      if (item.is_regular_file() && item.path().filename() != "SEND.LOG")
        files[item.path().string()] = dir.Read(item.path().lexically_relative(dir.path()));
    }
    return files;
  }

  testing::TempDir dir;
  testing::RecordingFrontEnd front_end;
  core::Logger logger{front_end, dir.path()};
  config::Configuration configuration;
  SendList list;
};

}  // namespace kestrel::outbound
