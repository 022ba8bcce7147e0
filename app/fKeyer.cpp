#include "app/fKeyer.h"
#include "keyer/Envelope.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSlider>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "app/fHelpAbout.h"
#include "core/MainThread.h"
#include "serial/LinuxPort.h"

namespace app {

namespace {

constexpr int kToneMin = 500;
constexpr int kToneMax = 1000;
constexpr int kToneStep = 10;

template <typename W>
W* Place(W* Widget, const char* Name, int Left, int Top, int Width = -1, int Height = -1) {
  Widget->setObjectName(Name);
  const QSize hint = Widget->sizeHint();
  Widget->setGeometry(Left, Top, Width > 0 ? Width : hint.width(),
                      Height > 0 ? Height : hint.height());
  return Widget;
}

QLabel* MakeLabel(QWidget* Parent, const char* Name, const char* Text, int Left, int Top) {
  auto* label = new QLabel(QString::fromUtf8(Text), Parent);
  return Place(label, Name, Left, Top);
}

}  // namespace

QFont KeyerFont() {
  QFont font = QApplication::font();
  if (QFontDatabase::families().contains(QStringLiteral("Tahoma"))) font.setFamily("Tahoma");
  font.setPointSize(8);
  return font;
}

TfrmKeyer::TfrmKeyer(TKeyerPlatform Platform, QWidget* Parent)
    : QMainWindow(Parent),
      keyer::TKeyerEngine(static_cast<keyer::IKeyerServices&>(*this)),
      FClock(Platform.Clock ? *Platform.Clock : core::SystemClock()) {
  // The serial component reaches real devices and the keyboard paddle
  // through one driver.
  serial::IPortDriver* devices = Platform.Devices;
  if (devices == nullptr) {
    FOwnDevices = std::make_unique<serial::TLinuxPortDriver>();
    devices = FOwnDevices.get();
  }
  FSimulated = std::make_unique<serial::TSimulatedPortDriver>();
  FKeyboardPort = &FSimulated->AddPort(kKeyboardPaddle);
  // Open contacts: both lines active.
  FKeyboardPort->SetCTS(true);
  FKeyboardPort->SetDSR(true);
  FRouter = std::make_unique<serial::TRoutingPortDriver>(*devices);
  FRouter->Route(kKeyboardPaddle, *FSimulated);

  CreateControls(Platform.DevicePaths);

  FdspIIRFilter1 = std::make_unique<dsp::TdspIIRFilter>();
  FASIOHost1 = std::make_unique<asio::TASIOHost>();
  FSerialPort1 = std::make_unique<serial::TSerialPort>(nullptr, *FRouter);
  ApplyStoredSettings();
  FormCreate();
  qApp->installEventFilter(this);
}

TfrmKeyer::~TfrmKeyer() {
  qApp->removeEventFilter(this);
  FormDestroy();
  // Stop the driver before anything its thread touches goes away.
  FASIOHost1->SetActive(false);
  FSerialPort1.reset();
  FASIOHost1.reset();
  FdspIIRFilter1.reset();
}

void TfrmKeyer::CreateControls(const std::vector<std::string>& DevicePaths) {
  setObjectName("frmKeyer");
  setWindowTitle("Orlim paddle keyer test rig");
  setFont(KeyerFont());
  setGeometry(273, 146, 620, 400);

  QMenu* file = menuBar()->addMenu("&File");
  Exit1 = file->addAction("E&xit");
  Exit1->setObjectName("Exit1");
  QMenu* help = menuBar()->addMenu("&Help");
  About1 = help->addAction("&About...");
  About1->setObjectName("About1");
  connect(Exit1, &QAction::triggered, this, [this] { Exit1Click(); });
  connect(About1, &QAction::triggered, this, [this] { About1Click(); });

  auto* client = new QWidget(this);
  client->setObjectName("client");
  setCentralWidget(client);

  Label1 = MakeLabel(client, "Label1", "MSR", 16, 16);
  static const char* const kMsr[] = {"delta CTS", "delta DSR", "trailing RI", "delta DCD",
                                     "CTS (dah)", "DSR (dit)", "RI",          "CD"};
  static const char* const kMcr[] = {"DTR",       "RTS",      "Aux out 1", "Aux out 2",
                                     "Loopback ", "Autoflow", "Reserved",  "Reserved"};
  CheckBox[0] = nullptr;
  for (int i = 0; i < 8; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "CheckBox%d", i + 1);
    CheckBox[i + 1] = Place(new QCheckBox(kMsr[i], client), name, 16, 41 + (166 * i + 3) / 7, 90);
  }
  Label2 = MakeLabel(client, "Label2", "MCR", 112, 16);
  for (int i = 0; i < 8; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "CheckBox%d", i + 9);
    const int top = i == 0 ? 41 : 64 + (143 * (i - 1) + 3) / 6;
    CheckBox[i + 9] = Place(new QCheckBox(kMcr[i], client), name, 112, top, 90);
  }
  CheckBox[15]->setEnabled(false);
  CheckBox[16]->setEnabled(false);
  connect(CheckBox[9], &QCheckBox::clicked, this, [this] { CheckBox9Click(); });

  Label4 = MakeLabel(client, "Label4", "COM port", 208, 16);
  ComboBox1 = Place(new QComboBox(client), "ComboBox1", 287, 14, 145);
  for (int n = 1; n <= 12; ++n)
    ComboBox1->addItem(QString("COM%1").arg(n));
  for (const std::string& path : DevicePaths)
    ComboBox1->addItem(QString::fromStdString(path));
  ComboBox1->addItem(kKeyboardPaddle);
  ComboBox1->setCurrentIndex(0);
  connect(ComboBox1, &QComboBox::currentIndexChanged, this, [this] { ComboBox1Change(); });

  Label3 = MakeLabel(client, "Label3", "ASIO driver", 208, 40);
  cbASIOdriver = Place(new QComboBox(client), "cbASIOdriver", 288, 40, 313);
  cbASIOdriver->setEditable(true);
  // The edit text never selects a driver.
  cbASIOdriver->setInsertPolicy(QComboBox::NoInsert);
  connect(cbASIOdriver, &QComboBox::currentTextChanged, this, [this] { cbASIOdriverChange(); });

  labLatency = MakeLabel(client, "labLatency", "labLatency", 288, 64);
  labLatency->resize(313, labLatency->height());
  btnControlPanel =
      Place(new QPushButton("Driver control panel", client), "btnControlPanel", 288, 88, 145, 25);
  connect(btnControlPanel, &QPushButton::clicked, this, [this] { btnControlPanelClick(); });

  Label6 = MakeLabel(client, "Label6", "ASIO output", 208, 120);
  cbASIOout = Place(new QComboBox(client), "cbASIOout", 288, 120, 313);
  cbASIOout->setEditable(true);
  cbASIOout->setInsertPolicy(QComboBox::NoInsert);

  Label5 = MakeLabel(client, "Label5", "Key filter Hz", 208, 152);
  ComboBox2 = Place(new QComboBox(client), "ComboBox2", 288, 152, 145);
  for (const char* hz : {"25", "50", "100", "150", "200", "250"})
    ComboBox2->addItem(hz);
  ComboBox2->setCurrentIndex(3);
  connect(ComboBox2, &QComboBox::currentIndexChanged, this, [this] { ComboBox2Change(this); });

  Label8 = MakeLabel(client, "Label8", "Tone Hz", 208, 184);
  edtTone = Place(new QLineEdit("700", client), "edtTone", 288, 184, 49, 21);
  // The up-down control: up raises the pitch by one step.
  udTone = Place(new QScrollBar(Qt::Vertical, client), "udTone", 337, 184, 16, 21);
  udTone->setRange(kToneMin, kToneMax);
  udTone->setSingleStep(kToneStep);
  udTone->setPageStep(kToneStep);
  udTone->setInvertedAppearance(true);
  udTone->setInvertedControls(true);
  udTone->setValue(700);
  connect(udTone, &QScrollBar::valueChanged, this, [this](int value) {
    const QString text = QString::number(value);
    if (edtTone->text() != text) edtTone->setText(text);
    udToneClick(this);
  });
  connect(edtTone, &QLineEdit::textChanged, this, [this] { edtToneTextChanged(); });

  Label7 = MakeLabel(client, "Label7", "WPM", 208, 216);
  tbWPM = Place(new QSlider(Qt::Horizontal, client), "tbWPM", 280, 216, 209, 33);
  tbWPM->setRange(5, 60);
  tbWPM->setValue(20);
  tbWPM->setTickPosition(QSlider::TicksBelow);
  tbWPM->setTickInterval(5);
  labWPM = MakeLabel(client, "labWPM", "WPM", 496, 216);
  labWPM->resize(120, labWPM->height());
  connect(tbWPM, &QSlider::valueChanged, this, [this] { tbWPMChange(this); });

  rbStraightKey = Place(new QRadioButton("Straight key (or ext. keyer)", client), "rbStraightKey",
                        288, 264, 200);
  rbIambicA = Place(new QRadioButton("Iambic A", client), "rbIambicA", 288, 288, 200);
  rbIambicB = Place(new QRadioButton("Iambic B", client), "rbIambicB", 288, 312, 200);
  rbIambicB->setChecked(true);
  connect(rbStraightKey, &QRadioButton::clicked, this, [this] { rbStraightKeyClick(this); });
  connect(rbIambicA, &QRadioButton::clicked, this, [this] { rbIambicAClick(this); });
  connect(rbIambicB, &QRadioButton::clicked, this, [this] { rbIambicBClick(this); });
}

