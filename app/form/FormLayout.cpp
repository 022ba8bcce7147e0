#include "app/form/FormLayout.h"

#include <cstring>

#ifndef RIG_VERSION
#define RIG_VERSION "0"
#endif

namespace app {

namespace {

// The modem-status column runs evenly from 41 to 207, the modem-control
// column from 64 to 207 below DTR.
constexpr TControlDef kControls[] = {
    {ckLabel, "Label1", 16, 16, 0, 0, "MSR"},
    {ckCheckBox, "CheckBox1", 16, 41, 90, 0, "delta CTS"},
    {ckCheckBox, "CheckBox2", 16, 65, 90, 0, "delta DSR"},
    {ckCheckBox, "CheckBox3", 16, 88, 90, 0, "trailing RI"},
    {ckCheckBox, "CheckBox4", 16, 112, 90, 0, "delta DCD"},
    {ckCheckBox, "CheckBox5", 16, 136, 90, 0, "CTS (dah)"},
    {ckCheckBox, "CheckBox6", 16, 160, 90, 0, "DSR (dit)"},
    {ckCheckBox, "CheckBox7", 16, 183, 90, 0, "RI"},
    {ckCheckBox, "CheckBox8", 16, 207, 90, 0, "CD"},
    {ckLabel, "Label2", 112, 16, 0, 0, "MCR"},
    {ckCheckBox, "CheckBox9", 112, 41, 90, 0, "DTR"},
    {ckCheckBox, "CheckBox10", 112, 64, 90, 0, "RTS"},
    {ckCheckBox, "CheckBox11", 112, 88, 90, 0, "Aux out 1"},
    {ckCheckBox, "CheckBox12", 112, 112, 90, 0, "Aux out 2"},
    {ckCheckBox, "CheckBox13", 112, 136, 90, 0, "Loopback "},
    {ckCheckBox, "CheckBox14", 112, 159, 90, 0, "Autoflow"},
    {ckCheckBox, "CheckBox15", 112, 183, 90, 0, "Reserved", false},
    {ckCheckBox, "CheckBox16", 112, 207, 90, 0, "Reserved", false},
    {ckLabel, "Label4", 208, 16, 0, 0, "COM port"},
    {ckComboList, "ComboBox1", 287, 14, 145, 0, ""},
    {ckLabel, "Label3", 208, 40, 0, 0, "ASIO driver"},
    {ckComboEdit, "cbASIOdriver", 288, 40, 313, 0, ""},
    {ckLabel, "labLatency", 288, 64, 328, 0, "labLatency"},
    {ckButton, "btnControlPanel", 288, 88, 145, 25, "Driver control panel"},
    {ckLabel, "Label6", 208, 120, 0, 0, "ASIO output"},
    {ckComboEdit, "cbASIOout", 288, 120, 313, 0, ""},
    {ckLabel, "Label5", 208, 152, 0, 0, "Key filter Hz"},
    {ckComboList, "ComboBox2", 288, 152, 145, 0, ""},
    {ckLabel, "Label8", 208, 184, 0, 0, "Tone Hz"},
    {ckEdit, "edtTone", 288, 184, 49, 21, "700"},
    {ckUpDown, "udTone", 337, 184, 16, 21, ""},
    {ckLabel, "Label7", 208, 216, 0, 0, "WPM"},
    {ckTrackBar, "tbWPM", 280, 216, 209, 33, ""},
    {ckLabel, "labWPM", 496, 216, 120, 0, "WPM"},
    {ckRadioButton, "rbStraightKey", 288, 264, 200, 0, "Straight key (or ext. keyer)"},
    {ckRadioButton, "rbIambicA", 288, 288, 200, 0, "Iambic A"},
    {ckRadioButton, "rbIambicB", 288, 312, 200, 0, "Iambic B", true, true},
};

constexpr TMenuDef kMenu[] = {
    {"&File", "E&xit", "Exit1"},
    {"&View", "&Timing scope", "TimingScope1"},
    {"&View", "&Record", "Record1"},
    {"&Help", "&About...", "About1"},
};

}  // namespace

std::span<const TControlDef> KeyerControls() {
  return kControls;
}

const TControlDef* FindControl(const std::string& Name) {
  for (const TControlDef& c : kControls)
    if (Name == c.Name) return &c;
  return nullptr;
}

std::vector<std::string> KeyFilterItems() {
  return {"25", "50", "100", "150", "200", "250"};
}

std::span<const TMenuDef> KeyerMenu() {
  return kMenu;
}

const char* ProgramVersion() {
  return RIG_VERSION;
}

std::array<std::string, 4> AboutLines() {
  return {
      std::string(kWindowCaption) + ", version " + ProgramVersion(),
      "Serial port component with a worker thread that",
      "hands every line change to the main thread.",
      "Written for this rig, with its own port drivers.",
  };
}

}  // namespace app
