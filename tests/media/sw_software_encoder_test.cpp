#include "media/sw_software_encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "media/media_packet.h"
#include "media_test_support.h"
#include "platform/video/pixel_buffer.h"

namespace corvane {
namespace {

using test::readBig32;
using test::RecordingCallback;

constexpr int kNalNonIdrSlice = 1;
constexpr int kNalIdrSlice = 5;
constexpr int kNalSei = 6;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;

struct FrameInput {
  int width;
  int height;
  std::uint32_t timestamp;
  bool keyframe = false;
};

// One NAL unit as a packet carried it.
struct Nal {
  int type = 0;
  std::uint32_t timestamp = 0;
  std::vector<std::uint8_t> bytes;  // Annex B, start code included
};

// Checks the video packet layout and takes the NAL unit out of it.
Nal nalOf(const RecordingCallback::Packet& p) {
  Nal nal;
  EXPECT_EQ(p.kind, 1u);
  EXPECT_EQ(p.block.size(), p.wireLength + 8u);
  EXPECT_EQ(readBig32(p.block.data() + 8), p.wireLength - 4);
  for (int word = 0; word < 5; ++word) EXPECT_EQ(readBig32(p.block.data() + 12 + 4 * word), 1u);
  nal.timestamp = readBig32(p.block.data() + 32);
  nal.bytes.assign(p.block.begin() + 36, p.block.end());
  const auto& b = nal.bytes;
  std::size_t header = 0;
  if (b.size() > 4 && b[0] == 0 && b[1] == 0 && b[2] == 0 && b[3] == 1) {
    header = 4;
  } else if (b.size() > 3 && b[0] == 0 && b[1] == 0 && b[2] == 1) {
    header = 3;
  }
  EXPECT_NE(header, 0u) << "every NAL unit starts with a start code";
  if (header != 0) nal.type = b[header] & 0x1f;
  return nal;
}

// Waits until a packet of the frame stamped `timestamp` has arrived.
bool waitForTimestamp(RecordingCallback& callback, std::uint32_t timestamp) {
  return callback.waitUntil(
      [&](const auto& packets) {
        return std::any_of(packets.begin(), packets.end(), [&](const auto& p) {
          return p.block.size() >= 36 && readBig32(p.block.data() + 32) == timestamp;
        });
      },
      60.0);
}

std::shared_ptr<RawVideoFrame> frameItem(platform::video::PixelBufferRef buffer,
                                         std::uint32_t timestamp) {
  auto item = std::make_shared<RawVideoFrame>();
  item->buffer = std::move(buffer);
  item->timestamp = timestamp;
  return item;
}

// Runs a started encoder over the frames and answers the NAL units of all its packets.
std::vector<Nal> encodeFrames(const std::vector<FrameInput>& frames,
                              std::shared_ptr<SWSoftwareEncoder>* encoderOut = nullptr) {
  auto encoder = SWSoftwareEncoder::create();
  auto callback = std::make_shared<RecordingCallback>();
  auto queue = RawVideoQueue::initWithCapacity(3);
  encoder->setVaCallback(callback);
  encoder->setRawVideoInput(queue);
  encoder->start();
  for (std::size_t i = 0; i < frames.size(); ++i) {
    auto item = std::make_shared<RawVideoFrame>();
    item->buffer = test::makeNv12Frame(frames[i].width, frames[i].height, static_cast<int>(i));
    item->timestamp = frames[i].timestamp;
    item->keyframe = frames[i].keyframe;
    EXPECT_TRUE(queue->put(item, 30.0));
  }
  // Frames whose encoder cannot open make no packets; the last frame must be one that can,
  // and its packets show that every frame before it has been dealt with.
  EXPECT_GE(frames.back().width, 16);
  EXPECT_GE(frames.back().height, 16);
  EXPECT_TRUE(waitForTimestamp(*callback, frames.back().timestamp));
  encoder->stop();
  EXPECT_FALSE(encoder->isEncoderOpen()) << "stop closes the encoder";
  if (encoderOut != nullptr) *encoderOut = encoder;
  std::vector<Nal> nals;
  for (const auto& p : callback->packets()) nals.push_back(nalOf(p));
  return nals;
}

std::vector<int> typesAt(const std::vector<Nal>& nals, std::uint32_t timestamp) {
  std::vector<int> types;
  for (const auto& nal : nals) {
    if (nal.timestamp == timestamp) types.push_back(nal.type);
  }
  return types;
}

// The Annex B stream (wire parts without their headers), probed and decoded by FFmpeg.
struct Probe {
  int width = 0;
  int height = 0;
  std::string frameRate;
  std::string decodeErrors;
  int decodeExit = -1;
};

Probe probeStream(const std::vector<Nal>& nals) {
  std::vector<std::uint8_t> stream;
  for (const auto& nal : nals) stream.insert(stream.end(), nal.bytes.begin(), nal.bytes.end());
  test::TempFolder folder;
  const std::string file = folder.file("video.h264");
  test::writeFile(file, stream);
  Probe probe;
  const auto decode = test::runProcess(
      {"ffmpeg", "-nostdin", "-v", "error", "-f", "h264", "-i", file, "-f", "null", "-"});
  probe.decodeExit = decode.exitCode;
  probe.decodeErrors = decode.output;
  const auto info = test::runProcess({"ffprobe", "-v", "error", "-f", "h264", "-select_streams",
                                      "v:0", "-show_entries", "stream=width,height,r_frame_rate",
                                      "-of", "default=noprint_wrappers=1", file});
  auto field = [&](const std::string& key) {
    const auto at = info.output.find(key + "=");
    if (at == std::string::npos) return std::string();
    const auto end = info.output.find('\n', at);
    return info.output.substr(at + key.size() + 1, end - at - key.size() - 1);
  };
  probe.width = std::atoi(field("width").c_str());
  probe.height = std::atoi(field("height").c_str());
  probe.frameRate = field("r_frame_rate");
  return probe;
}

class SWSoftwareEncoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::haveProgram("ffmpeg") && test::haveProgram("ffprobe"))
        << "ffmpeg/ffprobe are not installed (scripts/install-deps installs them)";
  }
};

