// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The tokens of one account, kept in the program's home: one file per
// account ("oauth-imap-gate@example.org.token"), for its owner alone (0600),
// always replaced whole. A file that others may read is refused, as ssh
// refuses such a key: its tokens may already have been seen.

#include <cstdint>
#include <string>

#include "oauth/account.h"

namespace kestrel::oauth {

struct StoredTokens {
  std::string refresh_token;
  std::string access_token;     // empty: none cached
  std::int64_t expires_at = 0;  // the access token's end, in seconds since 1970
};

// The file's full name; characters of the user name that have no place in
// a file name become "_".
[[nodiscard]] std::string TokenFileName(Account account, const std::string& user);

enum class TokenFileState { Loaded, Missing, OpenToOthers, Unreadable };

struct LoadedTokens {
  TokenFileState state = TokenFileState::Missing;
  StoredTokens tokens;
};

[[nodiscard]] LoadedTokens LoadTokens(const std::string& file_name);

// Replaces the file with `tokens` (temporary file, fsync, rename), mode 0600;
// false when it could not be written (the old file then stays as it was).
[[nodiscard]] bool SaveTokens(const std::string& file_name, const StoredTokens& tokens);

// The line that says why a token file cannot be used, naming the command
// that makes a new one.
[[nodiscard]] std::string TokenFileProblem(TokenFileState state, const std::string& file_name,
                                           Account account);

}  // namespace kestrel::oauth
