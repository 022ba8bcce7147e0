#include <algorithm>
#include <stdexcept>
#include <string_view>

#include "app/form/FormLayout.h"
#include "core/MainThread.h"

// The system's headers last (see fKeyerWindow.h).
#include "app/win32/fKeyerWindow.h"

#include <commctrl.h>

namespace app::win32 {

namespace {

constexpr wchar_t kWindowClass[] = L"TfrmKeyer";
// Posted messages: the first activation, and a wake for main-thread calls.
constexpr UINT kActivateMessage = WM_APP + 1;
constexpr UINT kWakeMessage = WM_APP + 2;
constexpr UINT_PTR kIdleTimer = 1;
constexpr UINT_PTR kToneEditSubclass = 1;
constexpr int kFirstControlId = 1000;
constexpr int kStatusHeight = 20;
// Menu item ids, in the menu table's order.
constexpr int kFirstMenuId = 100;

TfrmKeyerWindow* gWindow = nullptr;

std::wstring Wide(const std::string& S) {
  if (S.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, S.data(), static_cast<int>(S.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, S.data(), static_cast<int>(S.size()), w.data(), n);
  return w;
}

std::string Narrow(const std::wstring& W) {
  if (W.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, W.data(), static_cast<int>(W.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, W.data(), static_cast<int>(W.size()), s.data(), n, nullptr,
                      nullptr);
  return s;
}

std::string WindowText(HWND Control) {
  const int n = GetWindowTextLengthW(Control);
  std::wstring w(static_cast<size_t>(n) + 1, L'\0');
  GetWindowTextW(Control, w.data(), n + 1);
  w.resize(static_cast<size_t>(n));
  return Narrow(w);
}

void SetItems(HWND Box, const std::vector<std::string>& Items) {
  SendMessageW(Box, CB_RESETCONTENT, 0, 0);
  for (const std::string& item : Items)
    SendMessageW(Box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(item).c_str()));
}

// The name of the menu item with this id.
const char* MenuName(int Id) {
  const auto menu = KeyerMenu();
  const int i = Id - kFirstMenuId;
  return i >= 0 && i < static_cast<int>(menu.size()) ? menu[static_cast<size_t>(i)].Name : "";
}

int MenuId(const char* Name) {
  const auto menu = KeyerMenu();
  for (size_t i = 0; i < menu.size(); ++i)
    if (std::string(menu[i].Name) == Name) return kFirstMenuId + static_cast<int>(i);
  return 0;
}

}  // namespace

TfrmKeyerWindow::TfrmKeyerWindow(TKeyerPlatform Platform) {
  INITCOMMONCONTROLSEX common{sizeof(common),
                              ICC_BAR_CLASSES | ICC_UPDOWN_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&common);
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW cls{};
  cls.cbSize = sizeof(cls);
  cls.lpfnWndProc = WindowProc;
  cls.hInstance = instance;
  cls.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  cls.hIcon = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
  cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  cls.lpszClassName = kWindowClass;
  RegisterClassExW(&cls);

  gWindow = this;
  // The table's size is the client area's, menu included in the frame.
  RECT r{0, 0, kWindowWidth, kWindowHeight};
  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
  AdjustWindowRect(&r, style, TRUE);
  FWindow = CreateWindowExW(WS_EX_CONTROLPARENT, kWindowClass, Wide(kWindowCaption).c_str(), style,
                            kWindowLeft, kWindowTop, r.right - r.left, r.bottom - r.top, nullptr,
                            nullptr, instance, nullptr);
  if (FWindow == nullptr) throw std::runtime_error("the main window could not be created");
  CreateControls();
  InstallMessagePump(FWindow, kWakeMessage, FilterKey);
  FForm = std::make_unique<TfrmKeyer>(*this, FPump, std::move(Platform));
  // Delayed main-thread calls and status records while the keying loop is
  // not pumping (before the first activation, under a modal box).
  SetTimer(FWindow, kIdleTimer, 100, nullptr);
}

TfrmKeyerWindow::~TfrmKeyerWindow() {
  if (FWindow != nullptr) KillTimer(FWindow, kIdleTimer);
  FForm.reset();
  RemoveMessagePump();
  if (FWindow != nullptr) DestroyWindow(FWindow);
  if (FFont != nullptr) DeleteObject(FFont);
  if (FNarrowFont != nullptr) DeleteObject(FNarrowFont);
  gWindow = nullptr;
}

void TfrmKeyerWindow::CreateControls() {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  HDC dc = GetDC(FWindow);
  const int height = -MulDiv(kWindowFontPoints, GetDeviceCaps(dc, LOGPIXELSY), 72);
  ReleaseDC(FWindow, dc);
  FFont = CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                      OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                      DEFAULT_PITCH | FF_DONTCARE, Wide(kWindowFontFamily).c_str());