// The window's stored settings of its three components, applied as a
// stored form applies them: loading state, properties, end of loading.
void TfrmKeyer::ApplyStoredSettings() {
  serial::TSerialPort& port = *FSerialPort1;
  port.BeginLoading();
  port.SetCommPort("COM1");
  port.SetErrorNoise(255);
  port.OnCTSEvent = [this](core::TObject* sender) { SerialPort1CTSEvent(sender); };
  port.OnDSREvent = [this](core::TObject* sender) { SerialPort1DSREvent(sender); };
  port.EndLoading();

  keyer::StoreEnvelopeFilter(*FdspIIRFilter1);

  asio::TASIOHost& host = *FASIOHost1;
  host.BeginLoading();
  host.SetActive(false);
  host.SetPreventClipping(asio::pcNone);
  host.SetPreFillInBuffer(asio::bpfNone);
  host.SetPreFillOutBuffer(asio::bpfNone);
  host.SetConvertOptimizations({asio::coSSE, asio::co3DNow});
  host.SetSampleRate(44100);
  host.ASIOTime().SetSpeed(1);
  host.ASIOTime().SetSampleRate(44100);
  host.ASIOTime().SetFlags({asio::atSystemTimeValid, asio::atSamplePositionValid,
                            asio::atSampleRateValid, asio::atSpeedValid});
  host.OnLatencyChanged = [this](core::TObject* sender) { ASIOHost1LatencyChanged(sender); };
  host.OnBufferSwitch = [this](core::TObject* sender, const dsp::TArrayOfSingleArray& in,
                               dsp::TArrayOfSingleArray& out) {
    ASIOHost1BufferSwitch(sender, in, out);
  };
  host.EndLoading();
}

