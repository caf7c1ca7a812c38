// The connection screen: drives one mirroring session with the receiver the PIN screen found.
// Shown with a receiver while no session runs, it connects its session controller; it checks
// the audio-capture authorisation (asked for when the view loads) and the screen-recording
// permission before a mirror click, switches mirroring on and off from one button, shows the
// receiver's answers, and tells its delegate when the session ends (the disconnect button, or
// a receiver that cannot be reached).
//
// Threads: actions, `awakeFromNib`, `viewWillAppear` and every view change on the main thread;
// the MirrorChannelDelegate operations arrive on the session controller's threads, change the
// mode there and queue all view work to the main queue. `workingMode` is one atomic byte;
// `receiver` is guarded by a lock because the version reply updates it from the main queue
// while `MainHandler` sets it there too (both on the main thread; the lock keeps the reads of
// the callback threads safe).
//
// Ownership: made once by `MainHandler` and kept for the life of the application; owns one
// session controller for its whole life (which holds the screen as its delegate), and holds
// its own delegate strongly.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

#include "app/app_support.h"
#include "app/connect_status_view_delegate.h"
#include "app/working_mode.h"
#include "lookup/device.h"
#include "lookup/receiver_object.h"
#include "platform/ui/view_controller.h"
#include "session/mirror_channel.h"
#include "session/mirror_channel_delegate.h"

namespace corvane {

namespace detail {
// The address the screen connects to, chosen from a receiver's address list.
std::string chooseReceiverAddress(const std::vector<std::string>& ipList);
}  // namespace detail

class ConnectStatusViewController : public platform::ui::ViewController,
                                    public MirrorChannelDelegate,
                                    public std::enable_shared_from_this<ConnectStatusViewController> {
 public:
  static constexpr const char* kScreenRecordingSettingsURL =
      "x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture";

  // `initWithNibName:bundle:`: the fields, the session controller (working with
  // `mirrorEnvironment`: the application passes the process's services, tests their fakes),
  // then its set-up (the screen as its delegate, the machine's address once, from
  // `localAddress`).
  static std::shared_ptr<ConnectStatusViewController> create(
      MirrorChannel::Environment mirrorEnvironment, const detail::LocalAddressSource& localAddress);
  ~ConnectStatusViewController() override;

  void awakeFromNib() override;
  void viewWillAppear() override;

  // Actions.
  void onMirrorButtonClicked();
  void onDisconnectButtonClicked();
  void onMirrorBackButtonClicked() {}

  // MirrorChannelDelegate (session controller's threads).
  void onConnectToReceiverSuccess() override;
  void onConnectToReceiverFailed(int code) override;
  void onRequestMirrorOnSuccess() override;
  void onRequestMirrorOnFailed(int code) override;
  void onRequestMirrorOffSuccess() override;
  void onRequestReceiverVersionSuccess(const std::string& version) override;

  std::optional<ReceiverObject> receiver() const;
  void setReceiver(std::optional<ReceiverObject> receiver);
  void setDelegate(std::shared_ptr<ConnectStatusViewDelegate> delegate) { delegate_ = std::move(delegate); }
  const std::shared_ptr<ConnectStatusViewDelegate>& delegate() const { return delegate_; }
  WorkingMode workingMode() const { return workingMode_.load(); }
  const std::shared_ptr<MirrorChannel>& mirrorChannel() const { return mirrorChannel_; }
  std::shared_ptr<Device> targetDevice() const;
  bool firstTimeClickShareButton() const { return firstTimeClickShareButton_; }

  // Outlets.
  std::shared_ptr<platform::ui::TextField> receiverNameTextField() const;
  std::shared_ptr<platform::ui::TextField> ipListTextField() const;
  std::shared_ptr<platform::ui::StackView> contentStackView() const;
  std::shared_ptr<platform::ui::ProgressIndicator> connectStatusProgressIndicator() const;
  std::shared_ptr<platform::ui::Button> mirrorBackButton() const;
  std::shared_ptr<platform::ui::Button> mirrorButton() const;
  std::shared_ptr<platform::ui::Button> disconnectButton() const;

 private:
  ConnectStatusViewController();
  void setUpMirrorChannel(const detail::LocalAddressSource& localAddress);
  void checkAudioPermission();
  void connectToReceiver();
  void toggleMirror();
  void disconnect();
  // Queues the audio alert to the main queue (also from the main thread).
  void queueAudioAlert();
  void runScreenRecordingAlert();
  void runNotReachableAlert();
  void stopProgress();

  std::shared_ptr<MirrorChannel> mirrorChannel_;
  mutable std::mutex mutex_;  // guards the two fields below
  std::optional<ReceiverObject> receiver_;
  std::shared_ptr<Device> targetDevice_;
  bool firstTimeClickShareButton_ = true;  // main thread
  std::shared_ptr<ConnectStatusViewDelegate> delegate_;
  std::atomic<WorkingMode> workingMode_{WorkingMode::NONE};
};

}  // namespace corvane
