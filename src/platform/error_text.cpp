// SPDX-License-Identifier: GPL-2.0-or-later
#include "platform/error_text.h"

#include <cstring>

namespace kestrel::platform {

std::string ErrorText(int error) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not be in the buffer.
  return ::strerror_r(error, buffer, sizeof buffer);
}

}  // namespace kestrel::platform
