#include "logging/dd_tty_logger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>

#include "logging/dd_log.h"
#include "logging/recording_logger.h"
#include "logging/stderr_capture.h"

namespace corvane {
namespace {

using test::RecordingFormatter;
using test::StderrCapture;

constexpr int32_t kAll = DDTTYLoggerColorProfile::kAllContexts;

// Colours that are exact entries of the 256-colour table, and their codes.
const LogColor kRed196 = LogColor::fromBytes(255, 61, 30);
const LogColor kGreen46 = LogColor::fromBytes(27, 254, 30);
const LogColor kBlue21 = LogColor::fromBytes(88, 51, 255);
const LogColor kYellow226 = LogColor::fromBytes(251, 252, 15);
const std::string kFg196 = "\033[38;5;196m";
const std::string kFg46 = "\033[38;5;46m";
const std::string kFg21 = "\033[38;5;21m";
const std::string kFg226 = "\033[38;5;226m";
const std::string kBg21 = "\033[48;5;21m";
const std::string kReset = "\033[0m";

// This process runs the console logger on a 256-colour terminal; the other terminal kinds
// are covered in child processes (dd_tty_detection_test.cpp). The environment is set while
// the program starts, before any thread exists that could read it.
class ColorTerminal : public ::testing::Environment {
 public:
  ColorTerminal() {
    ::setenv("TERM", "xterm-256color", 1);
    ::unsetenv("XcodeColors");
  }
};
[[maybe_unused]] ::testing::Environment* const kColorTerminal =
    ::testing::AddGlobalTestEnvironment(new ColorTerminal());

// The line prefix as the logger must print it for `m`.
std::string expectedPrefix(const DDLogMessage& m) {
  double ts = m.timestamp();
  double whole = std::floor(ts);
  time_t secs = static_cast<time_t>(whole + 978307200.0);
  std::tm tm{};
  localtime_r(&secs, &tm);
  char date[32];
  std::strftime(date, sizeof(date), "%Y-%m-%d %H:%M:%S", &tm);
  char line[128];
  std::snprintf(line, sizeof(line), "%s:%03d %s[%d:%x] ", date,
                static_cast<int>((ts - whole) * 1000), program_invocation_short_name,
                static_cast<int>(::getpid()), m.machThreadID());
  return line;
}

class DDTTYLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::resetFacility();
    tty_ = DDTTYLogger::sharedInstance();
    ASSERT_NE(tty_, nullptr);
    ASSERT_EQ(DDTTYLogger::codeIndexForColor(kRed196), 196u - 16u)
        << "the console logger was set up before TERM was chosen";
    resetLogger();
    DDLog::addLogger(tty_);
  }
  void TearDown() override {
    test::resetFacility();
    resetLogger();
    DDLog::flushLog();
  }
  void resetLogger() {
    tty_->setColorsEnabled(false);
    tty_->clearAllColors();
    tty_->setLogFormatter(nullptr);
  }

  // Logs one message synchronously and returns what reached standard error.
  std::string line(const std::string& text, int32_t flag = DDLogFlagInfo, int32_t context = 0,
                   DDLogTag tag = std::nullopt, DDLogMessagePtr* made = nullptr) {
    auto m = DDLogMessage::create(text, DDLogLevelAll, flag, context, __FILE__, __func__, __LINE__,
                                  std::move(tag), 0);
    if (made != nullptr) *made = m;
    StderrCapture capture;
    EXPECT_TRUE(capture.ok());
    DDLog::queueLogMessage(m, false);
    return capture.finish();
  }

  std::shared_ptr<DDTTYLogger> tty_;
};

TEST_F(DDTTYLoggerTest, UnformattedLineHasTimestampProcessPidAndThread) {
  DDLogMessagePtr m;
  std::string out = line("connected", DDLogFlagInfo, 0, std::nullopt, &m);
  EXPECT_EQ(out, expectedPrefix(*m) + "connected\n");
  // Shape: "yyyy-MM-dd HH:mm:ss:SSS name[pid:hex] text"
  ASSERT_GT(out.size(), 24u);
  EXPECT_EQ(out[4], '-');
  EXPECT_EQ(out[19], ':');
  EXPECT_EQ(out[23], ' ');
  EXPECT_NE(out.find(std::string(program_invocation_short_name) + "[" + std::to_string(::getpid()) +
                     ":" + m->threadID() + "] connected"),
            std::string::npos);
}

TEST_F(DDTTYLoggerTest, NewlineIsAddedOnlyWhenMissing) {
  DDLogMessagePtr m;
  std::string out = line("done\n", DDLogFlagInfo, 0, std::nullopt, &m);
  EXPECT_EQ(out, expectedPrefix(*m) + "done\n");
  out = line("", DDLogFlagInfo, 0, std::nullopt, &m);
  EXPECT_EQ(out, expectedPrefix(*m) + "\n");
}

