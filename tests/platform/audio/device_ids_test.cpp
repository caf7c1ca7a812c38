// Device ids derived from device keys: the same in every table whatever the order the devices
// are seen in, clear of the reserved ids, and distinct when two keys hash alike.
#include "platform/audio/device_ids.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace corvane::platform::audio {
namespace {

TEST(DeviceIDTableTest, AKeyHasTheSameIdInEveryTableWhateverTheOrder) {
  const std::string keys[] = {"sink:speakers", "source:mic", "source:speakers.monitor",
                              "loopback:corvane_loopback_BlackHole_2ch"};
  DeviceIDTable forward;
  DeviceIDTable backward;
  std::map<std::string, AudioObjectID> first;
  for (const auto& key : keys) first[key] = forward.idFor(key);
  for (auto it = std::rbegin(keys); it != std::rend(keys); ++it) {
    EXPECT_EQ(backward.idFor(*it), first[*it]) << *it;
  }
  for (const auto& [key, id] : first) {
    EXPECT_GE(id, DeviceIDTable::kFirstStableID) << key;
    EXPECT_EQ(forward.idFor(key), id) << "asked again: " << key;
    EXPECT_TRUE(forward.holds(id));
  }
  EXPECT_FALSE(forward.holds(kAudioObjectSystemObject));
}

// Keys found by trying "sink:card0", "sink:card1", ...: two of one hash, and the first whose
// hash falls below the stable range.
constexpr const char* kCollidingA = "sink:card855194";
constexpr const char* kCollidingB = "sink:card1486560";
constexpr const char* kReservedHash = "sink:card95676";

TEST(DeviceIDTableTest, KeysOfOneHashGetDistinctIdsAndReservedHashesAreSkipped) {
  const std::string a = kCollidingA;
  const std::string b = kCollidingB;
  ASSERT_EQ(DeviceIDTable::hash(a), DeviceIDTable::hash(b));
  ASSERT_LT(DeviceIDTable::hash(kReservedHash), DeviceIDTable::kFirstStableID);

  DeviceIDTable table;
  const AudioObjectID idA = table.idFor(a);
  const AudioObjectID idB = table.idFor(b);
  EXPECT_EQ(idA, DeviceIDTable::hash(a)) << "the key seen first keeps its hash";
  EXPECT_NE(idA, idB);
  EXPECT_GE(idB, DeviceIDTable::kFirstStableID);
  // Seen the other way round, the other key keeps the hash: only the pair depends on the order.
  DeviceIDTable other;
  EXPECT_EQ(other.idFor(b), idA);
  EXPECT_NE(other.idFor(a), idA);

  const AudioObjectID low = table.idFor(kReservedHash);
  EXPECT_GE(low, DeviceIDTable::kFirstStableID);
  EXPECT_EQ(DeviceIDTable().idFor(kReservedHash), low);
}

}  // namespace
}  // namespace corvane::platform::audio
