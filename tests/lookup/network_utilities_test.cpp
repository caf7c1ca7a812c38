// Local addresses over interface lists given by the test and, in a private network namespace,
// over the real interface walk; the broadcast helpers; the device record.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <vector>

#include "lookup/device.h"
#include "lookup/network_utilities.h"
#include "lookup_test_support.h"

namespace corvane {
namespace {

// An interface list as getifaddrs would give it, built from (name, address text) pairs in
// order; IPv6 texts contain a ':'. A null name or address makes an entry without it.
class InterfaceList {
 public:
  InterfaceList& add(const char* name, const char* address, const char* netmask = nullptr) {
    Entry& entry = entries_.emplace_back();
    entry.name = name != nullptr ? std::optional<std::string>(name) : std::nullopt;
    if (address != nullptr) entry.address = fill(address, &entry.addressStorage);
    if (netmask != nullptr) entry.netmask = fill(netmask, &entry.netmaskStorage);
    return *this;
  }

  const ifaddrs* head() {
    nodes_.assign(entries_.size(), ifaddrs{});
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      Entry& entry = entries_[i];
      nodes_[i].ifa_name = entry.name ? entry.name->data() : nullptr;
      nodes_[i].ifa_addr = entry.address;
      nodes_[i].ifa_netmask = entry.netmask;
      nodes_[i].ifa_next = i + 1 < entries_.size() ? &nodes_[i + 1] : nullptr;
    }
    return nodes_.empty() ? nullptr : nodes_.data();
  }

 private:
  struct Entry {
    std::optional<std::string> name;
    sockaddr_storage addressStorage{};
    sockaddr_storage netmaskStorage{};
    sockaddr* address = nullptr;
    sockaddr* netmask = nullptr;
  };

  static sockaddr* fill(const char* text, sockaddr_storage* storage) {
    if (std::strchr(text, ':') != nullptr) {
      auto* a6 = reinterpret_cast<sockaddr_in6*>(storage);
      a6->sin6_family = AF_INET6;
      EXPECT_EQ(inet_pton(AF_INET6, text, &a6->sin6_addr), 1) << text;
    } else if (std::strcmp(text, "unix") == 0) {
      storage->ss_family = AF_UNIX;
    } else {
      auto* a4 = reinterpret_cast<sockaddr_in*>(storage);
      a4->sin_family = AF_INET;
      EXPECT_EQ(inet_pton(AF_INET, text, &a4->sin_addr), 1) << text;
    }
    return reinterpret_cast<sockaddr*>(storage);
  }

  std::deque<Entry> entries_;
  std::vector<ifaddrs> nodes_;
};

using test::LogLines;

TEST(LocalAddress, PicksEn0ElseTheFirstOtherAddressAndLogsTheOthers) {
  struct Case {
    const char* what;
    std::vector<std::pair<const char*, const char*>> entries;
    std::optional<std::string> answer;
    std::vector<std::string> logged;
  };
  const std::vector<Case> cases = {
      {"en0 first", {{"en0", "192.168.1.20"}, {"en1", "10.0.0.3"}}, "192.168.1.20", {}},
      {"en0 after en1",
       {{"en1", "10.0.0.3"}, {"en0", "192.168.1.20"}},
       "192.168.1.20",
       {"name = en1, ip =10.0.0.3"}},
      {"no en0: the first candidate, link-local included",
       {{"lo0", "127.0.0.1"}, {"en5", "169.254.3.4"}, {"en1", "10.0.0.3"}},
       "169.254.3.4",
       {"name = lo0, ip =127.0.0.1", "name = en5, ip =169.254.3.4", "name = en1, ip =10.0.0.3"}},
      {"127.0.0.2 is not excluded", {{"lo", "127.0.0.1"}, {"lo", "127.0.0.2"}}, "127.0.0.2",
       {"name = lo, ip =127.0.0.1", "name = lo, ip =127.0.0.2"}},
      {"only IPv6", {{"en0", "fe80::1"}, {"en1", "2001:db8::5"}}, std::nullopt, {}},
      {"IPv4-mapped text counts",
       {{"en1", "::ffff:10.1.2.3"}},
       "::ffff:10.1.2.3",
       {"name = en1, ip =::ffff:10.1.2.3"}},
      {"IPv6 en0 skipped, then an IPv4 en0", {{"en0", "fe80::1"}, {"en0", "192.168.7.7"}},
       "192.168.7.7", {}},
      {"entries without name or address, other families",
       {{nullptr, "10.9.9.9"}, {"en2", nullptr}, {"en3", "unix"}, {"en4", "10.4.4.4"}},
       "10.4.4.4",
       {"name = en4, ip =10.4.4.4"}},
      {"no network", {}, std::nullopt, {}},
  };
  for (const Case& c : cases) {
    InterfaceList list;
    for (const auto& [name, address] : c.entries) list.add(name, address);
    LogLines log;
    EXPECT_EQ(detail::localIPFromInterfaces(list.head()), c.answer) << c.what;
    EXPECT_EQ(log.lines(), c.logged) << c.what;
  }
}

TEST(LocalAddress, RealInterfaceWalkInAPrivateNetworkNamespace) {
  if (std::system("unshare --net true >/dev/null 2>&1") != 0) {  // NOLINT(concurrency-mt-unsafe)
    GTEST_SKIP() << "unshare --net is not available here (needs root and the unshare tool)";
  }
  const std::string command =
      std::string("unshare --net sh -c 'ip link set lo up && ip addr add 127.0.5.9/8 dev lo && ") +
      LOOKUP_LOCAL_IP_PROBE + "' 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[256];
  while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr) output += buffer;
  const int status = ::pclose(pipe);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  EXPECT_EQ(output, "127.0.5.9\n");
}