  FMenu = CreateMenu();
  std::map<std::string, HMENU> menus;
  const auto menu = KeyerMenu();
  for (size_t i = 0; i < menu.size(); ++i) {
    HMENU& sub = menus[menu[i].Menu];
    if (sub == nullptr) {
      sub = CreatePopupMenu();
      AppendMenuW(FMenu, MF_POPUP, reinterpret_cast<UINT_PTR>(sub), Wide(menu[i].Menu).c_str());
    }
    // This front end has no timing scope yet: its item is shown greyed out
    // rather than one that does nothing.
    const UINT flags =
        MF_STRING | (std::string_view(menu[i].Name) == "TimingScope1" ? MF_GRAYED : 0u);
    AppendMenuW(sub, flags, static_cast<UINT_PTR>(kFirstMenuId + static_cast<int>(i)),
                Wide(menu[i].Item).c_str());
  }
  SetMenu(FWindow, FMenu);

  int id = kFirstControlId;
  bool firstRadio = true;
  for (const TControlDef& def : KeyerControls()) {
    const wchar_t* cls = L"STATIC";
    DWORD style = WS_CHILD | WS_VISIBLE;
    int w = def.Width, h = def.Height;
    switch (def.Kind) {
      case ckLabel:
        style |= SS_LEFTNOWORDWRAP;
        break;
      case ckCheckBox:
        cls = L"BUTTON";
        style |= BS_AUTOCHECKBOX | WS_TABSTOP;
        break;
      case ckComboList:
      case ckComboEdit:
        cls = L"COMBOBOX";
        style |= (def.Kind == ckComboList ? CBS_DROPDOWNLIST : CBS_DROPDOWN | CBS_AUTOHSCROLL) |
                 WS_VSCROLL | WS_TABSTOP;
        h = 200;  // the height of the open list
        break;
      case ckButton:
        cls = L"BUTTON";
        style |= BS_PUSHBUTTON | WS_TABSTOP;
        break;
      case ckEdit:
        cls = L"EDIT";
        style |= ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP;
        break;
      case ckUpDown:
        cls = UPDOWN_CLASSW;
        style |= UDS_ARROWKEYS;
        break;
      case ckTrackBar:
        cls = TRACKBAR_CLASSW;
        style |= TBS_AUTOTICKS | TBS_BOTTOM | WS_TABSTOP;
        break;
      case ckRadioButton:
        cls = L"BUTTON";
        style |= BS_AUTORADIOBUTTON | (firstRadio ? WS_GROUP | WS_TABSTOP : 0);
        firstRadio = false;
        break;
    }
    if (w == 0) w = 60;
    if (h == 0) h = def.Kind == ckComboList || def.Kind == ckComboEdit ? 200 : 17;
    if (!def.Enabled) style |= WS_DISABLED;
    HWND c =
        CreateWindowExW(0, cls, Wide(def.Caption).c_str(), style, def.Left, def.Top, w, h, FWindow,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
    SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(FFont), FALSE);
    FControls[def.Name] = c;
    FNames[id] = def.Name;
    ++id;
    if (def.Kind == ckRadioButton && def.Checked) SendMessageW(c, BM_SETCHECK, BST_CHECKED, 0);
  }
  // Labels of natural width: as wide as their caption.
  dc = GetDC(FWindow);
  HGDIOBJ old = SelectObject(dc, FFont);
  for (const TControlDef& def : KeyerControls()) {
    if (def.Kind != ckLabel || def.Width != 0) continue;
    const std::wstring caption = Wide(def.Caption);
    SIZE size{};
    GetTextExtentPoint32W(dc, caption.c_str(), static_cast<int>(caption.size()), &size);
    SetWindowPos(Control(def.Name), nullptr, 0, 0, size.cx + 4, size.cy + 2,
                 SWP_NOMOVE | SWP_NOZORDER);
  }
  SelectObject(dc, old);
  ReleaseDC(FWindow, dc);

