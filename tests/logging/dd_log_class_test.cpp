#include <gtest/gtest.h>

#include <algorithm>

#include "logging/dd_log.h"

namespace corvane {
namespace {

class LevelledA {
 public:
  static int32_t ddLogLevel() { return level; }
  static void ddSetLogLevel(int32_t l) { level = l; }
  static inline int32_t level = 7;
};
class LevelledB {
 public:
  static int32_t ddLogLevel() { return level; }
  static void ddSetLogLevel(int32_t l) { level = l; }
  static inline int32_t level = 1;
};
class GetterOnly {
 public:
  static int32_t ddLogLevel() { return 3; }
};
class SetterOnly {
 public:
  static void ddSetLogLevel(int32_t l) { level = l; }
  static inline int32_t level = 0;
};
class Plain {};

const DDLogClassRegistration kA(DDLogClassOf<LevelledA>("LevelledA"));
const DDLogClassRegistration kGetter(DDLogClassOf<GetterOnly>("GetterOnly"));
const DDLogClassRegistration kB(DDLogClassOf<LevelledB>("LevelledB"));
const DDLogClassRegistration kSetter(DDLogClassOf<SetterOnly>("SetterOnly"));
const DDLogClassRegistration kPlain(DDLogClassOf<Plain>("Plain"));

TEST(DDLogClassTest, OnlyClassesWithBothLevelMembersAreRegistered) {
  std::vector<std::string> names = DDLog::registeredClassNames();
  EXPECT_EQ(names, (std::vector<std::string>{"LevelledA", "LevelledB"}));
  auto classes = DDLog::registeredClasses();
  ASSERT_EQ(classes.size(), 2u);
  EXPECT_EQ(classes[0]->name, "LevelledA");
  EXPECT_TRUE(DDLog::isRegisteredClass(classes[1]));
  EXPECT_FALSE(DDLog::isRegisteredClass(DDLogClassOf<GetterOnly>("GetterOnly")));
  EXPECT_FALSE(DDLog::isRegisteredClass(nullptr));
}

TEST(DDLogClassTest, LevelsAreReadAndSetThroughTheClass) {
  // The levels are process-wide: start from known values whatever ran before.
  LevelledA::level = 7;
  LevelledB::level = 1;
  SetterOnly::level = 0;
  EXPECT_EQ(DDLog::logLevelForClassWithName("LevelledA"), 7);
  DDLog::setLogLevel(16, std::string("LevelledA"));
  EXPECT_EQ(LevelledA::level, 16);
  DDLog::setLogLevel(3, DDLogClassOf<LevelledB>("LevelledB"));
  EXPECT_EQ(DDLog::logLevelForClass(DDLogClassOf<LevelledB>("LevelledB")), 3);

  // Not registered (a member missing) or unknown: -1 and no change.
  EXPECT_EQ(DDLog::logLevelForClassWithName("GetterOnly"), -1);
  EXPECT_EQ(DDLog::logLevelForClassWithName("Plain"), -1);
  EXPECT_EQ(DDLog::logLevelForClassWithName("NoSuchClass"), -1);
  DDLog::setLogLevel(9, std::string("SetterOnly"));
  EXPECT_EQ(SetterOnly::level, 0);
  DDLog::setLogLevel(9, std::string("NoSuchClass"));
}

}  // namespace
}  // namespace corvane