void TfrmKeyer::FormCreate() {
  ReadCounterFrequency();
  FillDriverList();
  FSerialPort1->SetActive(true);
  FSerialPort1->SetCommPort("COM1");
  FSerialPort1->SetDTRState(true);
  UpdateLineCheckBoxes();
  tbWPMChange(this);
  SelectInitialMode();
  FASIOHost1->SetActive(true);
}

void TfrmKeyer::FormClose() {
  SetClosing();
  FASIOHost1->SetActive(false);
}

void TfrmKeyer::closeEvent(QCloseEvent* Event) {
  FormClose();
  Event->accept();
}

bool TfrmKeyer::event(QEvent* Event) {
  // The first activation enters the keying loop. Showing the window counts
  // as one too: without a window manager (or when started without the
  // focus) no activation may ever come, and the keyer must run anyway.
  const bool activating = Event->type() == QEvent::WindowActivate || Event->type() == QEvent::Show;
  if (activating && !FActivationQueued && !LoopRunning()) {
    // Enter the loop from the event loop, not from inside this dispatch.
    FActivationQueued = true;
    QTimer::singleShot(0, this, [this] {
      FActivationQueued = false;
      FormActivate(this);
    });
  }
  if (Event->type() == QEvent::WindowDeactivate) {
    // Keys released while the window had no focus never arrive.
    PaddleKey(TPaddleKey::Dit, false);
    PaddleKey(TPaddleKey::Dah, false);
  }
  return QMainWindow::event(Event);
}