  HWND ud = Control("udTone");
  SendMessageW(ud, UDM_SETRANGE32, kToneMin, kToneMax);
  SendMessageW(ud, UDM_SETPOS32, 0, kToneInitial);
  HWND tb = Control("tbWPM");
  SendMessageW(tb, TBM_SETRANGEMIN, FALSE, kWPMMin);
  SendMessageW(tb, TBM_SETRANGEMAX, FALSE, kWPMMax);
  SendMessageW(tb, TBM_SETTICFREQ, kWPMTickEvery, 0);
  SendMessageW(tb, TBM_SETPOS, TRUE, kWPMInitial);
  SetWindowSubclass(Control("edtTone"), ToneEditProc, kToneEditSubclass,
                    reinterpret_cast<DWORD_PTR>(this));

  // The status line across the bottom of the client area.
  FStatusLine =
      CreateWindowExW(WS_EX_STATICEDGE, L"STATIC", L"",
                      WS_CHILD | WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_CENTERIMAGE | SS_NOTIFY, 0,
                      kWindowHeight - kStatusHeight, kWindowWidth, kStatusHeight, FWindow, nullptr,
                      instance, nullptr);
  SendMessageW(FStatusLine, WM_SETFONT, reinterpret_cast<WPARAM>(FFont), FALSE);
  FStatusTip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX,
                               CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, FWindow,
                               nullptr, instance, nullptr);
  TOOLINFOW tool{};
  tool.cbSize = sizeof(tool);
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = FWindow;
  tool.uId = reinterpret_cast<UINT_PTR>(FStatusLine);
  tool.lpszText = const_cast<wchar_t*>(L"");
  SendMessageW(FStatusTip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  // Several lines: one record each.
  SendMessageW(FStatusTip, TTM_SETMAXTIPWIDTH, 0, kWindowWidth);
}

void TfrmKeyerWindow::Show(int CmdShow) {
  ShowWindow(FWindow, CmdShow);
  UpdateWindow(FWindow);
  // Showing counts as the first activation: without a window manager no
  // activation may ever come, and the keyer must run anyway.
  if (!FActivationQueued) {
    FActivationQueued = true;
    PostMessageW(FWindow, kActivateMessage, 0, 0);
  }
}

bool TfrmKeyerWindow::ChoosePort(const std::string& Name) {
  HWND box = Control("ComboBox1");
  const LRESULT i = SendMessageW(box, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                 reinterpret_cast<LPARAM>(Wide(Name).c_str()));
  if (i == CB_ERR) return false;
  SendMessageW(box, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
  FForm->ComboBox1Change();
  return true;
}

HWND TfrmKeyerWindow::CheckBox(int Number) const {
  return Number >= 1 && Number <= 16 ? Control(("CheckBox" + std::to_string(Number)).c_str())
                                     : nullptr;
}

void TfrmKeyerWindow::Log(const std::string& Line) {
  if (FStateLog == nullptr) return;
  std::fprintf(FStateLog, "%s\n", Line.c_str());
  std::fflush(FStateLog);
}

std::string TfrmKeyerWindow::DumpState() {
  std::string out;
  const auto line = [&out](const std::string& Name, const std::string& Value) {
    out += Name + "=" + Value + "\n";
  };
  line("Caption", WindowText(FWindow));
  for (int n = 1; n <= 16; ++n) {
    HWND box = CheckBox(n);
    line("CheckBox" + std::to_string(n),
         std::string(CheckBoxChecked(n) ? "1" : "0") + (IsWindowEnabled(box) ? "" : " disabled"));
  }
  line("ComboBox1", ComboBox1Text());
  line("cbASIOdriver", WindowText(Control("cbASIOdriver")));
  line("cbASIOdriverItems",
       std::to_string(SendMessageW(Control("cbASIOdriver"), CB_GETCOUNT, 0, 0)));
  line("labLatency", WindowText(Control("labLatency")));
  line("cbASIOout", WindowText(Control("cbASIOout")));
  line("ComboBox2", ComboBox2Text());
  line("edtTone", edtToneText());
  line("udTone", std::to_string(udTonePosition()));
  line("tbWPM", std::to_string(tbWPMPosition()));
  {
    HWND label = Control("labWPM");
    const std::string caption = WindowText(label);
    RECT slot{};
    GetClientRect(label, &slot);
    const HFONT font = reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0));
    line("labWPM",
         caption + (TextWidth(label, font, Wide(caption)) > slot.right ? " (clipped)" : ""));
  }
  for (const char* name : {"rbStraightKey", "rbIambicA", "rbIambicB"})
    line(name, SendMessageW(Control(name), BM_GETCHECK, 0, 0) == BST_CHECKED ? "1" : "0");
  line("StatusLine", WindowText(FStatusLine));
  return out;
}

