// SPDX-License-Identifier: GPL-2.0-or-later
#include "gui/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QResizeEvent>
#include <QScreen>
#include <QShortcut>
#include <QUrl>
#include <algorithm>
#include <map>
#include <vector>

#include "gui/fido_image.h"
#include "gui/status_view.h"
#include "platform/program_home.h"

namespace kestrel::gui {

namespace {

// A long polling run would otherwise grow a pane without bound; the log files
// keep every line.
constexpr int kMaxPaneLines = 50000;

constexpr int kDefaultFontPixels = 13;
constexpr int kEditorButtonFontPixels = 12;
constexpr int kFieldFontPixels = 10;
constexpr int kPaneFontPixels = 13;

const QColor kSilver(0xC0, 0xC0, 0xC0);
const QColor kNavy(0x00, 0x00, 0x80);

// The face the window was drawn with first, then look-alikes, then whatever
// the platform's sans-serif face is.
QFont WindowFont(int pixels) {
  QFont font;
  font.setFamilies({"Comic Sans MS", "Comic Neue", "Comic Relief", "DejaVu Sans Condensed",
                    "DejaVu Sans", "Sans Serif"});
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(pixels);
  return font;
}

// The colour the platform gives menus, which the progress fields use; silver
// where it has none.
QColor MenuColour() {
  const QColor colour = QApplication::palette("QMenu").color(QPalette::Window);
  return colour.isValid() ? colour : kSilver;
}

void Place(QWidget* widget, const Box& box) {
  widget->setGeometry(box.left, box.top, box.width, box.height);
}

// The "Waiting for network" light: looks like a radio button, shows its hint,
// but only the program switches it.
class NetworkIndicator : public QRadioButton {
 public:
  using QRadioButton::QRadioButton;

 protected:
  // Clicks and keys leave it as it is; setChecked still works.
  void nextCheckState() override {}
};

}  // namespace

void OpenInBrowser(const std::string& address) {
  // The address comes from the provider: only a web page is opened, never a
  // file or another program's scheme. The pane shows it either way.
  const QUrl url(QString::fromStdString(address), QUrl::StrictMode);
  if (url.isValid() && (url.scheme() == "https" || url.scheme() == "http"))
    QDesktopServices::openUrl(url);
}

TKestrel::TKestrel(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint) {
  setObjectName("TKestrel");
  setWindowTitle(kCaption);
  setFont(WindowFont(kDefaultFontPixels));
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, kSilver);
  palette.setColor(QPalette::WindowText, Qt::black);
  setPalette(palette);
  setAutoFillBackground(true);
  setMinimumSize(kMinClientWidth, kMinClientHeight);

  BuildButtonPanel();
  incoming_panel_ = BuildStrip("IncomingPanel", true);
  get_activity_ = BuildPane("GetActivity");
  outgoing_panel_ = BuildStrip("OutgoingPanel", false);
  send_activity_ = BuildPane("SendActivity");

  FrontEndWidgets widgets;
  widgets.send_activity = send_activity_;
  widgets.get_activity = get_activity_;
  for (int i = 0; i < core::kFieldCount; ++i) widgets.fields[i] = fields_[i];
  widgets.send_waiting = send_waiting_;
  widgets.get_waiting = get_waiting_;
  front_end_ = std::make_unique<QtFrontEnd>(widgets, dispatcher_);
  // Work handed to this thread is run from the event loop; the window is the
  // context, so nothing is delivered once it has gone.
  dispatcher_.SetWakeHook([this] {
    QMetaObject::invokeMethod(
        this, [this] { dispatcher_.ProcessPending(); }, Qt::QueuedConnection);
  });

  ApplyOuterRect(
      {kBuiltInWindow.top, kBuiltInWindow.left, kBuiltInWindow.width, kBuiltInWindow.height});
}

TKestrel::~TKestrel() {
  // Workers still writing from now on write nowhere instead of into widgets
  // that are about to go.
  front_end_->Detach();
  dispatcher_.SetWakeHook({});
}

void TKestrel::BuildButtonPanel() {
  button_panel_ = new QWidget(this);
  button_panel_->setObjectName("ButtonPanel");
  Place(button_panel_, {0, 0, kButtonPanelWidth, kMinClientHeight});

  QPushButton* previous = nullptr;
  for (std::size_t i = 0; i < kButtons.size(); ++i) {
    const ButtonSpec& layout = kButtons[i];
    auto* button = new QPushButton(layout.caption, button_panel_);
    button->setObjectName(layout.name);
    button->setToolTip(layout.hint);
    button->setAutoDefault(false);
    if (layout.small_font) button->setFont(WindowFont(kEditorButtonFontPixels));
    Place(button, {kButtonLeft, layout.top, kButtonWidth, layout.height});
    const ButtonCommand command = layout.command;
    connect(button, &QPushButton::clicked, this, [this, command] { RunCommand(command); });
    if (layout.command == ButtonCommand::Setup) AddLoginMenu(button);
    if (layout.command == ButtonCommand::Check) AddStatusMenu(button);
    if (previous) setTabOrder(previous, button);
    previous = button;
    buttons_[i] = button;
  }

  ShareMnemonics();

  fido_image_ = new QLabel(button_panel_);
  fido_image_->setObjectName("FidoImage");
  Place(fido_image_, kFidoImage);
  fido_image_->setPixmap(FidoEmblem(kFidoImage.width, kFidoImage.height));
}