void TfrmKeyer::ProcessMessages() {
  core::ProcessMessages();
}

void TfrmKeyer::CheckBox9Click() {
  FSerialPort1->SetDTRState(CheckBox[9]->isChecked());
  UpdateLineCheckBoxes();
}

void TfrmKeyer::ComboBox1Change() {
  FSerialPort1->SetCommPort(ComboBox1->currentText().left(255).toStdString());
  // A closed port is opened, or after one failed open no choice would
  // ever open a port again.
  if (!FSerialPort1->Active()) FSerialPort1->SetActive(true);
  FSerialPort1->SetDTRState(true);
  UpdateLineCheckBoxes();
}

void TfrmKeyer::cbASIOdriverChange() {
  ShowDriverInfo();
}

void TfrmKeyer::btnControlPanelClick() {
  FASIOHost1->ShowControlPanel();
}

void TfrmKeyer::ASIOHost1LatencyChanged(core::TObject*) {
  if (core::MainThread::IsMainThread()) {
    labLatency->setText(QString::fromStdString(LatencyText()));
    return;
  }
  // From the driver's thread: the label is set on the main thread, from the
  // values the host holds by then.
  QMetaObject::invokeMethod(
      this, [this] { labLatency->setText(QString::fromStdString(LatencyText())); },
      Qt::QueuedConnection);
}

void TfrmKeyer::Exit1Click() {
  close();
}

void TfrmKeyer::About1Click() {
  if (FAbout) FAbout->exec();
}

void TfrmKeyer::UpdateLineCheckBoxes() {
  const uint32_t m = FSerialPort1->ModemState() & 0xFF;
  for (int bit = 0; bit < 8; ++bit)
    CheckBox[bit + 1]->setChecked((m >> bit) & 1);
  CheckBox[9]->setChecked(FSerialPort1->DTRState());
  // Of the modem-control byte the component knows only RTS besides DTR.
  CheckBox[10]->setChecked(FSerialPort1->RTSState());
}

void TfrmKeyer::FillDriverList() {
  cbASIOdriver->blockSignals(true);
  cbASIOdriver->clear();
  for (const std::string& name : FASIOHost1->DriverList())
    cbASIOdriver->addItem(QString::fromStdString(name));
  FASIOHost1->SetDriverIndex(0);
  cbASIOdriver->setCurrentIndex(cbASIOdriver->count() > 0 ? 0 : -1);
  cbASIOdriver->blockSignals(false);
  ShowDriverInfo();
}

std::string TfrmKeyer::LatencyText() {
  asio::TASIOHost& host = *FASIOHost1;
  const uint32_t size = host.BufferSize();
  const int32_t latency = host.OutputLatency();
  const float ms = static_cast<float>(latency / host.SampleRate() * 1000.0);
  char text[128];
  std::snprintf(text, sizeof text, "Buffer size %u samples, latency %d samples (%-6.2fmS)", size,
                latency, static_cast<double>(ms));
  return text;
}