bool TfrmKeyerWindow::FilterKey(const MSG& Message) {
  TfrmKeyerWindow* self = gWindow;
  if (self == nullptr || !self->FForm) return false;
  const UINT m = Message.message;
  const bool down = m == WM_KEYDOWN || m == WM_SYSKEYDOWN;
  if (!down && m != WM_KEYUP && m != WM_SYSKEYUP) return false;
  if (Message.hwnd != self->FWindow && !IsChild(self->FWindow, Message.hwnd)) return false;
  TFormKey key = kyOther;
  switch (Message.wParam) {
    case VK_OEM_4:
      key = kyBracketLeft;
      break;
    case VK_OEM_6:
      key = kyBracketRight;
      break;
    case VK_CONTROL:
    case VK_LCONTROL:
    case VK_RCONTROL:
      // Bit 24: the extended key, which is the right one.
      key = (Message.lParam & (1 << 24)) != 0 || Message.wParam == VK_RCONTROL ? kyRightCtrl
                                                                               : kyLeftCtrl;
      break;
    default:
      return false;
  }
  // AltGr comes as a left Control with no extended bit and then the right
  // Alt, both stamped with one time (wine sends Right Ctrl the same way):
  // that left Control is no key of the operator's.
  if (key == kyLeftCtrl) {
    MSG next;
    if (PeekMessageW(&next, nullptr, m, m, PM_NOREMOVE) && next.time == Message.time &&
        (next.wParam == VK_MENU || next.wParam == VK_CONTROL) && (next.lParam & (1 << 24)) != 0)
      return false;
  }
  // Bit 30: the key was down before, so this press is an auto-repeat.
  const bool repeat = down && (Message.lParam & (1 << 30)) != 0;
  return self->FForm->KeyEvent(key, down, repeat);
}

LRESULT CALLBACK TfrmKeyerWindow::WindowProc(HWND Window, UINT Message, WPARAM W, LPARAM L) {
  TfrmKeyerWindow* self = gWindow;
  if (self != nullptr && self->FWindow == Window) return self->Handle(Message, W, L);
  return DefWindowProcW(Window, Message, W, L);
}

LRESULT CALLBACK TfrmKeyerWindow::ToneEditProc(HWND Edit, UINT Message, WPARAM W, LPARAM L,
                                               UINT_PTR, DWORD_PTR Data) {
  auto* self = reinterpret_cast<TfrmKeyerWindow*>(Data);
  if (Message == WM_KEYDOWN && self->FForm) {
    if (W == VK_UP || W == VK_DOWN) {
      self->FForm->udToneClick(W == VK_UP ? btNext : btPrev);
      return 0;
    }
    if (W == VK_RETURN) {
      self->FForm->edtToneExit();
      return 0;
    }
  }
  if (Message == WM_CHAR && W == L'\r') return 0;  // no beep
  return DefSubclassProc(Edit, Message, W, L);
}

