// SPDX-License-Identifier: GPL-2.0-or-later
// The window's status view, from the Check button's context menu: a link's
// row shows what waits in a real outbound, built by the status the console
// prints.
#include <gtest/gtest.h>

#include <QAction>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <string>

#include "app/controller.h"
#include "gui/main_window.h"
#include "gui/run_window.h"
#include "support/fido_files.h"
#include "support/program_home_at.h"
#include "support/temp_dir.h"

namespace kestrel::gui {
namespace {

TEST(WindowStatusTest, CheckMenuStatusShowsWhatWaitsForEachLink) {
  testing::TempDir home;
  const testing::ProgramHomeAt at(home.path());
  testing::PacketHeader header;
  header.orig_node = 100;
  header.dest_node = 200;
  header.dest_net = 236;
  home.Write("outbound/00ec00c8.out", testing::EncodePacket(header, {}));
  home.Write("KESTREL.INI", "OURZONE 2\nOUTBOUND " + home.File("outbound") +
                                "\nHOST 127.0.0.1\nFROMEMAIL sysop@example.org\n"
                                "REDIRECT 236/200 node@example.org Node\n");

  TKestrel window;
  app::Controller controller(window.front_end(), window.dispatcher());
  BindWindow(window, controller);
  auto* status =
      window.findChild<QPushButton*>("CheckButton")->findChild<QAction*>(kStatusActionName);
  ASSERT_NE(status, nullptr);
  status->trigger();

  auto* table = window.findChild<QTableWidget*>("StatusTable");
  ASSERT_NE(table, nullptr);
  ASSERT_EQ(table->rowCount(), 1);
  EXPECT_EQ(table->item(0, 0)->text().toStdString(), "2:236/200.0 -> node@example.org (Node)");
  EXPECT_EQ(table->item(0, 1)->text().toStdString(), "1 file, 60 bytes");
  const std::string receiving =
      window.findChild<QPlainTextEdit*>("StatusReceiving")->toPlainText().toStdString();
  EXPECT_NE(receiving.find("Receiving: last taken never"), std::string::npos) << receiving;
}

}  // namespace
}  // namespace kestrel::gui
