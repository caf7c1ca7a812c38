// The PIN screen: the entry half (PincodeEntryViewController) plus the look-up that turns a
// complete PIN into a receiver answering on the local network.
//
// Two roads, chosen by the PIN type: a 6-digit PIN goes to the look-up server through
// `pincodeChannel`, whose address list is then probed with the UDP query; an 8-digit PIN is
// decoded locally against the machine's own IPv4 address and that one address is probed. The
// first UDP answer is handed to `pincodeViewControllerDelegate`; no answer within 5 s ends the
// look-up with the time-out alert.
//
// One look-up at a time: from `connect` until a failure shows the entry area again, the
// time-out fires or a receiver is found, keys are ignored (consumed) and a further `connect`
// does nothing, so that a second look-up never shares the first one's channel, answer and
// time-out. Once a receiver was found the screen starts no further look-up: it is about to be
// replaced.
//
// Every look-up has a number. A result counts only while it belongs to the look-up that is
// still waiting for one, on a screen that is in a window: a reply, failure, answer or time-out
// of a look-up that has ended (timed out, failed, found, superseded by a later look-up, or its
// screen gone from the window or closed) changes nothing and shows nothing. The local-address
// failures show the entry again but leave their time-out due, whose alert then follows unless
// a new look-up was started meanwhile. The time-out ends the PIN-server exchange that its
// look-up started, so that the next look-up connects anew.
//
// Threads: `connect`, the time-out, the alerts and every outlet change on the main thread;
// the PincodeDelegate operations on the PIN channel's queue; the serverless decode on the
// default global queue; `onFoundReceiver` on the query channel's queue (which then hops
// synchronously to the main queue). `receiver`, `queryDeviceChannel` and whether the screen was
// closed are guarded by one lock; the look-up numbers are atomic.
//
// Ownership: made with `create`; owns its PIN channel and query channel (both hold the screen
// as their listener, strongly), and holds its delegate strongly. `closeChannels` (by the window
// controller, when the screen leaves the window for good) closes both; the key monitor keeps
// the screen itself alive.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/app_support.h"
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
  // passes the process's services, tests their fakes); `localAddress` answers the machine's
  // own IPv4 address for the serverless road.
  static std::shared_ptr<PincodeViewController> create(MirrorChannel::Environment mirrorEnvironment,
                                                       detail::LocalAddressSource localAddress);
  ~PincodeViewController() override;

  // Starts one look-up of the complete PIN (main thread).
  void connect() override;
  // The driver check queued when the view loads (main thread).
  void checkSoundPlugin() override;
  // Keys are ignored while a look-up runs.
  bool handleKeyDown(const platform::ui::Event& event) override;
  // Ends the running look-up (without an alert), disconnects the PIN channel and closes the
  // query channel's socket; the screen starts no look-up afterwards. Main thread; idempotent.
  void closeChannels();

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
  PincodeViewController(MirrorChannel::Environment mirrorEnvironment,
                        detail::LocalAddressSource localAddress);
  // The second half of `create`, for subclasses made with their own `create`.
  void setUpPincodeChannel();
  // Sends the UDP query to `ip` (the PIN channel's queue or the global queue); nothing once
  // the screen was closed.
  virtual void probe(const std::string& ip);
  // The serverless road of look-up `lookup`, on the global queue, over the PIN taken when the
  // look-up started.
  void findReceiverServerless(const std::string& pin, std::uint64_t lookup);

 private:
  std::shared_ptr<PincodeViewController> self();
  // Whether look-up `lookup` still waits for its result on a screen in a window (main thread).
  bool isCurrent(std::uint64_t lookup);
  // Main thread: the look-up is over; its time-out is cancelled unless it is the one running.
  void endLookup(bool cancelTimeout);
  // From any queue: on the main queue, if look-up `lookup` is still current, the failure alert
  // after the progress is stopped and the entry area shown (input works again); `endsLookup`
  // also ends the look-up and cancels its time-out.
  void showFailure(std::uint64_t lookup, const std::string& titleKey, const std::string& messageKey,
                   bool endsLookup);
  void stopProgress(bool showEntry);
  void onTimeout(std::uint64_t lookup);

  const MirrorChannel::Environment mirrorEnvironment_;
  const detail::LocalAddressSource localAddress_;
  std::shared_ptr<PincodeChannel> pincodeChannel_;
  mutable std::mutex mutex_;  // guards the three fields below
  std::shared_ptr<QueryServerChannel> queryDeviceChannel_;
  std::optional<ReceiverData> receiver_;
  bool closed_ = false;
  // Main thread only.
  std::shared_ptr<detail::CancellableWorkItem> connectRecieverTimeoutWorkItem_;
  std::uint64_t lastLookup_ = 0;  // the number of the latest look-up started
  // The look-up whose result still counts (0: none), and the one that started the PIN-server
  // exchange now under way (0: none). Written on the main thread, read anywhere.
  std::atomic<std::uint64_t> currentLookup_{0};
  std::atomic<std::uint64_t> exchangeLookup_{0};
  // Keys and `connect` are ignored while set.
  std::atomic<bool> lookingUp_{false};
};

}  // namespace corvane