LRESULT TfrmKeyerWindow::Handle(UINT Message, WPARAM W, LPARAM L) {
  switch (Message) {
    case kActivateMessage:
      FActivationQueued = false;
      if (FForm && !FForm->LoopRunning() && !FForm->Closing()) {
        Log("KeyingLoop=1");
        FForm->FormActivate();
      }
      return 0;
    case kWakeMessage:
      core::MainThread::CheckSynchronize();
      return 0;
    case WM_TIMER:
      if (W == kIdleTimer && FForm) {
        core::MainThread::CheckSynchronize();
        FForm->CheckStatus();
      }
      return 0;
    case WM_ACTIVATE:
      if (!FForm) break;
      if (LOWORD(W) == WA_INACTIVE) {
        FForm->WindowDeactivated();
      } else if (!FForm->LoopRunning() && !FActivationQueued) {
        // Enter the loop from the message loop, not inside this dispatch.
        FActivationQueued = true;
        PostMessageW(FWindow, kActivateMessage, 0, 0);
      }
      break;
    case WM_COMMAND:
      Command(LOWORD(W), HIWORD(W));
      return 0;
    case WM_HSCROLL:
      if (FForm && reinterpret_cast<HWND>(L) == Control("tbWPM") && !FQuiet) FForm->tbWPMChange();
      return 0;
    case WM_NOTIFY: {
      const auto* hdr = reinterpret_cast<const NMHDR*>(L);
      if (FForm && hdr->hwndFrom == Control("udTone") && hdr->code == UDN_DELTAPOS) {
        // The form makes every step; the control only reports the arrow.
        const auto* ud = reinterpret_cast<const NMUPDOWN*>(L);
        FForm->udToneClick(ud->iDelta > 0 ? btNext : btPrev);
        return TRUE;
      }
      break;
    }
    case WM_CTLCOLORSTATIC:
      if (reinterpret_cast<HWND>(L) == FStatusLine) {
        HDC dc = reinterpret_cast<HDC>(W);
        SetTextColor(dc, FSeverity == core::svError     ? RGB(0xb0, 0, 0)
                         : FSeverity == core::svWarning ? RGB(0x8a, 0x50, 0)
                                                        : GetSysColor(COLOR_WINDOWTEXT));
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
      }
      break;
    case WM_CLOSE:
      // Closing ends the keying loop; the loop's own return then lets the
      // message loop see the quit.
      if (FForm) FForm->FormClose();
      ShowWindow(FWindow, SW_HIDE);
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(FWindow, Message, W, L);
}

void TfrmKeyerWindow::Command(int Id, int Code) {
  if (!FForm) return;
  const std::string menu = MenuName(Id);
  if (menu == "Exit1") return FForm->Exit1Click();
  if (menu == "About1") return FForm->About1Click();
  if (menu == "TimingScope1") return FForm->TimingScope1Click();
  if (menu == "Record1") return FForm->Record1Click();
  // The dialog keys turn Enter into IDOK: in the tone box it ends editing.
  if (Id == IDOK && GetFocus() == Control("edtTone")) return FForm->edtToneExit();
  const auto it = FNames.find(Id);
  if (it == FNames.end() || FQuiet) return;
  const std::string& name = it->second;
  if (name == "CheckBox9" && Code == BN_CLICKED) FForm->CheckBox9Click();
  if (name == "ComboBox1" && Code == CBN_SELCHANGE) FForm->ComboBox1Change();
  if (name == "cbASIOdriver" && (Code == CBN_SELCHANGE || Code == CBN_EDITCHANGE))
    FForm->cbASIOdriverChange();
  if (name == "btnControlPanel" && Code == BN_CLICKED) FForm->btnControlPanelClick();
  if (name == "ComboBox2" && Code == CBN_SELCHANGE) FForm->ComboBox2Change();
  if (name == "edtTone" && Code == EN_CHANGE) FForm->edtToneChange();
  if (name == "edtTone" && Code == EN_KILLFOCUS) FForm->edtToneExit();
  if (name == "rbStraightKey" && Code == BN_CLICKED) FForm->rbStraightKeyClick();
  if (name == "rbIambicA" && Code == BN_CLICKED) FForm->rbIambicAClick();
  if (name == "rbIambicB" && Code == BN_CLICKED) FForm->rbIambicBClick();
}

void TfrmKeyerWindow::SetCheckBoxChecked(int Number, bool Checked) {
  HWND box = CheckBox(Number);
  if (box == nullptr) return;
  if ((Number == 5 || Number == 6) && CheckBoxChecked(Number) != Checked)
    Log("CheckBox" + std::to_string(Number) + "=" + (Checked ? "1" : "0"));
  SendMessageW(box, BM_SETCHECK, Checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool TfrmKeyerWindow::CheckBoxChecked(int Number) {
  HWND box = CheckBox(Number);
  return box != nullptr && SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void TfrmKeyerWindow::SetCheckBoxEnabled(int Number, bool Enabled) {
  if (HWND box = CheckBox(Number)) EnableWindow(box, Enabled);
}

void TfrmKeyerWindow::SetComboBox1Items(const std::vector<std::string>& Items) {
  SetItems(Control("ComboBox1"), Items);
}

void TfrmKeyerWindow::SetComboBox1ItemIndex(int Index) {
  SendMessageW(Control("ComboBox1"), CB_SETCURSEL, static_cast<WPARAM>(Index), 0);
}

std::string TfrmKeyerWindow::ComboBox1Text() {
  return WindowText(Control("ComboBox1"));
}

void TfrmKeyerWindow::SetcbASIOdriverItems(const std::vector<std::string>& Items) {
  FQuiet = true;
  SetItems(Control("cbASIOdriver"), Items);
  FQuiet = false;
}

void TfrmKeyerWindow::SetcbASIOdriverItemIndex(int Index) {
  FQuiet = true;
  SendMessageW(Control("cbASIOdriver"), CB_SETCURSEL, static_cast<WPARAM>(Index), 0);
  FQuiet = false;
}

int TfrmKeyerWindow::cbASIOdriverItemIndex() {
  return static_cast<int>(SendMessageW(Control("cbASIOdriver"), CB_GETCURSEL, 0, 0));
}

void TfrmKeyerWindow::SetlabLatencyCaption(const std::string& Caption) {
  SetWindowTextW(Control("labLatency"), Wide(Caption).c_str());
}

void TfrmKeyerWindow::SetcbASIOoutItems(const std::vector<std::string>& Items) {
  FQuiet = true;
  SetItems(Control("cbASIOout"), Items);
  FQuiet = false;
}

void TfrmKeyerWindow::SetcbASIOoutItemIndex(int Index) {
  FQuiet = true;
  SendMessageW(Control("cbASIOout"), CB_SETCURSEL, static_cast<WPARAM>(Index), 0);
  FQuiet = false;
}

void TfrmKeyerWindow::SetComboBox2Items(const std::vector<std::string>& Items) {
  SetItems(Control("ComboBox2"), Items);
}

void TfrmKeyerWindow::SetComboBox2ItemIndex(int Index) {
  SendMessageW(Control("ComboBox2"), CB_SETCURSEL, static_cast<WPARAM>(Index), 0);
}

std::string TfrmKeyerWindow::ComboBox2Text() {
  return WindowText(Control("ComboBox2"));
}

void TfrmKeyerWindow::SetudTonePosition(int32_t Position) {
  SendMessageW(Control("udTone"), UDM_SETPOS32, 0, Position);
}

int32_t TfrmKeyerWindow::udTonePosition() {
  return static_cast<int32_t>(SendMessageW(Control("udTone"), UDM_GETPOS32, 0, 0));
}

std::string TfrmKeyerWindow::edtToneText() {
  return WindowText(Control("edtTone"));
}

void TfrmKeyerWindow::SetedtToneText(const std::string& Text) {
  FQuiet = true;
  SetWindowTextW(Control("edtTone"), Wide(Text).c_str());
  FQuiet = false;
}

void TfrmKeyerWindow::SettbWPMPosition(int32_t Position) {
  FQuiet = true;
  SendMessageW(Control("tbWPM"), TBM_SETPOS, TRUE, Position);
  FQuiet = false;
}

int32_t TfrmKeyerWindow::tbWPMPosition() {
  return static_cast<int32_t>(SendMessageW(Control("tbWPM"), TBM_GETPOS, 0, 0));
}

int TfrmKeyerWindow::TextWidth(HWND Control, HFONT Font, const std::wstring& Text) const {
  HDC dc = GetDC(Control);
  HGDIOBJ old = SelectObject(dc, Font);
  SIZE size{};
  GetTextExtentPoint32W(dc, Text.c_str(), static_cast<int>(Text.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(Control, dc);
  return static_cast<int>(size.cx);
}

void TfrmKeyerWindow::SetlabWPMCaption(const std::string& Caption) {
  HWND label = Control("labWPM");
  const std::wstring text = Wide(Caption);
  // The speed's caption ends at the window's edge, and in some cuts of the
  // window's font it is wider than its slot: it is then drawn narrower.
  RECT slot{};
  GetClientRect(label, &slot);
  HFONT font = FFont;
  const int wide = TextWidth(label, FFont, text);
  if (wide > slot.right) {
    if (FNarrowFont == nullptr || TextWidth(label, FNarrowFont, text) > slot.right) {
      LOGFONTW cut{};
      GetObjectW(FFont, sizeof cut, &cut);
      HDC dc = GetDC(label);
      HGDIOBJ old = SelectObject(dc, FFont);
      TEXTMETRICW metrics{};
      GetTextMetricsW(dc, &metrics);
      SelectObject(dc, old);
      ReleaseDC(label, dc);
      cut.lfWidth = std::max<LONG>(1, metrics.tmAveCharWidth * (slot.right - 1) / wide);
      if (HFONT narrower = CreateFontIndirectW(&cut)) {
        // The label lets go of the old cut before it is deleted.
        SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(narrower), FALSE);
        if (FNarrowFont != nullptr) DeleteObject(FNarrowFont);
        FNarrowFont = narrower;
      }
    }
    if (FNarrowFont != nullptr) font = FNarrowFont;
  }
  if (reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)) != font)
    SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  SetWindowTextW(label, text.c_str());
}

void TfrmKeyerWindow::SetModeChecked(int Mode) {
  const char* names[] = {"rbStraightKey", "rbIambicA", "rbIambicB"};
  for (int m = 0; m < 3; ++m)
    SendMessageW(Control(names[m]), BM_SETCHECK, m == Mode ? BST_CHECKED : BST_UNCHECKED, 0);
}

void TfrmKeyerWindow::SetStatusLine(const std::string& Text, core::TStatusSeverity Severity,
                                    const std::vector<std::string>& Recent) {
  FSeverity = Severity;
  std::string tip;
  for (const std::string& line : Recent)
    tip += (tip.empty() ? "" : "\r\n") + line;
  FStatusTipText = Wide(tip);
  TOOLINFOW tool{};
  tool.cbSize = sizeof(tool);
  tool.hwnd = FWindow;
  tool.uId = reinterpret_cast<UINT_PTR>(FStatusLine);
  tool.lpszText = FStatusTipText.data();
  SendMessageW(FStatusTip, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
  SetWindowTextW(FStatusLine, Wide(" " + Text).c_str());
  InvalidateRect(FStatusLine, nullptr, TRUE);
  Log("StatusLine=" + Text);
}

void TfrmKeyerWindow::ShowAboutBox() {
  const auto lines = AboutLines();
  std::string text;
  for (const std::string& line : lines)
    text += line + "\n";
  MessageBoxW(FWindow, Wide(text).c_str(), Wide(kAboutCaption).c_str(), MB_OK | MB_ICONINFORMATION);
}

void TfrmKeyerWindow::ShowTimingScope() {
  // This front end has no scope window; the trace it started stops again.
  FForm->TimingScopeClosed();
}

void TfrmKeyerWindow::SetRecording(bool On) {
  CheckMenuItem(FMenu, static_cast<UINT>(MenuId("Record1")), On ? MF_CHECKED : MF_UNCHECKED);
}

void TfrmKeyerWindow::CloseWindow() {
  SendMessageW(FWindow, WM_CLOSE, 0, 0);
}

bool TfrmKeyerWindow::IsActiveWindow() {
  return GetActiveWindow() == FWindow;
}

}  // namespace app::win32
