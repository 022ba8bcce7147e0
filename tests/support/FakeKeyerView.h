#pragma once
// The main window's controls as plain fields, for the form's tests: what
// the form set can be read back, and a test "operates" a control by setting
// its field and raising the form's handler, as a front end would.
#include <functional>
#include <string>
#include <vector>

#include "app/form/FormLayout.h"
#include "app/form/KeyerView.h"

namespace app::testing {

class TFakeKeyerView : public IKeyerFormView {
 public:
  TFakeKeyerView() {
    for (int n = 1; n <= 16; ++n) {
      const TControlDef* def = FindControl("CheckBox" + std::to_string(n));
      CheckBoxEnabled[n] = def != nullptr && def->Enabled;
    }
  }

  bool CheckBox[17] = {};
  // Called after each SetCheckBoxChecked, on the thread that set it.
  std::function<void(int, bool)> OnCheckBoxChecked;
  bool CheckBoxEnabled[17] = {};
  std::vector<std::string> ComboBox1Items;
  int ComboBox1Index = -1;
  std::vector<std::string> cbASIOdriverItems;
  int cbASIOdriverIndex = -1;
  std::string cbASIOdriverEditText;  // the text typed into the box
  std::string labLatency = "labLatency";
  std::vector<std::string> cbASIOoutItems;
  int cbASIOoutIndex = -1;
  std::vector<std::string> ComboBox2Items;
  int ComboBox2Index = -1;
  int32_t udTone = kToneInitial;
  std::string edtTone = "700";
  int32_t tbWPM = kWPMInitial;
  std::string labWPM = "WPM";
  int Mode = -1;
  std::string StatusText;
  core::TStatusSeverity StatusSeverity = core::svInfo;
  std::vector<std::string> StatusRecent;
  int StatusLineUpdates = 0;
  int AboutShown = 0;
  int ScopeShown = 0;
  bool RecordingShown = false;
  int CloseRequests = 0;
  bool Active = true;
  std::function<void()> OnCloseWindow;

  void SetCheckBoxChecked(int Number, bool Checked) override {
    CheckBox[Number] = Checked;
    if (OnCheckBoxChecked) OnCheckBoxChecked(Number, Checked);
  }
  bool CheckBoxChecked(int Number) override { return CheckBox[Number]; }
  void SetCheckBoxEnabled(int Number, bool Enabled) override { CheckBoxEnabled[Number] = Enabled; }
  void SetComboBox1Items(const std::vector<std::string>& Items) override { ComboBox1Items = Items; }
  void SetComboBox1ItemIndex(int Index) override { ComboBox1Index = Index; }
  std::string ComboBox1Text() override { return Item(ComboBox1Items, ComboBox1Index); }
  void SetcbASIOdriverItems(const std::vector<std::string>& Items) override {
    cbASIOdriverItems = Items;
  }
  void SetcbASIOdriverItemIndex(int Index) override {
    cbASIOdriverIndex = Index;
    cbASIOdriverEditText = Item(cbASIOdriverItems, Index);
  }
  int cbASIOdriverItemIndex() override { return cbASIOdriverIndex; }
  void SetlabLatencyCaption(const std::string& Caption) override { labLatency = Caption; }
  void SetcbASIOoutItems(const std::vector<std::string>& Items) override { cbASIOoutItems = Items; }
  void SetcbASIOoutItemIndex(int Index) override { cbASIOoutIndex = Index; }
  void SetComboBox2Items(const std::vector<std::string>& Items) override { ComboBox2Items = Items; }
  void SetComboBox2ItemIndex(int Index) override { ComboBox2Index = Index; }
  std::string ComboBox2Text() override { return Item(ComboBox2Items, ComboBox2Index); }
  void SetudTonePosition(int32_t Position) override { udTone = Position; }
  int32_t udTonePosition() override { return udTone; }
  std::string edtToneText() override { return edtTone; }
  void SetedtToneText(const std::string& Text) override { edtTone = Text; }
  void SettbWPMPosition(int32_t Position) override { tbWPM = Position; }
  int32_t tbWPMPosition() override { return tbWPM; }
  void SetlabWPMCaption(const std::string& Caption) override { labWPM = Caption; }
  void SetModeChecked(int Value) override { Mode = Value; }
  void SetStatusLine(const std::string& Text, core::TStatusSeverity Severity,
                     const std::vector<std::string>& Recent) override {
    StatusText = Text;
    StatusSeverity = Severity;
    StatusRecent = Recent;
    ++StatusLineUpdates;
  }
  void ShowAboutBox() override { ++AboutShown; }
  void ShowTimingScope() override { ++ScopeShown; }
  void SetRecording(bool On) override { RecordingShown = On; }
  // A front end's close box runs the form's FormClose; the fixture wires it.
  void CloseWindow() override {
    ++CloseRequests;
    if (OnCloseWindow) OnCloseWindow();
  }
  bool IsActiveWindow() override { return Active; }

 private:
  static std::string Item(const std::vector<std::string>& Items, int Index) {
    return Index >= 0 && static_cast<size_t>(Index) < Items.size()
               ? Items[static_cast<size_t>(Index)]
               : std::string();
  }
};

}  // namespace app::testing