TEST(LocalAddress, NetInfoTakesTheLastEn0WithBothParts) {
  InterfaceList list;
  list.add("en0", "192.168.1.20", "255.255.255.0")
      .add("en1", "10.0.0.3", "255.0.0.0")
      .add("en0", "192.168.2.30", "255.255.0.0")
      .add("en0", "192.168.9.9", nullptr);
  const NetInfo info = detail::netInfoFromInterfaces(list.head());
  EXPECT_EQ(info.address, "192.168.2.30");
  EXPECT_EQ(info.netmask, "255.255.0.0");
  InterfaceList none;
  none.add("en1", "10.0.0.3", "255.0.0.0");
  EXPECT_FALSE(detail::netInfoFromInterfaces(none.head()).address);
}

TEST(BroadcastHelpers, ComputeNetworkAndBroadcastAddresses) {
  EXPECT_EQ(NetworkUtilities::ipOctets("192.168.1.20"), (std::vector<std::uint8_t>{192, 168, 1, 20}));
  EXPECT_EQ(NetworkUtilities::networkAddress("192.168.1.20", "255.255.255.0"), "192.168.1.0");
  EXPECT_EQ(NetworkUtilities::broadcastAddress("192.168.1.20", "255.255.255.0"), "192.168.1.255");
  EXPECT_EQ(NetworkUtilities::broadcastAddress("10.20.30.40", "255.240.0.0"), "10.31.255.255");
  // Malformed input stays harmless.
  EXPECT_EQ(NetworkUtilities::ipOctets("1.x.300."), (std::vector<std::uint8_t>{1, 0, 0, 0}));
  EXPECT_EQ(NetworkUtilities::networkAddress("10.1.2.3", "255.255"), "10.1.0.0");
}

TEST(DeviceRecord, LastOctetOfAFourPartAddressElseZero) {
  struct Case {
    const char* ip;
    std::uint8_t localIp;
  };
  const Case cases[] = {
      {"192.168.1.20", 20}, {"10.0.0.255", 255}, {"192.168.1", 0},     {"", 0},
      {"1.2.3.4.5", 0},     {"192.168.1.x", 0},  {"192.168.1.", 0},    {"192.168.1.256", 0},
      {"192.168.1.-1", 0},  {"a.b.c.7", 7},
  };
  for (const Case& c : cases) {
    const auto device = Device::create("Living room", c.ip, "1.0.0");
    EXPECT_EQ(device->localIp(), c.localIp) << c.ip;
    EXPECT_EQ(device->deviceIp(), c.ip);
    EXPECT_EQ(device->deviceName(), "Living room");
    EXPECT_EQ(device->deviceVersion(), "1.0.0");
  }
}

}  // namespace
}  // namespace corvane
