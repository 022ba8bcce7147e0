#pragma once
// What the main window's form needs of the toolkit: its controls, named as
// the form names them, and the few window operations. A front end
// implements it over real widgets; the form's tests over plain fields.
//
// Setters change what a control shows and never raise the control's
// handler: only the operator's own actions do that.
#include <cstdint>
#include <string>
#include <vector>

#include "core/StatusChannel.h"
#include "keyer/Keyer.h"

namespace app {

class IKeyerFormView : public keyer::IKeyerView {
 public:
  // CheckBox1 .. CheckBox16, by number.
  virtual void SetCheckBoxChecked(int Number, bool Checked) = 0;
  virtual bool CheckBoxChecked(int Number) = 0;
  // A disabled (greyed) box shows that its state is not known.
  virtual void SetCheckBoxEnabled(int Number, bool Enabled) = 0;

  virtual void SetComboBox1Items(const std::vector<std::string>& Items) = 0;
  virtual void SetComboBox1ItemIndex(int Index) = 0;
  virtual std::string ComboBox1Text() = 0;

  virtual void SetcbASIOdriverItems(const std::vector<std::string>& Items) = 0;
  virtual void SetcbASIOdriverItemIndex(int Index) = 0;  // -1: none
  virtual int cbASIOdriverItemIndex() = 0;

  virtual void SetlabLatencyCaption(const std::string& Caption) = 0;

  virtual void SetcbASIOoutItems(const std::vector<std::string>& Items) = 0;
  virtual void SetcbASIOoutItemIndex(int Index) = 0;

  virtual void SetComboBox2Items(const std::vector<std::string>& Items) = 0;
  virtual void SetComboBox2ItemIndex(int Index) = 0;

  virtual void SetudTonePosition(int32_t Position) = 0;
  virtual std::string edtToneText() = 0;
  virtual void SetedtToneText(const std::string& Text) = 0;

  virtual void SettbWPMPosition(int32_t Position) = 0;

  // Mode radio buttons: 0 straight key, 1 iambic A, 2 iambic B.
  virtual void SetModeChecked(int Mode) = 0;

  // The status line: the newest record in words, coloured by severity,
  // and the recent ones, newest first, for a look back.
  virtual void SetStatusLine(const std::string& Text, core::TStatusSeverity Severity,
                             const std::vector<std::string>& Recent) = 0;

  // Window operations.
  virtual void ShowAboutBox() = 0;  // modal; returns when it closes
  // Opens (or raises) the timing scope beside the window; not modal. The
  // front end calls the form's TimingScopeClosed when it closes.
  virtual void ShowTimingScope() = 0;
  // Shows whether a recording runs (the Record menu item, the scope's
  // Record button).
  virtual void SetRecording(bool On) = 0;
  virtual void CloseWindow() = 0;  // as the title bar's close box
  virtual bool IsActiveWindow() = 0;

  // keyer::IKeyerView, in terms of the above where they overlap.
  void SetCheckBox5(bool Checked) override { SetCheckBoxChecked(5, Checked); }
  void SetCheckBox6(bool Checked) override { SetCheckBoxChecked(6, Checked); }
};

}  // namespace app