TEST_F(SWSoftwareEncoderTest, EncodesAtMost1920x1080RoundedDownTo16AndFFmpegDecodesIt) {
  struct Case {
    int width, height, expectedWidth, expectedHeight;
  };
  for (const Case& c :
       {Case{1920, 1080, 1920, 1072}, Case{2880, 1800, 1920, 1072}, Case{1366, 768, 1360, 768}}) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    std::shared_ptr<SWSoftwareEncoder> encoder;
    const auto nals = encodeFrames(
        {{c.width, c.height, 1000}, {c.width, c.height, 1040}, {c.width, c.height, 1080}},
        &encoder);
    EXPECT_EQ(encoder->dstWidth(), c.expectedWidth);
    EXPECT_EQ(encoder->dstHeight(), c.expectedHeight);
    EXPECT_EQ(encoder->srcWidth(), c.width);
    EXPECT_EQ(encoder->srcHeight(), c.height);
    for (std::uint32_t ts : {1000u, 1040u, 1080u}) EXPECT_FALSE(typesAt(nals, ts).empty()) << ts;
    const Probe probe = probeStream(nals);
    EXPECT_EQ(probe.decodeExit, 0);
    EXPECT_EQ(probe.decodeErrors, "");
    EXPECT_EQ(probe.width, c.expectedWidth);
    EXPECT_EQ(probe.height, c.expectedHeight);
  }
}

TEST_F(SWSoftwareEncoderTest, ASizeChangeReopensTheEncoderOnceAtItsFirstFrame) {
  const auto nals = encodeFrames(
      {{320, 240, 100}, {320, 240, 140}, {352, 288, 180}, {352, 288, 220}, {352, 288, 260}});
  // A newly opened encoder starts with its parameter sets, its version SEI and an IDR
  // picture; an encoder that stays open sends plain slices.
  for (std::uint32_t ts : {100u, 180u}) {
    const auto types = typesAt(nals, ts);
    EXPECT_EQ(std::count(types.begin(), types.end(), kNalSps), 1) << ts;
    EXPECT_EQ(std::count(types.begin(), types.end(), kNalSei), 1) << ts;
    EXPECT_EQ(std::count(types.begin(), types.end(), kNalIdrSlice), 1) << ts;
  }
  for (std::uint32_t ts : {140u, 220u, 260u}) {
    EXPECT_EQ(typesAt(nals, ts), std::vector<int>{kNalNonIdrSlice}) << ts;
  }
  const Probe probe = probeStream(nals);
  EXPECT_EQ(probe.decodeExit, 0);
  EXPECT_EQ(probe.decodeErrors, "");
}

