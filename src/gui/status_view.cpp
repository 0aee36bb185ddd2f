// SPDX-License-Identifier: GPL-2.0-or-later
#include "gui/status_view.h"

#include <QHeaderView>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <array>
#include <string>
#include <utility>

#include "app/status_text.h"

namespace kestrel::gui {
namespace {

constexpr int kViewWidth = 760;
constexpr int kViewHeight = 360;

// The columns, in the order the text prints them.
constexpr std::array<const char*, 8> kColumns{"Link",      "Waiting", "Oldest",  "Untidied",
                                              "Last sent", "Held by", "Refused", "Bounced"};

}  // namespace

StatusView::StatusView(std::function<void()> refresh, QWidget* parent) : QDialog(parent) {
  setObjectName("StatusView");
  setWindowTitle("Status");
  resize(kViewWidth, kViewHeight);
  links_ = new QTableWidget(0, static_cast<int>(kColumns.size()), this);
  links_->setObjectName("StatusTable");
  links_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  links_->verticalHeader()->setVisible(false);
  links_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  QStringList headers;
  for (const char* column : kColumns) headers << column;
  links_->setHorizontalHeaderLabels(headers);
  receiving_ = new QPlainTextEdit(this);
  receiving_->setObjectName("StatusReceiving");
  receiving_->setReadOnly(true);
  auto* refresh_button = new QPushButton("&Refresh", this);
  refresh_button->setObjectName("StatusRefresh");
  refresh_button->setAutoDefault(false);
  connect(refresh_button, &QPushButton::clicked, this, std::move(refresh));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(links_, 2);
  layout->addWidget(receiving_, 1);
  layout->addWidget(refresh_button, 0, Qt::AlignRight);
}

void StatusView::Show(const app::StatusReport& report) {
  links_->setRowCount(static_cast<int>(report.links.size()));
  for (int row = 0; row < links_->rowCount(); ++row) {
    const app::LinkStatusText text = app::TextOf(report.links[static_cast<std::size_t>(row)]);
    const std::array<const std::string*, kColumns.size()> cells{
        &text.link,      &text.waiting, &text.oldest,  &text.untidied,
        &text.last_sent, &text.held,    &text.refused, &text.bounced};
    for (std::size_t column = 0; column < cells.size(); ++column) {
      links_->setItem(row, static_cast<int>(column),
                      new QTableWidgetItem(QString::fromStdString(*cells[column])));
    }
  }
  QStringList lines;
  if (!report.configuration_lines.empty()) {
    for (const std::string& line : report.configuration_lines)
      lines << QString::fromStdString(line);
  } else {
    for (const std::string& line : app::ReceivingLines(report))
      lines << QString::fromStdString(line);
    for (const std::string& problem : report.problems)
      lines << QString::fromStdString("Stale: " + problem);
  }
  receiving_->setPlainText(lines.join('\n'));
}

}  // namespace kestrel::gui
