#include "app/form/CommandLine.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/form/FormLayout.h"

namespace app {

namespace {

// A whole number of milliseconds, 0 to INT_MAX, with nothing after it.
bool ParseMilliseconds(const char* Text, int& Ms) {
  if (Text == nullptr || *Text < '0' || *Text > '9') return false;
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(Text, &end, 10);
  if (errno != 0 || *end != '\0' || value > INT_MAX) return false;
  Ms = static_cast<int>(value);
  return true;
}

// The option Arg names, with or without "=value"; Value points past '='.
bool Names(const char* Arg, const char* Name, const char*& Value) {
  const std::size_t n = std::strlen(Name);
  if (std::strncmp(Arg, Name, n) != 0) return false;
  if (Arg[n] == '\0') {
    Value = nullptr;
    return true;
  }
  if (Arg[n] != '=') return false;
  Value = Arg + n + 1;
  return true;
}

}  // namespace

int BadOption(const char* Message, const char* Argument) {
  std::fprintf(stderr, "paddle-rig: %s '%s'\nTry 'paddle-rig --help'.\n", Message, Argument);
  return kBadOption;
}

int ReadCommandLine(int& argc, char** argv, const TCommandLineRules& Rules, TCommandLine& Line) {
  // A program may be started with no arguments at all, not even its name.
  int kept = argc > 0 ? 1 : 0;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--version") == 0) {
      std::printf("%s\n", AboutLines()[0].c_str());
      return 0;
    }
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      std::fputs(Rules.Usage, stdout);
      return 0;
    }
    const char* value = nullptr;
    std::string* text = nullptr;
    const char* missing = "missing value after";
    if (Names(arg, "--quit-after", value)) {
      missing = "missing milliseconds after";
    } else if (Rules.PortAndState && Names(arg, "--port", value)) {
      text = &Line.Port;
    } else if (Rules.PortAndState && Names(arg, "--state", value)) {
      text = &Line.StatePath;
    } else if (Rules.KeepOthers) {
      argv[kept++] = argv[i];
      continue;
    } else {
      return BadOption("unknown option", arg);
    }
    if (value == nullptr) {
      if (i + 1 >= argc) return BadOption(missing, arg);
      value = argv[++i];
    }
    if (text != nullptr && *value == '\0')
      return BadOption(missing, arg);
    else if (text != nullptr)
      *text = value;
    else if (!ParseMilliseconds(value, Line.QuitAfterMs))
      return BadOption("--quit-after takes whole milliseconds, not", value);
  }
  argc = kept;
  argv[argc] = nullptr;
  return -1;
}

}  // namespace app