TEST_F(DDTTYLoggerTest, FormatterDecidesBetweenOwnLineNoLineAndItsText) {
  struct Case {
    RecordingFormatter::Answer answer;
    std::string fixed;
    bool prefixed;
    std::string written;  // after the prefix when prefixed
  };
  using A = RecordingFormatter::Answer;
  const Case cases[] = {
      {A::OwnText, "", true, "msg\n"},  // the message's own text: the usual line
      {A::Fixed, "custom", false, "custom\n"},
      {A::Fixed, "custom\n", false, "custom\n"},
      {A::Fixed, "msg", false, "msg\n"},  // an equal but new text counts as formatted
      {A::Nothing, "", false, ""},        // nil: nothing at all
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fixed + (c.prefixed ? " prefixed" : ""));
    tty_->setLogFormatter(std::make_shared<RecordingFormatter>(c.answer, c.fixed));
    DDLogMessagePtr m;
    std::string out = line("msg", DDLogFlagInfo, 0, std::nullopt, &m);
    EXPECT_EQ(out, (c.prefixed ? expectedPrefix(*m) : "") + c.written);
  }
}

TEST_F(DDTTYLoggerTest, ProfileIsChosenByTagThenContextThenLastAllContextsCandidate) {
  // Flag profiles in three arrangements; the context-5 one wins wherever it stands.
  enum P { A, B, C };  // A: mask 1 all contexts; B: mask 1 context 5; C: mask 3 all contexts
  const std::vector<std::vector<P>> orders = {{A, B, C}, {B, A, C}, {A, C, B}};
  struct Case {
    int32_t flag;
    int32_t context;
    DDLogTag tag;
    std::string codes;  // expected leading codes; "" = plain line
  };
  const Case cases[] = {
      {1, 5, std::nullopt, kFg46},                 // exact context
      {1, 7, std::nullopt, kFg21},                 // last all-contexts candidate
      {2, 5, std::nullopt, kFg21},                 // only C shares a bit with flag 2
      {4, 5, std::nullopt, ""},                    // no profile shares a bit
      {4, 0, std::string("net"), kFg226 + kBg21},  // tag profile, whatever the flag
      {1, 5, std::string("other"), kFg46},         // tag without profile: flags decide
  };
  for (const auto& order : orders) {
    tty_->clearAllColors();
    for (P p : order) {
      if (p == A) tty_->setForegroundColor(kRed196, std::nullopt, 1);
      if (p == B) tty_->setForegroundColor(kGreen46, std::nullopt, 1, 5);
      if (p == C) tty_->setForegroundColor(kBlue21, std::nullopt, 3);
    }
    tty_->setForegroundColor(kYellow226, kBlue21, std::string("net"));
    tty_->setColorsEnabled(true);
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << "order " << order[0] << order[1] << order[2] << " flag "
                                        << c.flag << " ctx " << c.context);
      std::string out = line("x", c.flag, c.context, c.tag);
      if (c.codes.empty()) {
        EXPECT_EQ(out.find('\033'), std::string::npos) << out;
      } else {
        ASSERT_GT(out.size(), c.codes.size() + 6) << out;
        EXPECT_EQ(out.substr(0, c.codes.size()), c.codes);
        EXPECT_EQ(out.substr(out.size() - 6), "x\n" + kReset);
      }
    }
  }
}

TEST_F(DDTTYLoggerTest, ReplacingAndClearingProfiles) {
  tty_->setForegroundColor(kRed196, std::nullopt, 1);
  tty_->setForegroundColor(kGreen46, std::nullopt, 1);  // same mask and context: replaces
  tty_->setColorsEnabled(true);
  EXPECT_EQ(line("x", 1).substr(0, kFg46.size()), kFg46);

  tty_->clearColorsForFlag(1);  // context 0: not the all-contexts profile
  EXPECT_EQ(line("x", 1).substr(0, kFg46.size()), kFg46);
  tty_->clearColorsForFlag(1, kAll);
  EXPECT_EQ(line("x", 1).find('\033'), std::string::npos);

  tty_->setForegroundColor(kRed196, std::nullopt, std::string("t"));
  tty_->setForegroundColor(kBlue21, std::nullopt, std::string("t"));
  EXPECT_EQ(line("x", 4, 0, std::string("t")).substr(0, kFg21.size()), kFg21);
  tty_->clearColorsForTag(std::string("t"));
  EXPECT_EQ(line("x", 4, 0, std::string("t")).find('\033'), std::string::npos);

  tty_->setForegroundColor(kRed196, std::nullopt, 4, 0);
  tty_->setForegroundColor(kRed196, std::nullopt, std::string("t"));
  tty_->clearColorsForAllTags();
  EXPECT_EQ(line("x", 4, 0, std::string("t")).substr(0, kFg196.size()), kFg196);
  tty_->clearColorsForAllFlags();
  EXPECT_EQ(line("x", 4, 0).find('\033'), std::string::npos);
}