// The login is seldom needed: it sits in the Setup button's context menu
// rather than take room from the command column.
void TKestrel::AddLoginMenu(QPushButton* setup) {
  auto* login = new QAction(kLoginCaption, setup);
  login->setObjectName(kLoginActionName);
  connect(login, &QAction::triggered, this, [this] { RunCommand(ButtonCommand::Login); });
  setup->addAction(login);
  setup->setContextMenuPolicy(Qt::ActionsContextMenu);
}

// Beside Check, which lists what waits now, the status tells since when and
// what held it.
void TKestrel::AddStatusMenu(QPushButton* check) {
  auto* status = new QAction(kStatusCaption, check);
  status->setObjectName(kStatusActionName);
  connect(status, &QAction::triggered, this, [this] { RunCommand(ButtonCommand::Status); });
  check->addAction(status);
  check->setContextMenuPolicy(Qt::ActionsContextMenu);
}

void TKestrel::OpenStatus() {
  if (!status_source_) return;
  if (!status_view_) status_view_ = new StatusView([this] { RefreshStatus(); }, this);
  status_view_->Show(status_source_());
  status_view_->show();
  status_view_->raise();
}

void TKestrel::RefreshStatus() {
  if (status_source_ && status_view_ && status_view_->isVisible())
    status_view_->Show(status_source_());
}

// Captions share letters ("&Send it" and "&Setup", "- St&op" and "C&onnect"),
// and Qt only moves the focus for a shared mnemonic. Each shared letter gets
// one shortcut that presses the enabled one of its buttons, the first in tab
// order when more are: a letter must not mean another command on the next
// stroke.
void TKestrel::ShareMnemonics() {
  std::map<QChar, std::vector<QPushButton*>> by_letter;
  for (QPushButton* button : buttons_) {
    const QString text = button->text();
    const qsizetype amp = text.indexOf('&');
    if (amp >= 0 && amp + 1 < text.size()) by_letter[text[amp + 1].toUpper()].push_back(button);
  }
  for (auto& [letter, sharing] : by_letter) {
    if (sharing.size() < 2) continue;
    for (QPushButton* button : sharing) button->setShortcut(QKeySequence());
    auto* shortcut = new QShortcut(QKeySequence(QString("Alt+") + letter), this);
    shortcut->setObjectName(QString("Mnemonic") + letter);
    connect(shortcut, &QShortcut::activated, this, [sharing] {
      const auto enabled = std::find_if(sharing.begin(), sharing.end(),
                                        [](const QPushButton* b) { return b->isEnabled(); });
      if (enabled != sharing.end()) (*enabled)->animateClick();
    });
  }
}

QFrame* TKestrel::BuildStrip(const char* name, bool incoming) {
  auto* strip = new QFrame(this);
  strip->setObjectName(name);
  strip->setFrameStyle(QFrame::Panel | QFrame::Raised);

  for (const LabelSpec& layout : kLabels) {
    if (layout.incoming != incoming) continue;
    auto* label = new QLabel(layout.text, strip);
    label->setObjectName(layout.name);
    label->move(layout.left, layout.top);
    label->adjustSize();
  }

  QPalette field_palette = palette();
  field_palette.setColor(QPalette::Base, MenuColour());
  field_palette.setColor(QPalette::Text, kNavy);
  const QFont field_font = WindowFont(kFieldFontPixels);
  for (const FieldSpec& layout : kFields) {
    if ((core::SideOfField(layout.field) == core::Side::Receiving) != incoming) continue;
    auto* field = new QLineEdit(strip);
    field->setObjectName(layout.name);
    field->setToolTip(layout.hint);
    field->setReadOnly(true);
    field->setFocusPolicy(Qt::ClickFocus);  // out of the tab chain, still selectable
    field->setPalette(field_palette);
    field->setFont(field_font);
    Place(field, {layout.left, layout.upper_row ? kUpperRowTop : kLowerRowTop, layout.width,
                  kFieldHeight});
    fields_[static_cast<std::size_t>(layout.field)] = field;
  }

  auto* indicator = new NetworkIndicator(strip);
  indicator->setObjectName(incoming ? kGetIndicatorName : kSendIndicatorName);
  indicator->setToolTip(kIndicatorHint);
  indicator->setAutoExclusive(false);
  indicator->setFocusPolicy(Qt::NoFocus);
  Place(indicator, kIndicator);
  (incoming ? get_waiting_ : send_waiting_) = indicator;
  return strip;
}

