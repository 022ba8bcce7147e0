// The Qt window: its widgets follow the form's control table, show what the
// form sets, and raise the form's handlers on the operator's actions only.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSlider>

#include "WindowFixture.h"
#include "app/form/FormLayout.h"
#include "app/qt/fHelpAbout.h"

namespace app::testing {
namespace {

TEST_F(WindowFixture, WidgetsFollowTheControlTable) {
  Create();
  qt::TfrmKeyerWindow& w = *Window;
  EXPECT_EQ(w.windowTitle().toStdString(), "Orlim paddle keyer test rig");
  EXPECT_EQ(w.geometry(), QRect(273, 146, 620, 400));
  for (const TControlDef& def : KeyerControls()) {
    auto* widget = w.findChild<QWidget*>(def.Name);
    ASSERT_NE(widget, nullptr) << def.Name;
    EXPECT_EQ(widget->pos(), QPoint(def.Left, def.Top)) << def.Name;
    if (def.Width > 0) {
      EXPECT_EQ(widget->width(), def.Width) << def.Name;
    }
    if (def.Height > 0) {
      EXPECT_EQ(widget->height(), def.Height) << def.Name;
    }
    EXPECT_EQ(widget->isEnabled(), def.Enabled) << def.Name;
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      EXPECT_EQ(button->text().toStdString(), def.Caption) << def.Name;
    }
  }
  EXPECT_EQ(w.CheckBox[13]->text().toStdString(), "Loopback ");
  const QList<QAction*> menus = w.menuBar()->actions();
  ASSERT_EQ(menus.size(), 3);
  EXPECT_EQ(menus[0]->text().toStdString(), "&File");
  EXPECT_EQ(w.Exit1->text().toStdString(), "E&xit");
  EXPECT_EQ(w.About1->text().toStdString(), "&About...");
}

TEST_F(WindowFixture, StartUpStateShowsInTheWidgets) {
  Create();
  qt::TfrmKeyerWindow& w = *Window;
  EXPECT_TRUE(w.CheckBox[9]->isChecked());
  ASSERT_EQ(w.ComboBox1->count(), 14);
  EXPECT_EQ(w.ComboBox1->currentText().toStdString(), "COM1");
  EXPECT_EQ(w.ComboBox1->itemText(13).toStdString(), kKeyboardPaddle);
  EXPECT_EQ(w.labWPM->text().toStdString(), "20 WPM ( 50.0mS dit)");
  EXPECT_EQ(w.tbWPM->value(), 20);
  EXPECT_TRUE(w.rbIambicB->isChecked());
  EXPECT_EQ(w.edtTone->text().toStdString(), "700");
  EXPECT_EQ(w.udTonePosition(), 700);
  EXPECT_EQ(w.ComboBox2->currentText().toStdString(), "150");
  EXPECT_EQ(w.cbASIOdriver->count(), 1);
  EXPECT_EQ(w.cbASIOdriver->currentIndex(), 0);
  EXPECT_EQ(Latency(), "Buffer size 48 samples, latency 512 samples (10.67 mS)");
  EXPECT_EQ(w.cbASIOout->count(), 1);
}

TEST_F(WindowFixture, DriverEditTextNeverSelectsADriver) {
  Create(2);
  Window->cbASIOdriver->setEditText("Substitute 2");
  EXPECT_EQ(Window->Form().ASIOHost1().DriverIndex(), 0);
  EXPECT_EQ(Factory.Created(), 1u);
}

TEST_F(WindowFixture, OperatingTheWidgetsRaisesTheFormsHandlers) {
  Create();
  qt::TfrmKeyerWindow& w = *Window;
  TfrmKeyer& f = w.Form();
  // A port that fails, then one that opens; DTR follows its box.
  w.ComboBox1->setCurrentIndex(2);  // COM3 does not exist
  EXPECT_FALSE(f.SerialPort1().Active());
  w.ComboBox1->setCurrentIndex(1);  // COM2
  EXPECT_TRUE(Devices.Port("COM2")->IsOpen());
  w.CheckBox[9]->click();
  EXPECT_FALSE(Devices.Port("COM2")->DTR());
  EXPECT_FALSE(w.CheckBox[9]->isChecked());
  // Speed, key filter and modes.
  w.tbWPM->setValue(60);
  EXPECT_EQ(w.labWPM->text().toStdString(), "60 WPM ( 16.7mS dit)");
  w.ComboBox2->setCurrentIndex(5);
  EXPECT_EQ(f.dspIIRFilter1().Frequency1(), 250);
  w.rbIambicA->click();
  EXPECT_FALSE(f.Keyer().IambicB());
  w.rbStraightKey->click();
  EXPECT_TRUE(f.Keyer().StraightKey());
  // The tone's buddy box moves the tone as it is typed.
  w.edtTone->setText("855");
  EXPECT_EQ(f.Keyer().Tone(), 860);
  EXPECT_EQ(w.udTonePosition(), 860);
  w.edtTone->setText("abc");
  EXPECT_EQ(f.Keyer().Tone(), 860);
}

TEST_F(WindowFixture, ShowingTheWindowStartsTheKeyingLoopWithoutAnActivation) {
  // No window manager gives the offscreen window the focus.
  Create();
  int sleeps = 0;
  Clock.SetOnSleep([&](uint32_t) {
    if (++sleeps == 5) Window->close();
  });
  Window->show();
  ASSERT_TRUE(PumpUntil([&] { return Window->Form().LoopRunning() && Window->Form().Closing(); }));
  EXPECT_GE(sleeps, 5);
  EXPECT_FALSE(Window->Form().ASIOHost1().Active());
}

TEST(HelpAbout, BoxLayoutAndButton) {
  qt::TfrmHelpAbout about;
  EXPECT_EQ(about.windowTitle().toStdString(), "Help | about");
  EXPECT_EQ(about.geometry(), QRect(246, 164, 322, 217));
  EXPECT_TRUE(about.btnOK->isDefault());
  EXPECT_EQ(about.btnOK->text().toStdString(), "OK");
  EXPECT_FALSE(about.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(about.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(about.Lines[0]->text().toStdString(), AboutLines()[0]);
  for (QLabel* line : about.Lines)
    EXPECT_FALSE(line->text().isEmpty());
  about.show();
  about.btnOK->click();
  EXPECT_FALSE(about.isVisible());
  EXPECT_EQ(about.result(), QDialog::Accepted);
}

}  // namespace
}  // namespace app::testing
