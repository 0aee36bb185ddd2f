// SPDX-License-Identifier: GPL-2.0-or-later
// Window tests need one QApplication for the whole program; they run without a
// display on Qt's offscreen platform, whose screen is 800 x 600.
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  QApplication application(argc, argv);
  return RUN_ALL_TESTS();
}
