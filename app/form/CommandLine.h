#pragma once
// The rig's own command-line options, read the same way by every front end
// before its toolkit starts, so --version and --help work without a display.
#include <string>

namespace app {

struct TCommandLine {
  int QuitAfterMs = -1;   // --quit-after MS: close the window after MS
  std::string Port;       // --port NAME: the port list entry to choose
  std::string StatePath;  // --state FILE: where the window logs its state
};

struct TCommandLineRules {
  const char* Usage = "";     // what --help prints
  bool PortAndState = false;  // --port and --state are options
  // Other arguments stay in argv for the toolkit; otherwise they are refused.
  bool KeepOthers = false;
};

// The exit status of a bad option.
constexpr int kBadOption = 2;

// Takes the rig's options out of argv (argc follows; argv[argc] is null).
// Answers -1 to go on, else the exit status: 0 after --version or --help
// (printed), kBadOption after a bad option (its reason on stderr).
// Each option takes its value as the next argument or after '='.
int ReadCommandLine(int& argc, char** argv, const TCommandLineRules& Rules, TCommandLine& Line);

// Prints why an argument was refused; answers kBadOption.
int BadOption(const char* Message, const char* Argument);

}  // namespace app