TEST_F(DDTTYLoggerTest, EnablingColoursLoadsDefaultsOnlyWithoutFlagProfiles) {
  EXPECT_FALSE(tty_->colorsEnabled());
  EXPECT_EQ(line("e", DDLogFlagError).find('\033'), std::string::npos);  // colours off
  tty_->setColorsEnabled(true);
  EXPECT_TRUE(tty_->colorsEnabled());
  std::string error = line("e", DDLogFlagError);
  std::string warn = line("w", DDLogFlagWarn);
  std::string info = line("i", DDLogFlagInfo);
  ASSERT_GT(error.size(), 10u);
  ASSERT_GT(warn.size(), 10u);
  EXPECT_EQ(error[0], '\033');
  EXPECT_EQ(warn[0], '\033');
  EXPECT_NE(error.substr(0, 10), warn.substr(0, 10));
  EXPECT_EQ(error.substr(error.size() - 4), kReset);
  EXPECT_EQ(info.find('\033'), std::string::npos);

  // With a flag profile present, enabling does not add the defaults.
  tty_->setColorsEnabled(false);
  tty_->clearAllColors();
  tty_->setForegroundColor(kGreen46, std::nullopt, DDLogFlagInfo);
  tty_->setColorsEnabled(true);
  EXPECT_EQ(line("e", DDLogFlagError).find('\033'), std::string::npos);
  EXPECT_EQ(line("i", DDLogFlagInfo).substr(0, kFg46.size()), kFg46);
}

TEST_F(DDTTYLoggerTest, FormattedColouredLineIsCodesTextNewlineReset) {
  tty_->setForegroundColor(kRed196, kBlue21, DDLogFlagWarn);
  tty_->setColorsEnabled(true);
  tty_->setLogFormatter(
      std::make_shared<RecordingFormatter>(RecordingFormatter::Answer::Fixed, "plain text"));
  EXPECT_EQ(line("ignored", DDLogFlagWarn), kFg196 + kBg21 + "plain text\n" + kReset);
}

TEST_F(DDTTYLoggerTest, NearestPaletteColourAndProfileValues) {
  // The measured rows of the 256-colour table map back to their own codes.
  const int rows[][4] = {{16, 47, 49, 49},     {17, 60, 42, 144},  {21, 88, 51, 255},
                         {46, 27, 254, 30},    {196, 255, 61, 30}, {226, 251, 252, 15},
                         {231, 254, 255, 255}, {232, 52, 53, 53},  {244, 151, 152, 153},
                         {255, 240, 242, 242}};
  for (const auto& r : rows) {
    EXPECT_EQ(DDTTYLogger::codeIndexForColor(LogColor::fromBytes(r[1], r[2], r[3])),
              uint64_t(r[0] - 16))
        << r[0];
  }
  // Building the other table later changes nothing.
  DDTTYLogger::initialize_colors_16();
  EXPECT_EQ(DDTTYLogger::codeIndexForColor(kRed196), 180u);

  auto p = DDTTYLoggerColorProfile::create(kRed196, std::nullopt, 3, 9);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::string(p->fgCode, p->fgCodeLen), kFg196);
  EXPECT_EQ(p->bgCodeLen, 0u);
  EXPECT_EQ(std::string(p->resetCode, p->resetCodeLen), kReset);
  char expected[200];
  std::snprintf(expected, sizeof(expected),
                "<DDTTYLoggerColorProfile: %p mask:3 ctxt:9 fg:255,61,30 bg:0,0,0 "
                "fgCode:38;5;196m bgCode:(null)>",
                static_cast<const void*>(p.get()));
  EXPECT_EQ(p->description(), expected);

  // Components outside 0..1 (and NaN) count as the nearest bound.
  double r, g, b;
  DDTTYLogger::getRed(&r, &g, &b, LogColor{2.0, -1.0, std::nan("")});
  EXPECT_EQ(r, 1.0);
  EXPECT_EQ(g, 0.0);
  EXPECT_EQ(b, 0.0);
  auto wild = DDTTYLoggerColorProfile::create(
      LogColor{1e300, -5, std::numeric_limits<double>::infinity()}, std::nullopt, 1, 0);
  ASSERT_NE(wild, nullptr);
  EXPECT_EQ(wild->fg_r, 255);
  EXPECT_EQ(wild->fg_g, 0);
  EXPECT_EQ(wild->fg_b, 255);
}

TEST_F(DDTTYLoggerTest, SecondInstanceIsRefusedAndTheSharedOneStays) {
  auto shared = DDTTYLogger::sharedInstance();
  EXPECT_EQ(DDTTYLogger::create(), nullptr);
  EXPECT_EQ(DDTTYLogger::sharedInstance(), shared);
  EXPECT_EQ(shared->loggerName(), std::optional<std::string>("corvane.logging.ttyLogger"));
  EXPECT_EQ(shared->loggerQueue()->label(), "corvane.logging.ttyLogger");
  // The console logger has no flush: flushLog does not wait for it.
  EXPECT_FALSE(shared->implementsFlush());
}

}  // namespace
}  // namespace corvane
