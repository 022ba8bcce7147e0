#pragma once
// The main window in plain Win32 controls, built from the form's control
// table, and the view the form drives. The form owns the components and
// every handler; this class only turns control notifications into handler
// calls and the view's setters into control messages.
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "app/form/KeyerView.h"
#include "app/form/fKeyer.h"

// The system's headers define macros under names the rig's own headers
// declare as constants (WAIT_FAILED, EV_CTS ...): they come last.
#include "app/win32/Win32MessagePump.h"

namespace app::win32 {

class TfrmKeyerWindow final : public IKeyerFormView {
 public:
  // Creates the window hidden; Show makes it visible and queues the first
  // activation (which enters the keying loop).
  explicit TfrmKeyerWindow(TKeyerPlatform Platform);
  ~TfrmKeyerWindow() override;
  TfrmKeyerWindow(const TfrmKeyerWindow&) = delete;
  TfrmKeyerWindow& operator=(const TfrmKeyerWindow&) = delete;

  void Show(int CmdShow);
  HWND Handle() const { return FWindow; }
  TfrmKeyer& Form() { return *FForm; }
  // Chooses a port list entry as the operator would.
  bool ChoosePort(const std::string& Name);
  // Lines describing every control's state, and a log of the paddle lines
  // and status texts as they change (for tests; nullptr: none).
  std::string DumpState();
  void SetStateLog(std::FILE* Log) { FStateLog = Log; }

  // The keyboard paddle, ahead of every control.
  static bool FilterKey(const MSG& Message);

  // IKeyerFormView.
  void SetCheckBoxChecked(int Number, bool Checked) override;
  bool CheckBoxChecked(int Number) override;
  void SetCheckBoxEnabled(int Number, bool Enabled) override;
  void SetComboBox1Items(const std::vector<std::string>& Items) override;
  void SetComboBox1ItemIndex(int Index) override;
  std::string ComboBox1Text() override;
  void SetcbASIOdriverItems(const std::vector<std::string>& Items) override;
  void SetcbASIOdriverItemIndex(int Index) override;
  int cbASIOdriverItemIndex() override;
  void SetlabLatencyCaption(const std::string& Caption) override;
  void SetcbASIOoutItems(const std::vector<std::string>& Items) override;
  void SetcbASIOoutItemIndex(int Index) override;
  void SetComboBox2Items(const std::vector<std::string>& Items) override;
  void SetComboBox2ItemIndex(int Index) override;
  std::string ComboBox2Text() override;
  void SetudTonePosition(int32_t Position) override;
  int32_t udTonePosition() override;
  std::string edtToneText() override;
  void SetedtToneText(const std::string& Text) override;
  void SettbWPMPosition(int32_t Position) override;
  int32_t tbWPMPosition() override;
  void SetlabWPMCaption(const std::string& Caption) override;
  void SetModeChecked(int Mode) override;
  void SetStatusLine(const std::string& Text, core::TStatusSeverity Severity,
                     const std::vector<std::string>& Recent) override;
  void ShowAboutBox() override;
  void ShowTimingScope() override;
  void SetRecording(bool On) override;
  void CloseWindow() override;
  bool IsActiveWindow() override;

 private:
  static LRESULT CALLBACK WindowProc(HWND Window, UINT Message, WPARAM W, LPARAM L);
  static LRESULT CALLBACK ToneEditProc(HWND Edit, UINT Message, WPARAM W, LPARAM L, UINT_PTR Id,
                                       DWORD_PTR Data);
  LRESULT Handle(UINT Message, WPARAM W, LPARAM L);
  void CreateControls();
  void Command(int Id, int Code);
  HWND Control(const char* Name) const { return FControls.at(Name); }
  HWND CheckBox(int Number) const;
  // The width of Text in Font, in pixels.
  int TextWidth(HWND Control, HFONT Font, const std::wstring& Text) const;
  void Log(const std::string& Line);

  HWND FWindow = nullptr;
  HWND FStatusLine = nullptr;
  HWND FStatusTip = nullptr;  // the recent records, on hovering the line
  std::wstring FStatusTipText;
  HMENU FMenu = nullptr;
  HFONT FFont = nullptr;
  // A narrower cut of FFont for a caption wider than its slot.
  HFONT FNarrowFont = nullptr;
  std::map<std::string, HWND> FControls;
  std::map<int, std::string> FNames;  // control id -> name
  std::unique_ptr<TfrmKeyer> FForm;
  TWin32MessagePump FPump;
  core::TStatusSeverity FSeverity = core::svInfo;
  // Set while a setter changes a control that notifies on any change.
  bool FQuiet = false;
  bool FActivationQueued = false;
  std::FILE* FStateLog = nullptr;
};

}  // namespace app::win32
