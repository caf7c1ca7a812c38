#include "lookup/query_server_channel.h"

#include <utility>

#include "lookup/network_utilities.h"
#include "lookup/receiver_answer.h"
#include "platform/log/log.h"

namespace corvane {

namespace log = platform::log;

std::shared_ptr<QueryServerChannel> QueryServerChannel::create() {
  std::shared_ptr<QueryServerChannel> channel(new QueryServerChannel());
  const auto& socket = channel->queryDeviceSocket_;
  socket->setDelegate(channel->weak_from_this(), channel->socketQueue_);
  platform::Error error;
  if (!socket->bindToPort(0, &error) || !socket->enableReusePort(true, &error)) {
    log::error("got error.");
  }
  return channel;
}

QueryServerChannel::QueryServerChannel()
    : socketQueue_(platform::dispatch::Queue::createSerial(
          "com.tarnwick.pelloranphone.QueryDeviceSocketQueue")),
      queryDeviceSocket_(GCDAsyncUdpSocket::create()) {}

QueryServerChannel::~QueryServerChannel() = default;

std::shared_ptr<QueryReceiverDelegate> QueryServerChannel::queryReceiverDelegate() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return queryReceiverDelegate_;
}

void QueryServerChannel::setQueryReceiverDelegate(std::shared_ptr<QueryReceiverDelegate> delegate) {
  const std::lock_guard<std::mutex> lock(mutex_);
  queryReceiverDelegate_ = std::move(delegate);
}

void QueryServerChannel::lookFor(const std::string& ip) {
  log::debug("going to look for " + ip);
  queryDeviceSocket_->setDelegate(weak_from_this());
  platform::Error error;
  if (!queryDeviceSocket_->beginReceiving(&error)) {
    log::error("enable broadcast got error.");
  }
  const SharedData question = SharedData::copy(&kReceiverQueryByte, 1);
  for (int i = 0; i < kQuestionsPerLookFor; ++i) {
    queryDeviceSocket_->sendData(question, ip, kReceiverQueryPort, -1, 1);
  }
}

void QueryServerChannel::close() {
  setQueryReceiverDelegate(nullptr);
  queryDeviceSocket_->close();
}

void QueryServerChannel::sendScandData() {
  const NetInfo info = NetworkUtilities::sharedInstance()->getNetInfo();
  if (!info.address || !info.netmask) {
    log::debug("failed to get net info.");
    return;
  }
  const SharedData question = SharedData::copy(&kReceiverQueryByte, 1);
  queryDeviceSocket_->sendData(question,
                               NetworkUtilities::broadcastAddress(*info.address, *info.netmask),
                               kReceiverQueryPort, -1, 2);
}

void QueryServerChannel::udpSocketDidReceiveData(const SocketPtr& /*sock*/, const SharedData& data,
                                                 const GCDAsyncUdpAddress& address,
                                                 const std::any& /*filterContext*/) {
  const std::optional<std::string> host = GCDAsyncUdpSocket::hostFromAddress(address);
  const ReceiverAnswer answer = parseReceiverAnswer(data.span());
  switch (answer.status) {
    case ReceiverAnswer::Status::UnknownCode:
      log::error("unkown code:" + std::to_string(answer.code));
      return;
    case ReceiverAnswer::Status::TooShort:
      log::debug("answer of " + std::to_string(data.size()) + " bytes too short, dropped");
      return;
    case ReceiverAnswer::Status::Empty:
    case ReceiverAnswer::Status::InvalidText:
      return;
    case ReceiverAnswer::Status::Done:
      break;
  }
  if (!host) {
    return;
  }
  if (auto delegate = queryReceiverDelegate()) {
    delegate->onFoundReceiver(ReceiverData{answer.name, answer.version, answer.localIp, *host});
  }
}

}  // namespace corvane
