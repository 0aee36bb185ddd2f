// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Where every component of the main window sits and what it says: the command
// column, the two progress strips and the two activity panes. Pure data, shared
// by the window and its tests.

#include <array>

#include "core/front_end.h"
#include "core/side.h"

namespace kestrel::gui {

struct Box {
  int left, top, width, height;
};

// The outer window at its built-in place and size, frame included.
inline constexpr Box kBuiltInWindow{276, 126, 624, 459};
// The frame the layout was drawn for: the client area of the built-in window is
// 616 x 420. Used to turn outer sizes into client sizes and back, so that the
// position file means the same wherever the real frame differs (or is absent).
inline constexpr int kFrameWidth = 8;
inline constexpr int kFrameHeight = 39;
inline constexpr int kMinClientWidth = kBuiltInWindow.width - kFrameWidth;     // 616
inline constexpr int kMinClientHeight = kBuiltInWindow.height - kFrameHeight;  // 420

inline constexpr int kButtonPanelWidth = 63;
inline constexpr int kButtonLeft = 4;
inline constexpr int kButtonWidth = 55;
inline constexpr int kStripHeight = 51;
inline constexpr int kStripLeft = kButtonPanelWidth;

enum class ButtonCommand {
  Run,
  Get,
  StopGet,
  Send,
  StopSend,
  Check,
  Connect,
  Hangup,
  Setup,
  Header,
  Filters,
  LogFiles,
  Exit,
  Login,   // no button of its own: the Setup button's context menu
  Status,  // no button of its own: the Check button's context menu
};

struct ButtonSpec {
  ButtonCommand command;
  const char* name;
  int top, height;
  const char* caption;
  const char* hint;
  bool small_font;  // the editor buttons
};

// In tab order.
inline constexpr std::array<ButtonSpec, 13> kButtons{{
    {ButtonCommand::Run, "RunButton", 7, 24, "&Run", "Dial/Get/Send Now", false},
    {ButtonCommand::Get, "GetButton", 33, 24, "&Get it", "Check and get new messages", false},
    {ButtonCommand::StopGet, "StopGetButton", 57, 20, "- S&top", "Stop the get messages process",
     false},
    {ButtonCommand::Send, "SendButton", 79, 24, "&Send it", "Check and send files", false},
    {ButtonCommand::StopSend, "StopSendButton", 104, 19, "- St&op", "Stop the send process", false},
    {ButtonCommand::Check, "CheckButton", 125, 20, "&Check", "Display the files waiting to be send",
     false},
    {ButtonCommand::Connect, "ConnectButton", 147, 20, "C&onnect", "Dial and connect", false},
    {ButtonCommand::Hangup, "HangupButton", 167, 20, "&Hangup",
     "Hangup current connection or ALL connection", false},
    {ButtonCommand::Setup, "SetupButton", 240, 24, "&Setup", "Edit configuration (KESTREL.INI)",
     true},
    {ButtonCommand::Header, "HeaderButton", 264, 24, "Hea&der", "Edit header file (HEADER.TXT)",
     true},
    {ButtonCommand::Filters, "FiltersButton", 288, 24, "&Filters", "Edit filters (KESTREL.FLT)",
     true},
    {ButtonCommand::LogFiles, "LogFilesButton", 312, 24, "&Logfiles",
     "View/edit logfiles (SEND.LOG / RECEIVE.LOG)", true},
    {ButtonCommand::Exit, "ExitButton", 391, 24, "E&xit", "CLOSE KESTREL", false},
}};

inline constexpr const char* kLoginCaption = "Log&in (OAuth)";
inline constexpr const char* kLoginActionName = "LoginAction";
inline constexpr const char* kStatusCaption = "S&tatus";
inline constexpr const char* kStatusActionName = "StatusAction";

inline constexpr Box kFidoImage{8, 189, 47, 49};

// Rows of a strip.
inline constexpr int kUpperRowTop = 2;
inline constexpr int kLowerRowTop = 26;
inline constexpr int kFieldHeight = 22;

struct FieldSpec {
  core::Field field;
  const char* name;
  bool upper_row;
  int left, width;
  const char* hint;
};

inline constexpr std::array<FieldSpec, core::kFieldCount> kFields{{
    {core::Field::GetCurrentMsg, "GetCurrentMsg", true, 197, 60, "What message are we processing"},
    {core::Field::GetTotalMessages, "GetTotalMessages", true, 257, 71,
     "Total number of message to be checked"},
    {core::Field::GetTotalBytes, "GetTotalBytes", true, 329, 94,
     "Total number of bytes in mailbox"},
    {core::Field::GetTimeout, "GetTimeout", true, 512, 32, "Timeout in x seconds"},
    {core::Field::GetFilename, "GetFilename", false, 197, 132, "Name of file being decoded"},
    {core::Field::GetByteProgress, "GetByteProgress", false, 329, 94, "Bytes decoded"},
    {core::Field::GetCPS, "GetCPS", false, 423, 41, "CPS Characters per second of current file"},
    {core::Field::FilesSent, "FilesSent", true, 197, 46, "Current file number"},
    {core::Field::TotalFiles, "TotalFiles", true, 243, 40, "Total files to send"},
    {core::Field::TotalPercent, "TotalPercent", true, 283, 33, "Percentage of total bytes to send"},
    {core::Field::TotalProgress, "TotalProgress", true, 316, 54, "Total bytes sent"},
    {core::Field::TotalFileSize, "TotalFileSize", true, 370, 54, "Total bytes to send"},
    {core::Field::TotalSecondsLeft, "TotalSecondsLeft", true, 424, 31,
     "Seconds left of total transmission"},
    {core::Field::TotalCPS, "TotalCPS", true, 455, 41,
     "CPS Characters per second of total transmission"},
    {core::Field::Timeout, "Timeout", true, 512, 32, "Timeout in x seconds"},
    {core::Field::CurrentFilename, "CurrentFilename", false, 197, 86, "Name of file being send"},
    {core::Field::CurrentPercent, "CurrentPercent", false, 283, 33, "Percentage sent of file"},
    {core::Field::CurrentProgress, "CurrentProgress", false, 316, 54, "Bytes send of file"},
    {core::Field::CurrentFileSize, "CurrentFileSize", false, 370, 54,
     "Size of current file being send"},
    {core::Field::SecondsLeftofFile, "SecondsLeftofFile", false, 424, 31,
     "Seconds left of current file"},
    {core::Field::CurrentCPS, "CurrentCPS", false, 455, 41,
     "CPS Characters per second of current file"},
}};

[[nodiscard]] constexpr bool FieldTableInEnumOrder() {
  for (int i = 0; i < core::kFieldCount; ++i) {
    if (static_cast<int>(kFields[static_cast<std::size_t>(i)].field) != i) return false;
  }
  return true;
}
static_assert(FieldTableInEnumOrder(), "kFields is indexed by core::Field");

// The "Waiting for network" indicators, one per strip.
inline constexpr Box kIndicator{521, 30, 17, 17};
inline constexpr const char* kIndicatorHint = "Waiting for network";
inline constexpr const char* kGetIndicatorName = "GetWaitingNetwork";
inline constexpr const char* kSendIndicatorName = "WaitingNetwork";

struct LabelSpec {
  const char* name;
  bool incoming;
  int left, top;
  const char* text;
};

inline constexpr int kLabelLeft = 100;
inline constexpr int kLabelTextTop = 5;  // centres the text on a 22-pixel field row
inline constexpr std::array<LabelSpec, 6> kLabels{{
    {"IncomingLabel", true, 8, kUpperRowTop + kLabelTextTop, "Incoming:"},
    {"GetProgressLabel", true, kLabelLeft, kUpperRowTop + kLabelTextTop, "Progress"},
    {"GetDecodeLabel", true, kLabelLeft, kLowerRowTop + kLabelTextTop, "Decoding"},
    {"OutgoingLabel", false, 8, kUpperRowTop + kLabelTextTop, "Outgoing:"},
    {"TotalFilesLabel", false, kLabelLeft, kUpperRowTop + kLabelTextTop, "Total files"},
    {"CurrentFileLabel", false, kLabelLeft, kLowerRowTop + kLabelTextTop, "Current file"},
}};

// The geometry of the strips and panes for a client area: the incoming strip
// and pane fill the upper half, the outgoing strip and pane the lower one.
struct PaneLayout {
  Box incoming_panel, get_activity, outgoing_panel, send_activity;
};
[[nodiscard]] constexpr PaneLayout LayoutForClient(int client_width, int client_height) {
  // The outer width less 71 is the client width less the command column.
  const int width = client_width - kStripLeft;
  const int half = client_height / 2;
  return PaneLayout{
      {kStripLeft, 0, width, kStripHeight},
      {kStripLeft, kStripHeight, width, half - kStripHeight},
      {kStripLeft, half, width, kStripHeight},
      {kStripLeft, half + kStripHeight, width, half - kStripHeight},
  };
}

}  // namespace kestrel::gui
