#pragma once
// The main window's controls as data: kind, name, place, caption and
// initial state, in creation order. Every front end builds its widgets from
// this table, so the windows agree on captions and places.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace app {

enum TControlKind : uint8_t {
  ckLabel,
  ckCheckBox,
  ckComboList,  // a drop-down list whose text cannot be edited
  ckComboEdit,  // a drop-down list with an editable text
  ckButton,
  ckEdit,
  ckUpDown,
  ckTrackBar,
  ckRadioButton
};

// Positions are left, top in pixels of the window's client area. A width or
// height of 0 means the toolkit's natural size for the caption.
struct TControlDef {
  TControlKind Kind;
  const char* Name;
  int Left;
  int Top;
  int Width;
  int Height;
  const char* Caption;
  bool Enabled = true;
  bool Checked = false;
};

inline constexpr const char* kWindowCaption = "Orlim paddle keyer test rig";
inline constexpr int kWindowLeft = 273, kWindowTop = 146, kWindowWidth = 620, kWindowHeight = 400;
inline constexpr const char* kWindowFontFamily = "Tahoma";
inline constexpr int kWindowFontPoints = 8;

// The controls in creation order; CheckBox1 .. CheckBox16 are numbered by
// their names.
std::span<const TControlDef> KeyerControls();
const TControlDef* FindControl(const std::string& Name);

// The fixed item lists.
std::vector<std::string> KeyFilterItems();  // ComboBox2: "25" ... "250"
inline constexpr int kKeyFilterIndex = 3;   // "150"

// The up-down control of the tone and the speed track bar.
inline constexpr int kToneMin = 500, kToneMax = 1000, kToneStep = 10, kToneInitial = 700;
inline constexpr int kWPMMin = 5, kWPMMax = 60, kWPMInitial = 20, kWPMTickEvery = 5;

// The menu: "&File" with "E&xit" (Exit1), "&View" with "&Timing scope"
// (TimingScope1) and "&Record" (Record1, checkable), "&Help" with
// "&About..." (About1).
struct TMenuDef {
  const char* Menu;
  const char* Item;
  const char* Name;
};
std::span<const TMenuDef> KeyerMenu();

// The About box.
inline constexpr const char* kAboutCaption = "Help | about";
inline constexpr int kAboutLeft = 246, kAboutTop = 164, kAboutWidth = 322, kAboutHeight = 217;
inline constexpr const char* kAboutFontFamily = "MS Sans Serif";
// The product line (with the program's version) and the three credit lines.
std::array<std::string, 4> AboutLines();
// The program's name and version, as the build gives them.
const char* ProgramVersion();

}  // namespace app
