// Audio capture: the capture device (the default audio input of the system hardware, and the
// capture authorisation), a device input, an audio data output with its audio settings and
// sample-buffer delegate, and the capture session that connects them.
//
// A running session delivers every chunk the device produces as a SampleBuffer (a copy of
// the bytes, interleaved, in the device's own format, which the buffer carries) to the
// output's delegate, asynchronously on the delegate queue, in capture order.
//
// Ownership: the session holds its inputs and outputs; an output holds its delegate weakly
// and its queue strongly. Threads: configuration, start and stop from any one controlling
// thread at a time; the delegate runs on its queue. After `stopRunning` returns no new
// buffer is produced; buffers already posted to the queue are still delivered (while the
// delegate lives).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/audio_hardware.h"
#include "platform/audio/sample_buffer.h"
#include "platform/dispatch/dispatch.h"
#include "platform/foundation/error.h"

namespace corvane::platform::audio {

enum class MediaType { Audio, Video };

class CaptureDevice {
 public:
  // The default input device of the system hardware; nullptr for a video type or when there
  // is no default input.
  static std::shared_ptr<CaptureDevice> defaultDeviceWithMediaType(MediaType type);
  // A device of a given hardware (tests, other backends).
  static std::shared_ptr<CaptureDevice> create(std::shared_ptr<AudioHardware> hardware,
                                               AudioObjectID deviceID);

  // The system hardware's capture authorisation (video is always authorised here).
  static AuthorizationStatus authorizationStatusForMediaType(MediaType type);
  // Asks for access; `handler` runs on a thread of the platform's choosing.
  static void requestAccessForMediaType(MediaType type, std::function<void(bool granted)> handler);

  AudioObjectID deviceID() const { return deviceID_; }
  const std::shared_ptr<AudioHardware>& hardware() const { return hardware_; }
  std::string localizedName() const;

 private:
  CaptureDevice(std::shared_ptr<AudioHardware> hardware, AudioObjectID deviceID)
      : hardware_(std::move(hardware)), deviceID_(deviceID) {}

  const std::shared_ptr<AudioHardware> hardware_;
  const AudioObjectID deviceID_;
};

class CaptureDeviceInput {
 public:
  // nullptr (and `error`, may be null, filled) for a null device or one without input
  // channels.
  static std::shared_ptr<CaptureDeviceInput> deviceInputWithDevice(
      std::shared_ptr<CaptureDevice> device, Error* error);
  const std::shared_ptr<CaptureDevice>& device() const { return device_; }

 private:
  explicit CaptureDeviceInput(std::shared_ptr<CaptureDevice> device) : device_(std::move(device)) {}
  const std::shared_ptr<CaptureDevice> device_;
};

// Requested output settings. Only linear PCM is delivered; the backends always deliver
// interleaved samples in the device's own rate, channel count and sample type.
struct AudioSettings {
  std::optional<std::uint32_t> formatID;          // AVFormatIDKey
  std::optional<bool> linearPCMIsNonInterleaved;  // AVLinearPCMIsNonInterleaved

  // Number of entries set.
  std::size_t count() const {
    return (formatID ? 1u : 0u) + (linearPCMIsNonInterleaved ? 1u : 0u);
  }
};

class CaptureAudioDataOutput;

// The connection between the session's input and an output, passed to the delegate.
struct CaptureConnection {
  AudioObjectID deviceID = kAudioObjectUnknown;
};

class AudioSampleBufferDelegate {
 public:
  virtual ~AudioSampleBufferDelegate() = default;
  // On the delegate queue, once per captured chunk.
  virtual void captureOutputDidOutputSampleBuffer(CaptureAudioDataOutput& output,
                                                  const SampleBufferRef& sampleBuffer,
                                                  const CaptureConnection& connection) = 0;
};

class CaptureAudioDataOutput : public std::enable_shared_from_this<CaptureAudioDataOutput> {
 public:
  static std::shared_ptr<CaptureAudioDataOutput> create();

  AudioSettings audioSettings() const;
  void setAudioSettings(AudioSettings settings);
  // The delegate (held weakly) and the queue it is called on; a null queue means the
  // global default queue.
  void setSampleBufferDelegate(std::weak_ptr<AudioSampleBufferDelegate> delegate,
                               dispatch::QueuePtr queue);
  std::shared_ptr<AudioSampleBufferDelegate> sampleBufferDelegate() const;
  dispatch::QueuePtr sampleBufferCallbackQueue() const;

  // Called by the session on the capture thread: posts one buffer to the delegate.
  void deliver(const SampleBufferRef& buffer, const CaptureConnection& connection);

 private:
  CaptureAudioDataOutput() = default;

  mutable std::mutex mutex_;
  AudioSettings settings_;
  std::weak_ptr<AudioSampleBufferDelegate> delegate_;
  dispatch::QueuePtr queue_;
};

class CaptureSession {
 public:
  static std::shared_ptr<CaptureSession> create();
  ~CaptureSession();
  CaptureSession(const CaptureSession&) = delete;
  CaptureSession& operator=(const CaptureSession&) = delete;

  void beginConfiguration();
  void commitConfiguration();
  bool canAddInput(const std::shared_ptr<CaptureDeviceInput>& input) const;
  // A session captures from at most one input; a null or second input is not added.
  void addInput(std::shared_ptr<CaptureDeviceInput> input);
  void addOutput(std::shared_ptr<CaptureAudioDataOutput> output);
  std::vector<std::shared_ptr<CaptureDeviceInput>> inputs() const;
  std::vector<std::shared_ptr<CaptureAudioDataOutput>> outputs() const;

  // Opens the input's capture stream (a session without input runs and captures nothing).
  void startRunning();
  // Closes the stream; see the header comment for buffers already posted.
  void stopRunning();
  bool isRunning() const;

 private:
  CaptureSession() = default;

  mutable std::mutex mutex_;
  std::shared_ptr<CaptureDeviceInput> input_;
  std::vector<std::shared_ptr<CaptureAudioDataOutput>> outputs_;
  std::unique_ptr<AudioInputStream> stream_;
  bool running_ = false;
  int configurationDepth_ = 0;
};

}  // namespace corvane::platform::audio
