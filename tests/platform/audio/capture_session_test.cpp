// The capture session over the simulated hardware: the default input's sound reaches the
// delegate as sample buffers in the device's format, on the delegate queue, in order.
#include "platform/audio/capture_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "platform/audio/sim/sim_audio_hardware.h"
#include "support/sound_test_support.h"

namespace corvane::platform::audio {
namespace {

class Collector : public AudioSampleBufferDelegate {
 public:
  void captureOutputDidOutputSampleBuffer(CaptureAudioDataOutput&, const SampleBufferRef& buffer,
                                          const CaptureConnection& connection) override {
    // The silence an idle loop-back device delivers is not the sound under test.
    const auto& block = buffer->dataBuffer();
    if (std::all_of(block->dataPointer(), block->dataPointer() + block->dataLength(),
                    [](std::uint8_t b) { return b == 0; })) {
      return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    buffers.push_back(buffer);
    labels.push_back(dispatch::Queue::currentLabel());
    device = connection.deviceID;
    cv.notify_all();
  }
  bool waitFor(std::size_t n, double seconds) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, std::chrono::duration<double>(seconds),
                       [&] { return buffers.size() >= n; });
  }
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<SampleBufferRef> buffers;
  std::vector<std::string> labels;
  AudioObjectID device = 0;
};

class CaptureSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::writeLoopbackBundle(test::installedBundlePath(root.path()));
    hw = SimAudioHardware::create(root.path());
    setSystemHardware(hw);
  }
  void TearDown() override { setSystemHardware(nullptr); }
  test::SoundTempFolder root;
  std::shared_ptr<SimAudioHardware> hw;
};

TEST_F(CaptureSessionTest, DefaultInputSoundArrivesAsSampleBuffersOnTheDelegateQueue) {
  const AudioObjectID loop = hw->deviceNamed("BlackHole 2ch");
  ASSERT_EQ(hw->setDefaultDevice(true, loop), noErr);
  auto device = CaptureDevice::defaultDeviceWithMediaType(MediaType::Audio);
  ASSERT_TRUE(device);
  EXPECT_EQ(device->deviceID(), loop);
  EXPECT_EQ(device->localizedName(), "BlackHole 2ch");
  EXPECT_FALSE(CaptureDevice::defaultDeviceWithMediaType(MediaType::Video));

  Error error;
  auto input = CaptureDeviceInput::deviceInputWithDevice(device, &error);
  ASSERT_TRUE(input) << error.description;
  auto output = CaptureAudioDataOutput::create();
  auto collector = std::make_shared<Collector>();
  output->setSampleBufferDelegate(collector, dispatch::Queue::createSerial("capture-test-queue"));
  auto session = CaptureSession::create();
  session->beginConfiguration();
  ASSERT_TRUE(session->canAddInput(input));
  session->addInput(input);
  EXPECT_FALSE(session->canAddInput(input));  // one input per session
  session->addOutput(output);
  session->commitConfiguration();
  session->startRunning();
  EXPECT_TRUE(session->isRunning());

  const auto a = test::toneFrames(0, 512, 1000.0);
  const auto b = test::toneFrames(512, 256, 1000.0);
  hw->play(loop, a.data(), a.size() * sizeof(float));
  hw->play(loop, b.data(), b.size() * sizeof(float));
  ASSERT_TRUE(collector->waitFor(2, 5.0));
  session->stopRunning();
  EXPECT_FALSE(session->isRunning());

  std::lock_guard<std::mutex> lock(collector->mutex);
  ASSERT_EQ(collector->buffers.size(), 2u);
  EXPECT_EQ(collector->device, loop);
  EXPECT_EQ(collector->labels[0], "capture-test-queue");
  EXPECT_EQ(collector->buffers[0]->numSamples(), 512);
  EXPECT_EQ(collector->buffers[1]->numSamples(), 256);
  ASSERT_TRUE(collector->buffers[0]->formatDescription());
  EXPECT_EQ(*collector->buffers[0]->formatDescription(), kEncoderInputFormat);
  const auto& block = collector->buffers[1]->dataBuffer();
  EXPECT_EQ(
      std::vector<std::uint8_t>(block->dataPointer(), block->dataPointer() + block->dataLength()),
      test::bytesOf(b));
}

TEST_F(CaptureSessionTest,
       DeviceWithoutInputGivesNoDeviceInputAndASessionWithoutInputCapturesNothing) {
  Error error;
  EXPECT_FALSE(CaptureDeviceInput::deviceInputWithDevice(
      CaptureDevice::create(hw, SimAudioHardware::kBuiltInOutputID), &error));
  EXPECT_EQ(error.domain, "AVFoundationErrorDomain");
  EXPECT_FALSE(CaptureDeviceInput::deviceInputWithDevice(nullptr, nullptr));

  auto session = CaptureSession::create();
  session->startRunning();  // nothing to open
  EXPECT_TRUE(session->isRunning());
  session->stopRunning();
}

TEST_F(CaptureSessionTest, AuthorisationComesFromTheSystemHardware) {
  hw->setAuthorizationStatus(AuthorizationStatus::Denied);
  EXPECT_EQ(CaptureDevice::authorizationStatusForMediaType(MediaType::Audio),
            AuthorizationStatus::Denied);
  hw->setAuthorizationStatus(AuthorizationStatus::Restricted);
  EXPECT_EQ(CaptureDevice::authorizationStatusForMediaType(MediaType::Audio),
            AuthorizationStatus::Restricted);
}

}  // namespace
}  // namespace corvane::platform::audio