QPlainTextEdit* TKestrel::BuildPane(const char* name) {
  auto* pane = new QPlainTextEdit(this);
  pane->setObjectName(name);
  pane->setReadOnly(true);
  pane->setLineWrapMode(QPlainTextEdit::NoWrap);
  pane->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  pane->setFocusPolicy(Qt::ClickFocus);
  pane->setMaximumBlockCount(kMaxPaneLines);
  pane->setFont(WindowFont(kPaneFontPixels));
  QPalette pane_palette = pane->palette();
  pane_palette.setColor(QPalette::Base, kNavy);
  pane_palette.setColor(QPalette::Text, Qt::white);
  pane->setPalette(pane_palette);
  return pane;
}

void TKestrel::SetCommandHandler(std::function<void(ButtonCommand)> handler) {
  command_handler_ = std::move(handler);
}

void TKestrel::SetTitleBarCloseHandler(std::function<void()> handler) {
  title_bar_close_handler_ = std::move(handler);
}

void TKestrel::SetEditorOpener(EditorOpener opener) {
  editor_opener_ = std::move(opener);
}

void TKestrel::RunCommand(ButtonCommand command) {
  switch (command) {
    case ButtonCommand::Setup:
      EditINIClick();
      return;
    case ButtonCommand::Header:
      EditTxtClick();
      return;
    case ButtonCommand::Filters:
      FilterButtonClick();
      return;
    case ButtonCommand::LogFiles:
      LogfileButtonClick();
      return;
    case ButtonCommand::Status:
      OpenStatus();
      return;
    default:
      if (command_handler_) command_handler_(command);
      return;
  }
}

void TKestrel::CleanText(core::Side side) {
  core::CleanText(*front_end_, side);
}

void TKestrel::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const QSize size = event->size();
  // Qt already holds the minimum; this keeps it should a platform not.
  if (size.width() < kMinClientWidth || size.height() < kMinClientHeight) {
    resize(size.expandedTo({kMinClientWidth, kMinClientHeight}));
    return;
  }
  ApplyLayout(size);
}

void TKestrel::ApplyLayout(QSize size) {
  button_panel_->resize(kButtonPanelWidth, size.height());
  const PaneLayout layout = LayoutForClient(size.width(), size.height());
  Place(incoming_panel_, layout.incoming_panel);
  Place(get_activity_, layout.get_activity);
  Place(outgoing_panel_, layout.outgoing_panel);
  Place(send_activity_, layout.send_activity);
}

// Closing through the title bar is not Exit: the position is not saved and no
// job is stopped; the running jobs are waited for after the window has gone.
// Polling alone would never end by itself, so the handler asks it to stop.
void TKestrel::closeEvent(QCloseEvent* event) {
  if (!closing_by_command_ && title_bar_close_handler_) title_bar_close_handler_();
  event->accept();
}

void TKestrel::CloseByCommand() {
  closing_by_command_ = true;
  close();
}

WindowRect TKestrel::OuterRect() const {
  return {y(), x(), width() + kFrameWidth, height() + kFrameHeight};
}

void TKestrel::ApplyOuterRect(const WindowRect& rect) {
  move(rect.left, rect.top);
  resize(rect.width - kFrameWidth, rect.height - kFrameHeight);
  // A hidden window gets its resize event only when shown; lay it out now.
  ApplyLayout(size());
}

void TKestrel::LoadDef() {
  LoadDef(PositionFilePath(), screen()->geometry().size());
}

void TKestrel::LoadDef(const std::string& path, QSize screen_size) {
  const WindowPosition built_in{
      {kBuiltInWindow.top, kBuiltInWindow.left, kBuiltInWindow.width, kBuiltInWindow.height},
      screen_size.width(),
      screen_size.height()};
  const auto saved = LoadPositionFile(path, built_in);
  if (!saved) {
    setWindowState(Qt::WindowNoState);
    return;
  }
  // The screen the record was written on does not matter; this one does.
  ApplyOuterRect(FitToScreen(saved->window, screen_size.width(), screen_size.height()));
}

void TKestrel::SaveDef() {
  SaveDef(PositionFilePath(), screen()->geometry().size());
}

void TKestrel::SaveDef(const std::string& path, QSize screen_size) const {
  (void)SavePositionFile(path, {OuterRect(), screen_size.width(), screen_size.height()});
}

void TKestrel::OpenHomeFile(const std::string& name) {
  if (editor_opener_) (void)editor_opener_(platform::HomeFile(name));
}

// The configuration opened is the one named after the program, even when the
// command line chose another.
void TKestrel::EditINIClick() {
  OpenHomeFile(platform::ProgramBaseName() + ".INI");
}

void TKestrel::EditTxtClick() {
  OpenHomeFile("HEADER.TXT");
}

void TKestrel::FilterButtonClick() {
  OpenHomeFile(platform::ProgramBaseName() + ".FLT");
}

void TKestrel::LogfileButtonClick() {
  OpenHomeFile("SEND.LOG");
  OpenHomeFile("RECEIVE.LOG");
}

}  // namespace kestrel::gui
