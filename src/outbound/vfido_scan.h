// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The scan of the VFIDO mailer's directory: files named by the list (*.LST)
// of a file-attach packet, then netmail packets (*.PKT) without file attach,
// for redirected systems.

#include "outbound/scan_context.h"

namespace kestrel::outbound {

// First pass: for each list whose packet (same name, .PKT, not empty) goes to
// a redirected system, a ListedFile entry per named file. Second pass: an
// OutboundPacket entry per packet whose first message is no file attach.
// Does nothing when VFIDO is empty. Only reads.
void ScanVfido(ScanContext& context);

}  // namespace kestrel::outbound
