// The console logger reads "TERM" and "XcodeColors" once per process, so each terminal kind
// is checked in a child process of its own (a death-test child started afresh by exec).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "logging/dd_log.h"
#include "logging/dd_tty_logger.h"
#include "logging/stderr_capture.h"

namespace corvane {
namespace {

struct TerminalCase {
  const char* term;         // nullptr: unset
  const char* xcodeColors;  // nullptr: unset
  int r, g, b;              // the profile colour (fore- and background)
  std::string fg, bg, reset;
};

// Runs in the child: builds a profile and writes one coloured line; exits 0 when both match.
[[noreturn]] void probe(const TerminalCase& c) {
  auto setOrUnset = [](const char* name, const char* value) {
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  };
  setOrUnset("TERM", c.term);
  setOrUnset("XcodeColors", c.xcodeColors);

  std::string problems;
  auto p = DDTTYLoggerColorProfile::create(LogColor::fromBytes(c.r, c.g, c.b),
                                           LogColor::fromBytes(c.r, c.g, c.b), 1, 0);
  auto check = [&](const char* what, const std::string& got, const std::string& want) {
    if (got != want) problems += std::string(what) + ": got '" + got + "' want '" + want + "'\n";
  };
  if (p == nullptr) {
    problems += "no profile\n";
  } else {
    check("fg", std::string(p->fgCode, p->fgCodeLen), c.fg);
    check("bg", std::string(p->bgCode, p->bgCodeLen), c.bg);
    check("reset", std::string(p->resetCode, p->resetCodeLen), c.reset);
  }

  auto tty = DDTTYLogger::sharedInstance();
  tty->setForegroundColor(LogColor::fromBytes(c.r, c.g, c.b), LogColor::fromBytes(c.r, c.g, c.b),
                          DDLogFlagError);
  tty->setColorsEnabled(true);
  DDLog::addLogger(tty);
  std::string out;
  {
    test::StderrCapture capture;
    DDLog::log(false, DDLogLevelAll, DDLogFlagError, 0, __FILE__, __func__, __LINE__, std::nullopt,
               "probe");
    out = capture.finish();
  }
  std::string head = c.fg + c.bg;
  check("line start", out.substr(0, head.size()), head);
  std::string tail = "probe\n" + c.reset;
  check("line end", out.size() >= tail.size() ? out.substr(out.size() - tail.size()) : out, tail);
  if (c.fg.empty() && out.find('\033') != std::string::npos) problems += "escape in plain line\n";

  std::fprintf(stderr, "%s", problems.empty() ? "probe ok\n" : problems.c_str());
  std::fflush(stderr);
  std::_Exit(problems.empty() ? 0 : 1);
}

TEST(DDTTYLoggerDetectionTest, TerminalDecidesTheColourCodes) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string esc = "\033[";
  const TerminalCase cases[] = {
      // "color" and "256": the 240-entry table.
      {"xterm-256color", nullptr, 255, 61, 30, esc + "38;5;196m", esc + "48;5;196m", esc + "0m"},
      // "color" only (any case): the 16-entry table.
      {"xterm-color", nullptr, 194, 54, 33, esc + "31m", esc + "41m", esc + "0m"},
      {"XTERM-COLOR", nullptr, 252, 57, 31, esc + "1;31m", esc + "1;41m", esc + "0m"},
      // No TERM and XcodeColors exactly "YES": component codes.
      {nullptr, "YES", 255, 61, 30, esc + "fg255,61,30;", esc + "bg255,61,30;", esc + ";"},
      // Neither: no codes, plain lines even with colours enabled.
      {nullptr, nullptr, 255, 61, 30, "", "", ""},
      {nullptr, "yes", 255, 61, 30, "", "", ""},
      {"dumb", "YES", 255, 61, 30, "", "", ""},
  };
  for (const TerminalCase& c : cases) {
    SCOPED_TRACE(std::string("TERM=") + (c.term ? c.term : "(unset)") +
                 " XcodeColors=" + (c.xcodeColors ? c.xcodeColors : "(unset)"));
    EXPECT_EXIT(probe(c), ::testing::ExitedWithCode(0), "probe ok");
  }
}

}  // namespace
}  // namespace corvane