void TfrmKeyer::ShowDriverInfo() {
  labLatency->setText(QString::fromStdString(LatencyText()));
  cbASIOout->clear();
  const auto& outputs = FASIOHost1->OutputChannelInfoList();
  const auto name = [&](size_t i) {
    return QString::fromLocal8Bit(outputs[i].name, static_cast<int>(strnlen(outputs[i].name, 32)));
  };
  const int32_t pairs = FASIOHost1->OutputChannels() / 2;
  for (int32_t i = 0; i < pairs && static_cast<size_t>(2 * i + 1) < outputs.size(); ++i)
    cbASIOout->addItem(name(static_cast<size_t>(2 * i)) + " / " +
                       name(static_cast<size_t>(2 * i + 1)));
  cbASIOout->setCurrentIndex(cbASIOout->count() > 0 ? 0 : -1);
  FASIOHost1->SetOutputChannelOffset(0);
}

void TfrmKeyer::SetCheckBox5(bool Checked) {
  CheckBox[5]->setChecked(Checked);
}
void TfrmKeyer::SetCheckBox6(bool Checked) {
  CheckBox[6]->setChecked(Checked);
}
void TfrmKeyer::SetlabWPMCaption(const std::string& Caption) {
  labWPM->setText(QString::fromStdString(Caption));
}
int32_t TfrmKeyer::tbWPMPosition() {
  return tbWPM->value();
}
int32_t TfrmKeyer::udTonePosition() {
  return udTone->value();
}
std::string TfrmKeyer::ComboBox2Text() {
  return ComboBox2->currentText().toStdString();
}

// The edit box is the up-down control's buddy: a number in range moves the
// position (to the nearest step); anything else leaves it where it was.
void TfrmKeyer::edtToneTextChanged() {
  bool ok = false;
  const int value = edtTone->text().trimmed().toInt(&ok);
  if (!ok || value < kToneMin || value > kToneMax) return;
  const int snapped = kToneMin + (value - kToneMin + kToneStep / 2) / kToneStep * kToneStep;
  if (snapped != udTone->value()) {
    udTone->blockSignals(true);
    udTone->setValue(std::min(snapped, kToneMax));
    udTone->blockSignals(false);
  }
  edtToneChange(this);
}

TfrmKeyer::TPaddleKey TfrmKeyer::PaddleKeyOf(int Key, quint32 NativeVirtualKey,
                                             quint32 NativeScanCode) {
  // X11 key symbols and scan codes of the two Ctrl keys.
  constexpr quint32 kControlL = 0xffe3, kControlR = 0xffe4;
  constexpr quint32 kScanControlL = 37, kScanControlR = 105;
  if (Key == Qt::Key_BracketLeft) return TPaddleKey::Dit;
  if (Key == Qt::Key_BracketRight) return TPaddleKey::Dah;
  if (Key == Qt::Key_Control) {
    if (NativeVirtualKey == kControlL || NativeScanCode == kScanControlL) return TPaddleKey::Dit;
    if (NativeVirtualKey == kControlR || NativeScanCode == kScanControlR) return TPaddleKey::Dah;
  }
  return TPaddleKey::None;
}

void TfrmKeyer::PaddleKey(TPaddleKey Key, bool Pressed) {
  // A closed contact makes its line inactive.
  if (Key == TPaddleKey::Dit) FKeyboardPort->SetDSR(!Pressed);
  if (Key == TPaddleKey::Dah) FKeyboardPort->SetCTS(!Pressed);
}

bool TfrmKeyer::eventFilter(QObject* Watched, QEvent* Event) {
  const QEvent::Type type = Event->type();
  if ((type == QEvent::KeyPress || type == QEvent::KeyRelease) &&
      FSerialPort1->CommPort() == kKeyboardPaddle && isActiveWindow()) {
    auto* key = static_cast<QKeyEvent*>(Event);
    const TPaddleKey paddle =
        PaddleKeyOf(key->key(), key->nativeVirtualKey(), key->nativeScanCode());
    if (paddle != TPaddleKey::None) {
      if (!key->isAutoRepeat()) PaddleKey(paddle, type == QEvent::KeyPress);
      return true;
    }
  }
  return QMainWindow::eventFilter(Watched, Event);
}

}  // namespace app
