// The Qt window shows what the rig does, operated through its real widgets:
// mouse clicks at the arrows' places, the wheel, keys, the driver list.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>
#include <QWheelEvent>

#include "WindowFixture.h"
#include "app/form/FormLayout.h"
#include "app/qt/fHelpAbout.h"

namespace app::testing {
namespace {

// The centre of one arrow of the up-down control.
QPoint ArrowAt(QScrollBar* Bar, QStyle::SubControl Arrow) {
  QStyleOptionSlider option;
  option.initFrom(Bar);
  option.orientation = Bar->orientation();
  option.minimum = Bar->minimum();
  option.maximum = Bar->maximum();
  option.sliderPosition = Bar->sliderPosition();
  option.sliderValue = Bar->value();
  option.singleStep = Bar->singleStep();
  option.pageStep = Bar->pageStep();
  option.subControls = QStyle::SC_All;
  return Bar->style()->subControlRect(QStyle::CC_ScrollBar, &option, Arrow, Bar).center();
}

void Click(QScrollBar* Bar, QStyle::SubControl Arrow) {
  const QPoint at = ArrowAt(Bar, Arrow);
  QTest::mousePress(Bar, Qt::LeftButton, Qt::NoModifier, at);
  QTest::mouseRelease(Bar, Qt::LeftButton, Qt::NoModifier, at);
}

void Wheel(QWidget* Target, int Steps) {
  const QPointF at(Target->width() / 2.0, Target->height() / 2.0);
  QWheelEvent wheel(at, Target->mapToGlobal(at), QPoint(), QPoint(0, 120 * Steps), Qt::NoButton,
                    Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(Target, &wheel);
}

// The window is not shown in these tests: showing it enters the keying
// loop, which would then run inside every event the test sends.
TEST_F(WindowFixture, TheToneControlRaisesUpwardsThroughMouseWheelAndKeys) {
  Create();
  qt::TfrmKeyerWindow& w = *Window;
  keyer::TKeyerEngine& k = w.Form().Keyer();
  Click(w.udTone, QStyle::SC_ScrollBarSubLine);  // the upper arrow
  EXPECT_EQ(k.Tone(), 710);
  EXPECT_EQ(w.edtTone->text().toStdString(), "710");
  Click(w.udTone, QStyle::SC_ScrollBarAddLine);  // the lower arrow
  Click(w.udTone, QStyle::SC_ScrollBarAddLine);
  EXPECT_EQ(k.Tone(), 690);
  Wheel(w.udTone, 1);  // turned up
  EXPECT_EQ(k.Tone(), 700);
  Wheel(w.udTone, -1);
  EXPECT_EQ(k.Tone(), 690);
  // Up and Down in the box step too.
  QTest::keyClick(w.edtTone, Qt::Key_Up);
  EXPECT_EQ(k.Tone(), 700);
  QTest::keyClick(w.edtTone, Qt::Key_Down);
  QTest::keyClick(w.edtTone, Qt::Key_Down);
  EXPECT_EQ(k.Tone(), 680);
  EXPECT_EQ(w.edtTone->text().toStdString(), "680");
  // No wrap at the top.
  for (int i = 0; i < 40; ++i)
    Click(w.udTone, QStyle::SC_ScrollBarSubLine);
  EXPECT_EQ(k.Tone(), 1000);
  EXPECT_EQ(w.edtTone->text().toStdString(), "1000");
  // Typed out of range, or not a number: set right when editing ends.
  w.edtTone->selectAll();
  QTest::keyClicks(w.edtTone, "1500");
  EXPECT_EQ(k.Tone(), 1000);
  QTest::keyClick(w.edtTone, Qt::Key_Return);
  EXPECT_EQ(w.edtTone->text().toStdString(), "1000");
  w.edtTone->selectAll();
  QTest::keyClicks(w.edtTone, "6x");
  QFocusEvent leave(QEvent::FocusOut, Qt::TabFocusReason);  // the focus leaves the box
  QApplication::sendEvent(w.edtTone, &leave);
  EXPECT_EQ(k.Tone(), 1000);
  EXPECT_EQ(w.edtTone->text().toStdString(), "1000");
}

TEST_F(WindowFixture, ChoosingADriverFromTheListLoadsIt) {
  Create(2);
  qt::TfrmKeyerWindow& w = *Window;
  QTest::keyClick(w.cbASIOdriver, Qt::Key_Down);  // the next item
  EXPECT_EQ(w.cbASIOdriver->currentIndex(), 1);
  EXPECT_EQ(w.Form().ASIOHost1().DriverIndex(), 1);
  EXPECT_EQ(Factory.Created(), 2u);
  EXPECT_TRUE(w.Form().ASIOHost1().Active());
  ASSERT_TRUE(PumpUntil([&] { return w.StatusLine->text() == "Substitute 2 running"; }));
}

TEST_F(WindowFixture, TheStatusLineSitsInsideTheWindowAndShowsWhatWentWrong) {
  Create();
  qt::TfrmKeyerWindow& w = *Window;
  w.grab();                         // lays the window out
  w.ComboBox1->setCurrentIndex(2);  // COM3 does not exist
  ASSERT_TRUE(PumpUntil([&] { return w.StatusLine->text().startsWith("COM3: cannot open"); }));
  EXPECT_TRUE(w.StatusLine->isVisibleTo(&w));
  const QRect line(w.StatusLine->mapTo(&w, QPoint(0, 0)), w.StatusLine->size());
  EXPECT_TRUE(w.rect().contains(line)) << line.y() << " " << line.height();
  EXPECT_EQ(w.size(), QSize(620, 400));
  // Below every control.
  EXPECT_GE(w.StatusLine->mapTo(&w, QPoint(0, 0)).y(),
            w.rbIambicB->mapTo(&w, QPoint(0, w.rbIambicB->height())).y());
  // Red for an error, the recent records on hover.
  EXPECT_NE(w.StatusLine->styleSheet().indexOf("#b00000"), -1);
  EXPECT_NE(w.StatusLine->toolTip().indexOf("COM1 open"), -1);
  // The line states are unknown: greyed.
  EXPECT_FALSE(w.CheckBox[5]->isEnabled());
  EXPECT_FALSE(w.CheckBox[5]->isChecked());
  EXPECT_FALSE(w.CheckBox[6]->isChecked());
}

TEST_F(WindowFixture, EveryLatencyTextFitsTheWindow) {
  Create();
  qt::TfrmKeyerWindow& w = *Window;
  w.grab();  // lays the window out
  EXPECT_LE(w.labLatency->x() + w.labLatency->width(), w.centralWidget()->width());
  // The longest the format gives: an 8192-sample buffer, five-digit latency.
  for (const char* text : {"Buffer size 8192 samples, latency 99999 samples (2267.55mS)",
                           "Buffer size 8192 samples, latency 99999 samples (12499.88mS)",
                           "Buffer size 48 samples, latency 512 samples (10.67 mS)"}) {
    w.SetlabLatencyCaption(text);
    EXPECT_EQ(w.labLatency->text().toStdString(), text);
    const QFontMetrics metrics(w.labLatency->font());
    EXPECT_LE(metrics.horizontalAdvance(w.labLatency->text()), w.labLatency->width()) << text;
  }
  // Ordinary texts keep the window's font.
  EXPECT_EQ(w.labLatency->font().pointSizeF(), w.font().pointSizeF());
}

TEST(HelpAbout, LinesDoNotOverlapAndTheProductLineCarriesTheVersion) {
  qt::TfrmHelpAbout about;
  about.show();
  QRect previous;
  for (QLabel* line : about.Lines) {
    const QRect r = line->geometry();
    EXPECT_GE(r.height(), line->heightForWidth(r.width())) << line->text().toStdString();
    if (!previous.isNull()) {
      EXPECT_FALSE(previous.intersects(r)) << line->text().toStdString();
    }
    previous = r;
  }
  EXPECT_FALSE(previous.intersects(about.btnOK->geometry()));
  EXPECT_TRUE(about.Lines[0]->text().contains(ProgramVersion()));
}

}  // namespace
}  // namespace app::testing
