// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/front_end.h"

namespace kestrel::core {

namespace {

constexpr const char* kFieldNames[kFieldCount] = {
    "GetCurrentMsg",    "GetTotalMessages", "GetTotalBytes",   "GetTimeout",
    "GetFilename",      "GetByteProgress",  "GetCPS",          "FilesSent",
    "TotalFiles",       "TotalPercent",     "TotalProgress",   "TotalFileSize",
    "TotalSecondsLeft", "TotalCPS",         "Timeout",         "CurrentFilename",
    "CurrentPercent",   "CurrentProgress",  "CurrentFileSize", "SecondsLeftofFile",
    "CurrentCPS",
};

}  // namespace

Side SideOfField(Field field) {
  return static_cast<int>(field) <= static_cast<int>(Field::GetCPS) ? Side::Receiving
                                                                    : Side::Sending;
}

const char* FieldName(Field field) {
  return kFieldNames[static_cast<int>(field)];
}

Field CountdownField(Side side) {
  return side == Side::Sending ? Field::Timeout : Field::GetTimeout;
}

void CleanText(FrontEnd& front_end, Side side) {
  for (int i = 0; i < kFieldCount; ++i) {
    const auto field = static_cast<Field>(i);
    if (SideOfField(field) == side && field != CountdownField(side)) front_end.SetField(field, "");
  }
}

}  // namespace kestrel::core
