// The PIN screen: the entry half (PincodeEntryViewController) plus the look-up that turns a
// complete PIN into a receiver answering on the local network.
//
// Two roads, chosen by the PIN type: a 6-digit PIN goes to the look-up server through
// `pincodeChannel`, whose address list is then probed with the UDP query; an 8-digit PIN is
// decoded locally against the machine's own IPv4 address and that one address is probed. The
// first UDP answer is handed to `pincodeViewControllerDelegate`; no answer within 5 s ends the
// look-up with the time-out alert.
//
// One look-up at a time: from `connect` until the look-up ends (a receiver found, the time-out
// fired, or a failure that cancelled the time-out) keys are ignored (consumed) and a further
// `connect` does nothing, so that a second look-up never shares the first one's channel, answer
// and time-out. Once a receiver was found the screen starts no further look-up: it is about to
// be replaced.
//
// Threads: `connect`, the time-out, the alerts and every outlet change on the main thread;
// the PincodeDelegate operations on the PIN channel's queue; the serverless decode on the
// default global queue; `onFoundReceiver` on the query channel's queue (which then hops
// synchronously to the main queue). `receiver` and `queryDeviceChannel` are guarded by one lock.
//
// Ownership: made with `create`; owns its PIN channel and query channel (both hold the screen
// as their listener, strongly), and holds its delegate strongly.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/cancellable_work_item.h"
#include "app/pincode_entry_view_controller.h"
#include "lookup/pincode_channel.h"
#include "lookup/pincode_delegate.h"
#include "lookup/query_receiver_delegate.h"
#include "lookup/query_server_channel.h"
#include "lookup/receiver_data.h"
#include "session/mirror_channel.h"

namespace corvane {

namespace detail {

// The outcome of decoding a serverless PIN against the machine's own address.
struct ServerlessTarget {
  enum class Result { Ok, InvalidLocalAddress, SliceNotNumber, OctetTooLarge };
  Result result = Result::Ok;
  std::string sf, sa, sb;  // the slices as typed (empty when the address was invalid)
  std::string target;      // the receiver's address when Ok
};
// `pin` holds 8 characters; positions [0,2) key, [3,5) third octet, [5,8) fourth octet, each
// XORed with the key; the first two octets come from `localIp` as they stand in its text.
ServerlessTarget decodeServerlessPin(const std::string& localIp, const std::string& pin);

}  // namespace detail

class PincodeViewController : public PincodeEntryViewController,
                              public PincodeDelegate,
                              public QueryReceiverDelegate {
 public:
  static constexpr double kLookupTimeout = 5.0;

  // `initWithNibName:bundle:`: the fields, then a new PIN channel with the screen as listener.
  // The driver check's session controller works with `mirrorEnvironment` (the application
  // passes the process's services, tests their fakes).
  static std::shared_ptr<PincodeViewController> create(
      MirrorChannel::Environment mirrorEnvironment);
  ~PincodeViewController() override;

  // Starts one look-up of the complete PIN (main thread).
  void connect() override;
  // The driver check queued when the view loads (main thread).
  void checkSoundPlugin() override;
  // Keys are ignored while a look-up runs.
  bool handleKeyDown(const platform::ui::Event& event) override;

  // PincodeDelegate (PIN channel's queue).
  void onConnectPinServerSuccess() override;
  void onConnectServerFailed() override;
  void onPincodeResolved(const ReceiverObject& receiver) override;
  void onReceiverNotFound() override;
  // QueryReceiverDelegate (query channel's queue).
  void onFoundReceiver(const ReceiverData& receiver) override;

  // Observations.
  const std::shared_ptr<PincodeChannel>& pincodeChannel() const { return pincodeChannel_; }
  std::shared_ptr<QueryServerChannel> queryDeviceChannel() const;
  std::optional<ReceiverData> receiver() const;
  bool isLookingUp() const { return lookingUp_.load(); }

 protected:
  explicit PincodeViewController(MirrorChannel::Environment mirrorEnvironment);
  // The second half of `create`, for subclasses made with their own `create`.
  void setUpPincodeChannel();
  // Sends the UDP query to `ip` (the PIN channel's queue or the global queue).
  virtual void probe(const std::string& ip);
  // The serverless road, on the global queue, over the PIN taken when the look-up started.
  void findReceiverServerless(const std::string& pin);

 private:
  std::shared_ptr<PincodeViewController> self();
  // Main queue: the failure alert after the progress is stopped and the entry area shown.
  void showFailure(const std::string& titleKey, const std::string& messageKey, bool endsLookup);
  void stopProgress(bool showEntry);
  void onTimeout();

  const MirrorChannel::Environment mirrorEnvironment_;
  std::shared_ptr<PincodeChannel> pincodeChannel_;
  mutable std::mutex mutex_;  // guards the two fields below
  std::shared_ptr<QueryServerChannel> queryDeviceChannel_;
  std::optional<ReceiverData> receiver_;
  // Main thread only.
  std::shared_ptr<detail::CancellableWorkItem> connectRecieverTimeoutWorkItem_;
  std::atomic<bool> lookingUp_{false};
};

}  // namespace corvane
