// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The scan of the netmail directory: local, unsent stored messages (*.MSG)
// to redirected systems give their attached files and the message itself.

#include "outbound/scan_context.h"

namespace kestrel::outbound {

// Adds AttachedFile entries for the files a file-attach message names, and a
// NetmailText or NetmailPacket entry for the message (by the redirect's
// SendAsText). Does nothing when NETMAIL is empty. Only reads the messages;
// unreadable or short messages are passed over.
void ScanNetmail(ScanContext& context);

}  // namespace kestrel::outbound