TEST_F(SWSoftwareEncoderTest, AKeyframeRequestGivesParameterSetsAndAnIdrSliceWithOneTimestamp) {
  const auto nals =
      encodeFrames({{640, 480, 10}, {640, 480, 50}, {640, 480, 90, true}, {640, 480, 130}});
  EXPECT_EQ(typesAt(nals, 50), std::vector<int>{kNalNonIdrSlice});
  EXPECT_EQ(typesAt(nals, 90), (std::vector<int>{kNalSps, kNalPps, kNalIdrSlice}));
  EXPECT_EQ(typesAt(nals, 130), std::vector<int>{kNalNonIdrSlice});
  const Probe probe = probeStream(nals);
  EXPECT_EQ(probe.decodeExit, 0);
  EXPECT_EQ(probe.decodeErrors, "");
}

TEST_F(SWSoftwareEncoderTest, TheFrameRateMeasuredAtASizeChangeConfiguresTheEncoderAtLeast15) {
  struct Case {
    const char* name;
    std::uint32_t interval;  // ms between frames before the size change
    int framesBefore;
    std::uint64_t expectedFps;
  };
  for (const Case& c :
       {Case{"10 frames a second", 100, 5, 15}, Case{"50 frames a second", 20, 30, 31}}) {
    SCOPED_TRACE(c.name);
    std::vector<FrameInput> frames;
    std::uint32_t ts = 5000;
    for (int i = 0; i < c.framesBefore; ++i, ts += c.interval) frames.push_back({160, 128, ts});
    frames.push_back({176, 144, ts});
    frames.push_back({176, 144, ts + c.interval});
    std::shared_ptr<SWSoftwareEncoder> encoder;
    const auto nals = encodeFrames(frames, &encoder);
    EXPECT_EQ(encoder->encodingFps(), c.expectedFps);
    EXPECT_EQ(encoder->x264Param().i_fps_num, c.expectedFps);
    EXPECT_EQ(encoder->x264Param().i_fps_den, 1u);
    // The parameter sets of the last open carry the rate; FFmpeg reads it from there.
    std::vector<Nal> lastPart;
    for (const auto& nal : nals) {
      if (nal.timestamp >= ts) lastPart.push_back(nal);
    }
    const Probe probe = probeStream(lastPart);
    EXPECT_EQ(probe.frameRate, std::to_string(c.expectedFps) + "/1");
    EXPECT_EQ(probe.width, 176);
  }
}

// The encoder's own account of its settings: the "options:" text of the version SEI that
// opens the first key frame, as key=value pairs.
std::map<std::string, std::string> settingsText(const std::vector<Nal>& nals) {
  std::map<std::string, std::string> settings;
  for (const auto& nal : nals) {
    if (nal.type != kNalSei) continue;
    const std::string bytes(nal.bytes.begin(), nal.bytes.end());
    const auto at = bytes.find("options: ");
    if (at == std::string::npos) continue;
    const auto end = bytes.find('\0', at);
    std::istringstream text(bytes.substr(at + 9, end == std::string::npos ? end : end - at - 9));
    for (std::string pair; text >> pair;) {
      const auto eq = pair.find('=');
      if (eq != std::string::npos) settings[pair.substr(0, eq)] = pair.substr(eq + 1);
    }
    break;
  }
  return settings;
}

