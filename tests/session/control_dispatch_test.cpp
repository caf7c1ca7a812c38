// The dispatch tables: each request, response and callback code the sender understands, and
// unknown codes ignored.
#include "session/control_dispatch.h"

#include <gtest/gtest.h>

#include <vector>

namespace corvane {
namespace {

_RequestPacket request(uint8_t code, uint8_t byte4 = 0) {
  uint8_t attach[12] = {byte4};
  return makeRequestPacket(9, 4, code, attach);
}

// A response answering `code` with `result`; `tail` fills packet bytes 8..15.
_ResponsePacket response(uint8_t code, uint8_t result, std::vector<uint8_t> tail = {}) {
  _ResponsePacket r{};
  r.addressByte = 9;
  r.typeByte = 4;
  r.kind = kControlKindResponse;
  r.result = result;
  r.requestCode = static_cast<int8_t>(code);
  std::copy(tail.begin(), tail.end(), r.attach);
  return r;
}

CallbackPacket callback(uint8_t command, uint8_t byte5 = 0) {
  CallbackPacket c{};
  c.kind = kControlKindCallback;
  c.command = command;
  c.attach[1] = byte5;
  return c;
}

using A = ControlAction;

TEST(ControlDispatch, RequestsFromTheReceiver) {
  struct Case {
    uint8_t code;
    uint8_t byte4;
    A action;
    int value = 0;
  };
  const Case cases[] = {
      {0, 0, A::AnswerOk},
      {1, 0, A::MirrorOn},
      {2, 0, A::MirrorOff},
      {24, 0, A::KeyFrame},
      {38, 30, A::UpdateFrameRate, 30},
      {38, 0xF6, A::UpdateFrameRate, -10},  // signed
      {3, 0, A::None},
      {9, 0, A::None},
      {25, 0, A::None},
      {128, 0, A::None},  // a negative code as a request
      {0xFF, 0, A::None},
  };
  for (const auto& c : cases) {
    const ControlDecision got = decideControlRequest(request(c.code, c.byte4));
    EXPECT_EQ(got.action, c.action) << "code " << int(c.code);
    EXPECT_EQ(got.value, c.value) << "code " << int(c.code);
    EXPECT_FALSE(got.text.has_value());
  }
}

TEST(ControlDispatch, ResponsesOnTheAnsweredCode) {
  const int8_t own = 37;
  struct Case {
    const char* what;
    _ResponsePacket packet;
    A action;
    int value = 0;
    const char* text = nullptr;  // expected version text; nullptr: none
  };
  const Case cases[] = {
      {"start OK", response(1, 1), A::MirrorStartSuccess},
      {"start failed asks for the status", response(1, 0), A::SendStatusRequest},
      {"start with another result", response(1, 2), A::SendStatusRequest},
      {"stop OK", response(2, 1), A::MirrorStopSuccess},
      {"stop failed still reports", response(2, 0), A::MirrorStopSuccess},
      {"status idle", response(9, 1, {0, 0, 0, 0}), A::SendMirrorStart},
      {"status mirroring us", response(9, 1, {0, 0, 1, 37}), A::MirrorStartSuccess},
      {"status mirroring another", response(9, 1, {0, 0, 1, 38}), A::SendMirrorStart},
      {"status refusal 2", response(9, 1, {0, 0, 2, 0}), A::MirrorStartFailed, -1},
      {"status refusal 3", response(9, 1, {0, 0, 3, 0}), A::MirrorStartFailed, -2},
      {"status unknown state", response(9, 1, {0, 0, 4, 37}), A::None},
      {"status negative state", response(9, 1, {0, 0, 0xFF, 37}), A::None},
      {"version", response(14, 1, {'3', '.', '2', 0}), A::ServerVersion, 0, "3.2"},
      {"version not UTF-8", response(14, 1, {0xFF, 0}), A::ServerVersion},
      {"version failed", response(14, 0, {'3', 0}), A::None},
      {"authentication type 1", response(25, 1, {1}), A::AuthenticateType},
      {"authentication type 2", response(25, 1, {2}), A::None},
      {"authentication failed", response(25, 0, {1}), A::None},
      {"authenticate answer", response(26, 1), A::None},
      {"heartbeat answer", response(0, 1), A::None},
      {"unknown code", response(77, 1), A::None},
  };
  for (const auto& c : cases) {
    const ControlDecision got = decideControlResponse(c.packet, own);
    EXPECT_EQ(got.action, c.action) << c.what;
    EXPECT_EQ(got.value, c.value) << c.what;
    EXPECT_EQ(got.text.has_value(), c.text != nullptr) << c.what;
    if (got.text && c.text) {
      EXPECT_EQ(*got.text, c.text) << c.what;
    }
  }
  // A negative own address byte compares as the same byte.
  EXPECT_EQ(decideControlResponse(response(9, 1, {0, 0, 1, 0xFE}), -2).action,
            A::MirrorStartSuccess);
}

TEST(ControlDispatch, CallbacksFromTheReceiver) {
  struct Case {
    uint8_t command;
    uint8_t byte5;
    A action;
    int value = 0;
  };
  const Case cases[] = {
      {128, 7, A::DeviceStatus, 7},
      {128, 6, A::DeviceStatus, 6},
      {128, 200, A::DeviceStatus, 200},  // unsigned
      {129, 0, A::KeyStatus},
      {0, 7, A::None},
      {1, 7, A::None},
      {127, 7, A::None},
      {130, 7, A::None},
      {255, 7, A::None},
  };
  for (const auto& c : cases) {
    const ControlDecision got = decideControlCallback(callback(c.command, c.byte5));
    EXPECT_EQ(got.action, c.action) << int(c.command);
    EXPECT_EQ(got.value, c.value) << int(c.command);
  }
}

}  // namespace
}  // namespace corvane
