// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// The scan of the BinkleyTerm-style outbound: for every redirected system,
// its packets (*.?UT) and the files its flow files (*.?LO) name.

#include "outbound/scan_context.h"

namespace kestrel::outbound {

// Adds the packets and listed files of every redirect entry, in table order.
// Does nothing when OUTBOUND is empty. Only reads the outbound.
// Throws config::ConversionError for a redirect address that has no outbound
// path; the entries added before it stay in the list.
void ScanOutbound(ScanContext& context);

}  // namespace kestrel::outbound