TEST_F(SWSoftwareEncoderTest, EveryFixedParameterReachesTheEncoder) {
  std::shared_ptr<SWSoftwareEncoder> encoder;
  const auto nals = encodeFrames({{320, 240, 1000}, {320, 240, 1040}}, &encoder);
  const auto settings = settingsText(nals);
  ASSERT_FALSE(settings.empty()) << "no settings text in the first key frame";

  // The parameters the encoder writes into its settings text; a null value: not written,
  // as the encoder writes it only for B-frames.
  struct Written {
    const char* field;
    const char* key;
    const char* value;
  };
  for (const Written& w : {
           Written{"i_threads", "threads", "1"},
           Written{"i_keyint_max", "keyint", "2000"},
           Written{"i_frame_reference", "ref", "1"},
           Written{"i_scenecut_threshold", "scenecut", "0"},
           Written{"i_bframe", "bframes", "0"},
           Written{"i_bframe_adaptive", "b_adapt", nullptr},
           Written{"b_deblocking_filter", "deblock", "0:0:0"},
           Written{"b_cabac", "cabac", "0"},
           Written{"analyse.intra, analyse.inter", "analyse", "0:0"},
           Written{"analyse.b_transform_8x8", "8x8dct", "0"},
           Written{"analyse.i_weighted_pred", "weightp", "0"},
           Written{"analyse.b_weighted_bipred", "weightb", nullptr},
           Written{"analyse.i_me_method", "me", "dia"},
           Written{"analyse.i_subpel_refine", "subme", "0"},
           Written{"analyse.b_mixed_references", "mixed_ref", "0"},
           Written{"analyse.i_trellis", "trellis", "0"},
           Written{"rc.i_rc_method", "rc", "abr"},
           Written{"rc.i_bitrate", "bitrate", "4400"},
           Written{"rc.i_vbv_max_bitrate", "vbv_maxrate", "5280"},
           Written{"rc.i_vbv_buffer_size", "vbv_bufsize", "5280"},
           Written{"rc.i_aq_mode", "aq", "0"},
           Written{"rc.b_mb_tree", "mbtree", "0"},
           Written{"rc.i_lookahead", "rc_lookahead", "0"},
       }) {
    SCOPED_TRACE(w.field);
    const auto found = settings.find(w.key);
    if (w.value == nullptr) {
      EXPECT_EQ(found, settings.end()) << w.key << "=" << found->second;
    } else {
      ASSERT_NE(found, settings.end()) << w.key;
      EXPECT_EQ(found->second, w.value) << w.key;
    }
  }

  // The parameters the settings text leaves out, in the record the encoder was opened with.
  const x264_param_t& p = encoder->x264Param();
  struct Kept {
    const char* field;
    long actual;
    long expected;
  };
  for (const Kept& k : {
           Kept{"i_width", p.i_width, 320},
           Kept{"i_height", p.i_height, 240},
           Kept{"i_fps_num", static_cast<long>(p.i_fps_num), 15},
           Kept{"i_fps_den (library default)", static_cast<long>(p.i_fps_den), 1},
           Kept{"i_sync_lookahead", p.i_sync_lookahead, 0},
           Kept{"b_vfr_input", p.b_vfr_input, 0},
           Kept{"b_repeat_headers", p.b_repeat_headers, 1},
           Kept{"b_opencl", p.b_opencl, 1},
           Kept{"i_log_level", p.i_log_level, X264_LOG_WARNING},
           Kept{"i_csp (library default)", p.i_csp, X264_CSP_I420},
           Kept{"b_annexb (library default)", p.b_annexb, 1},
       }) {
    EXPECT_EQ(k.actual, k.expected) << k.field;
  }
  // And in the stream itself: size and frame rate in the parameter sets.
  const Probe probe = probeStream(nals);
  EXPECT_EQ(probe.width, 320);
  EXPECT_EQ(probe.height, 240);
  EXPECT_EQ(probe.frameRate, "15/1");
}

TEST_F(SWSoftwareEncoderTest, AFrameTooSmallToEncodeIsDroppedAndTheNextSizeRecovers) {
  std::shared_ptr<SWSoftwareEncoder> encoder;
  const auto nals = encodeFrames({{8, 8, 1}, {320, 240, 2}}, &encoder);
  EXPECT_TRUE(typesAt(nals, 1).empty());
  EXPECT_FALSE(typesAt(nals, 2).empty());
  EXPECT_EQ(encoder->dstWidth(), 320);
  EXPECT_EQ(encoder->dstHeight(), 240);
}

// Stops its encoder from inside the callback, on the worker thread, at the first packet.
class StoppingCallback : public AVCallback {
 public:
  void onOutputMediaData(std::uint8_t* packet) override {
    freeMediaPacket(packet);
    if (auto encoder = encoder_.lock()) encoder->stop();
    called.fire();
  }
  std::weak_ptr<SWSoftwareEncoder> encoder_;
  test::Signal called;
};

