#include "app/qt/fKeyerWindow.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCursor>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSlider>
#include <QStatusBar>
#include <QTimer>
#include <QToolTip>
#include <cmath>
#include <map>

#include "app/form/FormLayout.h"
#include "app/qt/fHelpAbout.h"
#include "app/qt/fTimingScope.h"
#include "core/MainThread.h"

namespace app::qt {

namespace {

QString Text(const std::string& S) {
  return QString::fromStdString(S);
}

void SetItems(QComboBox* Box, const std::vector<std::string>& Items) {
  const QSignalBlocker quiet(Box);
  Box->clear();
  for (const std::string& item : Items)
    Box->addItem(Text(item));
}

void SetIndex(QComboBox* Box, int Index) {
  const QSignalBlocker quiet(Box);
  Box->setCurrentIndex(Index);
}

// One widget for one entry of the control table.
QWidget* MakeControl(const TControlDef& Def, QWidget* Parent) {
  QWidget* w = nullptr;
  const QString caption = QString::fromUtf8(Def.Caption);
  switch (Def.Kind) {
    case ckLabel:
      w = new QLabel(caption, Parent);
      break;
    case ckCheckBox:
      w = new QCheckBox(caption, Parent);
      break;
    case ckComboList:
      w = new QComboBox(Parent);
      break;
    case ckComboEdit: {
      auto* box = new QComboBox(Parent);
      box->setEditable(true);
      // The edit text never adds or selects an item.
      box->setInsertPolicy(QComboBox::NoInsert);
      w = box;
      break;
    }
    case ckButton:
      w = new QPushButton(caption, Parent);
      break;
    case ckEdit:
      w = new QLineEdit(caption, Parent);
      break;
    case ckUpDown: {
      // Its value is the mirrored tone, so the upper arrow, the wheel turned
      // up and the Up key, which all lower a scroll bar's value, raise the
      // tone. The form makes every step; the bar only reports the arrow.
      auto* bar = new QScrollBar(Qt::Vertical, Parent);
      bar->setRange(kToneMin, kToneMax);
      bar->setSingleStep(kToneStep);
      bar->setPageStep(kToneStep);
      bar->setValue(kToneMin + kToneMax - kToneInitial);
      w = bar;
      break;
    }
    case ckTrackBar: {
      auto* slider = new QSlider(Qt::Horizontal, Parent);
      slider->setRange(kWPMMin, kWPMMax);
      slider->setValue(kWPMInitial);
      slider->setTickPosition(QSlider::TicksBelow);
      slider->setTickInterval(kWPMTickEvery);
      w = slider;
      break;
    }
    case ckRadioButton: {
      auto* radio = new QRadioButton(caption, Parent);
      radio->setChecked(Def.Checked);
      w = radio;
      break;
    }
  }
  w->setObjectName(Def.Name);
  w->setEnabled(Def.Enabled);
  const QSize hint = w->sizeHint();
  w->setGeometry(Def.Left, Def.Top, Def.Width > 0 ? Def.Width : hint.width(),
                 Def.Height > 0 ? Def.Height : hint.height());
  return w;
}

}  // namespace

QFont KeyerFont() {
  QFont font = QApplication::font();
  if (QFontDatabase::families().contains(QString::fromUtf8(kWindowFontFamily)))
    font.setFamily(kWindowFontFamily);
  font.setPointSize(kWindowFontPoints);
  return font;
}

TfrmKeyerWindow::TfrmKeyerWindow(TKeyerPlatform Platform, QWidget* Parent) : QMainWindow(Parent) {
  CreateControls();
  FForm = std::make_unique<TfrmKeyer>(*this, FPump, std::move(Platform));
  ConnectHandlers();
  // Delayed main-thread calls and status records while the keying loop is
  // not pumping (before the first activation, under a modal dialog).
  FIdleTimer = new QTimer(this);
  FIdleTimer->setInterval(100);
  connect(FIdleTimer, &QTimer::timeout, this, [this] {
    core::MainThread::CheckSynchronize();
    FForm->CheckStatus();
  });
  FIdleTimer->start();
  qApp->installEventFilter(this);
}

TfrmKeyerWindow::~TfrmKeyerWindow() {
  qApp->removeEventFilter(this);
  FIdleTimer->stop();
  FForm.reset();
}

void TfrmKeyerWindow::CreateControls() {
  setObjectName("frmKeyer");
  setWindowTitle(QString::fromUtf8(kWindowCaption));
  setFont(KeyerFont());
  setGeometry(kWindowLeft, kWindowTop, kWindowWidth, kWindowHeight);

  std::map<std::string, QMenu*> menus;
  std::map<std::string, QAction*> actions;
  for (const TMenuDef& m : KeyerMenu()) {
    QMenu*& menu = menus[m.Menu];
    if (menu == nullptr) menu = menuBar()->addMenu(QString::fromUtf8(m.Menu));
    QAction* action = menu->addAction(QString::fromUtf8(m.Item));
    action->setObjectName(m.Name);
    actions[m.Name] = action;
  }
  Exit1 = actions.at("Exit1");
  About1 = actions.at("About1");
  TimingScope1 = actions.at("TimingScope1");
  Record1 = actions.at("Record1");
  Record1->setCheckable(true);

  auto* client = new QWidget(this);
  client->setObjectName("client");
  setCentralWidget(client);

  std::map<std::string, QWidget*> made;
  for (const TControlDef& def : KeyerControls())
    made[def.Name] = MakeControl(def, client);
  const auto get = [&](const char* Name) { return made.at(Name); };
  Label1 = static_cast<QLabel*>(get("Label1"));
  CheckBox[0] = nullptr;
  for (int n = 1; n <= 16; ++n)
    CheckBox[n] = static_cast<QCheckBox*>(get(("CheckBox" + std::to_string(n)).c_str()));
  Label2 = static_cast<QLabel*>(get("Label2"));
  Label4 = static_cast<QLabel*>(get("Label4"));
  ComboBox1 = static_cast<QComboBox*>(get("ComboBox1"));
  Label3 = static_cast<QLabel*>(get("Label3"));
  cbASIOdriver = static_cast<QComboBox*>(get("cbASIOdriver"));
  labLatency = static_cast<QLabel*>(get("labLatency"));
  btnControlPanel = static_cast<QPushButton*>(get("btnControlPanel"));
  Label6 = static_cast<QLabel*>(get("Label6"));
  cbASIOout = static_cast<QComboBox*>(get("cbASIOout"));
  Label5 = static_cast<QLabel*>(get("Label5"));
  ComboBox2 = static_cast<QComboBox*>(get("ComboBox2"));
  Label8 = static_cast<QLabel*>(get("Label8"));
  edtTone = static_cast<QLineEdit*>(get("edtTone"));
  udTone = static_cast<QScrollBar*>(get("udTone"));
  Label7 = static_cast<QLabel*>(get("Label7"));
  tbWPM = static_cast<QSlider*>(get("tbWPM"));
  labWPM = static_cast<QLabel*>(get("labWPM"));
  rbStraightKey = static_cast<QRadioButton*>(get("rbStraightKey"));
  rbIambicA = static_cast<QRadioButton*>(get("rbIambicA"));
  rbIambicB = static_cast<QRadioButton*>(get("rbIambicB"));

  // The status line, inside the window's height below the controls; a
  // click shows the recent records as hovering does (the application-wide
  // event filter sees both).
  StatusLine = new QLabel(this);
  StatusLine->setObjectName("StatusLine");
  StatusLine->setTextFormat(Qt::PlainText);
  StatusLine->setContentsMargins(6, 0, 6, 0);
  statusBar()->setObjectName("StatusBar");
  statusBar()->setSizeGripEnabled(false);
  statusBar()->addWidget(StatusLine, 1);
}

// Only the operator's own actions raise handlers; the view's setters block
// the widgets' signals.
void TfrmKeyerWindow::ConnectHandlers() {
  TfrmKeyer* f = FForm.get();
  connect(Exit1, &QAction::triggered, this, [f] { f->Exit1Click(); });
  connect(About1, &QAction::triggered, this, [f] { f->About1Click(); });
  connect(TimingScope1, &QAction::triggered, this, [f] { f->TimingScope1Click(); });
  // The form decides whether a recording runs; the item shows what it did.
  connect(Record1, &QAction::triggered, this, [this, f] {
    Record1->setChecked(f->Recording());
    f->Record1Click();
  });
  connect(CheckBox[9], &QCheckBox::clicked, this, [f] { f->CheckBox9Click(); });
  connect(ComboBox1, &QComboBox::currentIndexChanged, this, [f] { f->ComboBox1Change(); });
  connect(cbASIOdriver, &QComboBox::currentIndexChanged, this, [f] { f->cbASIOdriverChange(); });
  connect(cbASIOdriver, &QComboBox::editTextChanged, this, [f] { f->cbASIOdriverChange(); });
  connect(btnControlPanel, &QPushButton::clicked, this, [f] { f->btnControlPanelClick(); });
  connect(ComboBox2, &QComboBox::currentIndexChanged, this, [f] { f->ComboBox2Change(); });
  // Whatever the bar would do, the form takes one step in its direction.
  connect(udTone, &QScrollBar::actionTriggered, this, [this, f](int) {
    const int proposed = udTone->sliderPosition();
    const int current = udTone->value();
    udTone->setSliderPosition(current);
    if (proposed != current) f->udToneClick(proposed < current ? btNext : btPrev);
  });
  connect(edtTone, &QLineEdit::textChanged, this, [f] { f->edtToneChange(); });
  connect(edtTone, &QLineEdit::editingFinished, this, [f] { f->edtToneExit(); });
  connect(tbWPM, &QSlider::valueChanged, this, [f] { f->tbWPMChange(); });
  connect(rbStraightKey, &QRadioButton::clicked, this, [f] { f->rbStraightKeyClick(); });
  connect(rbIambicA, &QRadioButton::clicked, this, [f] { f->rbIambicAClick(); });
  connect(rbIambicB, &QRadioButton::clicked, this, [f] { f->rbIambicBClick(); });
}

void TfrmKeyerWindow::closeEvent(QCloseEvent* Event) {
  FForm->FormClose();
  Event->accept();
}

bool TfrmKeyerWindow::event(QEvent* Event) {
  // The first activation enters the keying loop. Showing the window counts
  // as one too: without a window manager (or when started without the
  // focus) no activation may ever come, and the keyer must run anyway.
  const bool activating = Event->type() == QEvent::WindowActivate || Event->type() == QEvent::Show;
  if (activating && !FActivationQueued && FForm && !FForm->LoopRunning()) {
    // Enter the loop from the event loop, not from inside this dispatch.
    FActivationQueued = true;
    QTimer::singleShot(0, this, [this] {
      FActivationQueued = false;
      FForm->FormActivate();
    });
  }
  if (Event->type() == QEvent::WindowDeactivate && FForm) FForm->WindowDeactivated();
  return QMainWindow::event(Event);
}

TFormKey TfrmKeyerWindow::FormKeyOf(int Key, quint32 NativeVirtualKey, quint32 NativeScanCode) {
  constexpr quint32 kControlL = 0xffe3, kControlR = 0xffe4;
  constexpr quint32 kScanControlL = 37, kScanControlR = 105;
  if (Key == Qt::Key_BracketLeft) return kyBracketLeft;
  if (Key == Qt::Key_BracketRight) return kyBracketRight;
  if (Key == Qt::Key_Control) {
    if (NativeVirtualKey == kControlL || NativeScanCode == kScanControlL) return kyLeftCtrl;
    if (NativeVirtualKey == kControlR || NativeScanCode == kScanControlR) return kyRightCtrl;
  }
  return kyOther;
}

bool TfrmKeyerWindow::eventFilter(QObject* Watched, QEvent* Event) {
  const QEvent::Type type = Event->type();
  if (Watched == StatusLine && type == QEvent::MouseButtonPress && FForm) {
    QToolTip::showText(QCursor::pos(), StatusLine->toolTip(), StatusLine);
    return true;
  }
  if (Watched == edtTone && type == QEvent::KeyPress && FForm) {
    const int key = static_cast<QKeyEvent*>(Event)->key();
    if (key == Qt::Key_Up || key == Qt::Key_Down) {
      FForm->udToneClick(key == Qt::Key_Up ? btNext : btPrev);
      return true;
    }
  }
  if ((type == QEvent::KeyPress || type == QEvent::KeyRelease) && FForm) {
    auto* key = static_cast<QKeyEvent*>(Event);
    const TFormKey k = FormKeyOf(key->key(), key->nativeVirtualKey(), key->nativeScanCode());
    if (k != kyOther && FForm->KeyEvent(k, type == QEvent::KeyPress, key->isAutoRepeat()))
      return true;
  }
  return QMainWindow::eventFilter(Watched, Event);
}

void TfrmKeyerWindow::SetCheckBoxChecked(int Number, bool Checked) {
  if (Number < 1 || Number > 16) return;
  const QSignalBlocker quiet(CheckBox[Number]);
  CheckBox[Number]->setChecked(Checked);
}

bool TfrmKeyerWindow::CheckBoxChecked(int Number) {
  return Number >= 1 && Number <= 16 && CheckBox[Number]->isChecked();
}

void TfrmKeyerWindow::SetCheckBoxEnabled(int Number, bool Enabled) {
  if (Number >= 1 && Number <= 16) CheckBox[Number]->setEnabled(Enabled);
}

void TfrmKeyerWindow::SetComboBox1Items(const std::vector<std::string>& Items) {
  SetItems(ComboBox1, Items);
}

void TfrmKeyerWindow::SetComboBox1ItemIndex(int Index) {
  SetIndex(ComboBox1, Index);
}

std::string TfrmKeyerWindow::ComboBox1Text() {
  return ComboBox1->currentText().toStdString();
}

void TfrmKeyerWindow::SetcbASIOdriverItems(const std::vector<std::string>& Items) {
  SetItems(cbASIOdriver, Items);
}

void TfrmKeyerWindow::SetcbASIOdriverItemIndex(int Index) {
  SetIndex(cbASIOdriver, Index);
}

int TfrmKeyerWindow::cbASIOdriverItemIndex() {
  return cbASIOdriver->currentIndex();
}

void TfrmKeyerWindow::SetlabLatencyCaption(const std::string& Caption) {
  // The longest texts (an 8192-sample buffer with a five-digit latency) are
  // set a little smaller rather than cut off at the window's edge.
  const QString text = Text(Caption);
  QFont font = this->font();
  const int wide = QFontMetrics(font).horizontalAdvance(text);
  if (wide > labLatency->width())
    font.setPointSizeF(std::floor(font.pointSizeF() * labLatency->width() / wide * 4) / 4);
  labLatency->setFont(font);
  labLatency->setText(text);
}

void TfrmKeyerWindow::SetcbASIOoutItems(const std::vector<std::string>& Items) {
  SetItems(cbASIOout, Items);
}

void TfrmKeyerWindow::SetcbASIOoutItemIndex(int Index) {
  SetIndex(cbASIOout, Index);
}

void TfrmKeyerWindow::SetComboBox2Items(const std::vector<std::string>& Items) {
  SetItems(ComboBox2, Items);
}

void TfrmKeyerWindow::SetComboBox2ItemIndex(int Index) {
  SetIndex(ComboBox2, Index);
}

std::string TfrmKeyerWindow::ComboBox2Text() {
  return ComboBox2->currentText().toStdString();
}

void TfrmKeyerWindow::SetudTonePosition(int32_t Position) {
  const QSignalBlocker quiet(udTone);
  udTone->setValue(kToneMin + kToneMax - Position);
}

int32_t TfrmKeyerWindow::udTonePosition() {
  return kToneMin + kToneMax - udTone->value();
}

std::string TfrmKeyerWindow::edtToneText() {
  return edtTone->text().toStdString();
}

void TfrmKeyerWindow::SetedtToneText(const std::string& Text) {
  const QSignalBlocker quiet(edtTone);
  edtTone->setText(QString::fromStdString(Text));
}

void TfrmKeyerWindow::SettbWPMPosition(int32_t Position) {
  const QSignalBlocker quiet(tbWPM);
  tbWPM->setValue(Position);
}

int32_t TfrmKeyerWindow::tbWPMPosition() {
  return tbWPM->value();
}

void TfrmKeyerWindow::SetlabWPMCaption(const std::string& Caption) {
  labWPM->setText(Text(Caption));
}

void TfrmKeyerWindow::SetModeChecked(int Mode) {
  QRadioButton* button = Mode == kmStraightKey ? rbStraightKey
                         : Mode == kmIambicA   ? rbIambicA
                                               : rbIambicB;
  const QSignalBlocker quiet(button);
  button->setChecked(true);
}

void TfrmKeyerWindow::SetStatusLine(const std::string& Text, core::TStatusSeverity Severity,
                                    const std::vector<std::string>& Recent) {
  StatusLine->setText(QString::fromStdString(Text));
  const char* colour = Severity == core::svError     ? "#b00000"
                       : Severity == core::svWarning ? "#8a5000"
                                                     : "palette(window-text)";
  StatusLine->setStyleSheet(QString("QLabel { color: %1; }").arg(colour));
  QStringList lines;
  for (const std::string& line : Recent)
    lines << QString::fromStdString(line).toHtmlEscaped();
  StatusLine->setToolTip("<nobr>" + lines.join("<br>") + "</nobr>");
}

void TfrmKeyerWindow::ShowTimingScope() {
  if (FScope == nullptr) {
    FScope = new TfrmTimingScope(FForm->Timing(), this);
    FScope->OnClosed = [this] { FForm->TimingScopeClosed(); };
    FScope->OnRecord = [this] {
      FScope->SetRecording(FForm->Recording());
      FForm->Record1Click();
    };
    FScope->SetRecording(FForm->Recording());
    // Beside the main window.
    FScope->move(geometry().right() + 8, geometry().top());
  }
  FScope->show();
  FScope->raise();
}

void TfrmKeyerWindow::SetRecording(bool On) {
  const QSignalBlocker block(Record1);
  Record1->setChecked(On);
  if (FScope != nullptr) FScope->SetRecording(On);
}

void TfrmKeyerWindow::ShowAboutBox() {
  if (FAbout) FAbout->exec();
}

}  // namespace app::qt