TEST(SWSoftwareEncoderLifecycleTest, StartsOnceRestartsAndBuildsPacketsOnlyForASetCallback) {
  using namespace platform::video;
  auto encoder = SWSoftwareEncoder::create();
  auto queue = RawVideoQueue::initWithCapacity(3);
  encoder->setRawVideoInput(queue);
  encoder->stop();  // never started: returns at once

  // Without a callback the worker takes and encodes frames but builds no packet (a leaked
  // packet would show under AddressSanitizer). The frame's memory is let go once it is scaled.
  encoder->start();
  encoder->start();  // no second worker (two would race on the encoder under ThreadSanitizer)
  test::Signal released;
  auto memory = std::make_shared<std::vector<std::uint8_t>>(64 * 64 + 64 * 32, 128);
  PixelBufferRef wrapped;
  ASSERT_EQ(PixelBuffer::createWithPlanes(
                64, 64, kPixelFormat420YpCbCr8BiPlanarVideoRange,
                {{memory->data(), 64}, {memory->data() + 64 * 64, 64}},
                [memory, &released] { released.fire(); }, &wrapped),
            kReturnSuccess);
  memory.reset();
  ASSERT_TRUE(queue->put(frameItem(std::move(wrapped), 1), 5.0));
  ASSERT_TRUE(released.waitFor(30.0));
  encoder->stop();
  EXPECT_FALSE(encoder->isEncoderOpen());
  EXPECT_EQ(encoder->dstWidth(), 64);

  // A restarted worker opens a new encoder: its first picture is an IDR picture with the
  // parameter sets, and now the packets reach the callback.
  auto callback = std::make_shared<RecordingCallback>();
  encoder->setVaCallback(callback);
  encoder->start();
  ASSERT_TRUE(queue->put(frameItem(test::makeNv12Frame(64, 64, 2), 2), 5.0));
  ASSERT_TRUE(queue->put(frameItem(test::makeNv12Frame(64, 64, 3), 3), 5.0));
  EXPECT_TRUE(waitForTimestamp(*callback, 3));
  encoder->stop();
  std::vector<Nal> nals;
  for (const auto& p : callback->packets()) nals.push_back(nalOf(p));
  const auto first = typesAt(nals, 2);
  EXPECT_EQ(std::count(first.begin(), first.end(), kNalSps), 1);
  EXPECT_EQ(std::count(first.begin(), first.end(), kNalIdrSlice), 1);
  EXPECT_EQ(typesAt(nals, 3), std::vector<int>{kNalNonIdrSlice});

  // `stop` called by the callback on the worker itself ends the worker without waiting for
  // itself; the owner's `stop` afterwards returns once it has ended.
  auto stopping = std::make_shared<StoppingCallback>();
  stopping->encoder_ = encoder;
  encoder->setVaCallback(stopping);
  encoder->start();
  ASSERT_TRUE(queue->put(frameItem(test::makeNv12Frame(64, 64, 4), 4), 5.0));
  ASSERT_TRUE(stopping->called.waitFor(30.0));
  encoder->stop();
  EXPECT_FALSE(encoder->isEncoderOpen());
}

TEST(SWSoftwareEncoderLifecycleTest, StopReturnsOnlyOnceTheWorkerThreadHasExited) {
  auto encoder = SWSoftwareEncoder::create();
  auto queue = RawVideoQueue::initWithCapacity(3);
  auto callback = std::make_shared<test::WatchingCallback>();
  encoder->setRawVideoInput(queue);
  encoder->setVaCallback(callback);
  encoder->start();
  ASSERT_TRUE(queue->put(frameItem(test::makeNv12Frame(64, 64, 1), 1), 5.0));
  ASSERT_TRUE(callback->called.waitFor(30.0));
  encoder->stop();
  // Nothing of the worker runs on: a process could end and check for leaks right now.
  EXPECT_TRUE(callback->watch.exited());
}

TEST(SWSoftwareEncoderStateTest, CalcFramerateCountsTheLastSecondAcrossTheClockWrap) {
  auto encoder = SWSoftwareEncoder::create();
  struct Step {
    std::uint32_t timestamp;
    std::uint64_t expected;
  };
  const std::uint32_t base = 0xffffff00u;  // wraps 256 ms in
  for (const Step& s : {Step{base, 1}, Step{base + 500, 2}, Step{base + 1000, 3},
                        Step{base + 1001, 3}, Step{base + 1600, 3}, Step{base + 4000, 1}}) {
    encoder->calcFramerate(s.timestamp);
    EXPECT_EQ(encoder->currFps(), s.expected) << s.timestamp;
  }
}

}  // namespace
}  // namespace corvane
