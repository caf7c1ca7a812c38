#include "lookup/pincode_channel.h"

#include <span>
#include <utility>
#include <vector>

#include "flatbuffers/errors.h"
#include "lookup/console_output.h"
#include "lookup/lookup_exchange.h"
#include "platform/foundation/user_defaults.h"
#include "platform/log/log.h"

namespace corvane {

namespace log = platform::log;

std::shared_ptr<PincodeChannel> PincodeChannel::create() {
  std::shared_ptr<PincodeChannel> channel(new PincodeChannel());
  channel->pincodeSocket_->setDelegate(channel->weak_from_this(), channel->socketQueue_);
  return channel;
}

PincodeChannel::PincodeChannel()
    : socketQueue_(platform::dispatch::Queue::createSerial("com.tarnwick.pelloranmac.socketqueue")),
      pincodeSocket_(GCDAsyncSocket::create()) {}

PincodeChannel::~PincodeChannel() = default;

std::optional<std::string> PincodeChannel::pincode() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return pincode_;
}

std::shared_ptr<PincodeDelegate> PincodeChannel::pincodeDelegate() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return pincodeDelegate_;
}

void PincodeChannel::setPincodeDelegate(std::shared_ptr<PincodeDelegate> pincodeDelegate) {
  const std::lock_guard<std::mutex> lock(mutex_);
  pincodeDelegate_ = std::move(pincodeDelegate);
}

std::string PincodeChannel::pinServerHost() {
  return platform::UserDefaults::standard()
      ->stringForKey(kPinServerHostKey)
      .value_or(kDefaultPinServerHost);
}

void PincodeChannel::findReceiverByPincode(const std::string& pincode) {
  log::debug("findReceiverByPincode:" + pincode);
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    pincode_ = pincode;
  }
  platform::Error error;
  if (!pincodeSocket_->connectToHost(pinServerHost(), kPinServerPort, 3.0, &error)) {
    printLine(errorText(error));
  }
}

void PincodeChannel::disconnect() {
  pincodeSocket_->disconnect();
  // The close and whatever the socket reported before it are queued for the delegate queue:
  // let them run before the caller goes on.
  socketQueue_->sync([] {});
}

void PincodeChannel::socketDidConnectToHost(const SocketPtr& sock, const std::string& host,
                                            uint16_t port) {
  log::debug("didConnectToHost" + host + ":" + std::to_string(port));
  reply_.clear();
  replyJudged_ = false;
  if (auto delegate = pincodeDelegate()) {
    delegate->onConnectPinServerSuccess();
  }
  try {
    std::vector<std::uint8_t> body = makeLookupRequest(pincode());
    const auto header = frameHeader(static_cast<std::uint32_t>(body.size()));
    for (const std::uint8_t byte : header) {
      printLine(std::to_string(byte));
    }
    sock->writeData(SharedData::copy(header.data(), header.size()), 1.0, 0);
    sock->writeData(SharedData(std::move(body)), 1.0, 0);
  } catch (const FlatBuffersBuildException& e) {
    printLine(e.what());
  }
  sock->readDataWithTimeout(-1, kReplyTag);
}

void PincodeChannel::socketDidReadData(const SocketPtr& sock, const SharedData& data,
                                       long /*tag*/) {
  log::debug("socket did read data:" + std::to_string(data.size()));
  if (replyJudged_) {
    return;
  }
  const bool hadHeader = reply_.size() >= 4;
  reply_.insert(reply_.end(), data.begin(), data.end());
  const FrameHeader header = parseFrameHeader(reply_);
  if (header.status == FrameStatus::NeedMore) {
    sock->readDataWithTimeout(-1, kReplyTag);
    return;
  }
  if (!hadHeader) {
    log::debug("data len=" + std::to_string(header.length));
  }
  if (header.status == FrameStatus::Error) {
    log::error("reply length " + std::to_string(header.length) + " refused, closing");
    replyJudged_ = true;
    sock->disconnect();
    return;
  }
  const std::size_t total = 4 + static_cast<std::size_t>(header.length);
  if (reply_.size() < total) {
    sock->readDataWithTimeout(-1, kReplyTag);
    return;
  }
  judge(std::span<const std::uint8_t>(reply_).subspan(4, header.length));
}

void PincodeChannel::judge(std::span<const std::uint8_t> body) {
  replyJudged_ = true;
  const ReplyVerdict verdict = judgeReply(body, pincode().value_or(""));
  for (const auto& line : verdict.logLines) {
    log::debug(line);
  }
  if (auto delegate = pincodeDelegate()) {
    if (verdict.outcome == ReplyVerdict::Outcome::Resolved && verdict.receiver) {
      delegate->onPincodeResolved(*verdict.receiver);
    } else if (verdict.outcome == ReplyVerdict::Outcome::NotFound) {
      delegate->onReceiverNotFound();
    }
  }
  pincodeSocket_->disconnect();
}

void PincodeChannel::socketDidDisconnect(const SocketPtr& /*sock*/,
                                         const std::optional<platform::Error>& err) {
  log::debug("socketDidDisconnect:" + errorText(err));
  // Once the reply has been judged the exchange is over: a close that races the channel's own
  // disconnect (the server closing, an end of stream) is no failure.
  const bool judged = std::exchange(replyJudged_, false);
  reply_.clear();
  if (!err || judged) {
    return;
  }
  if (auto delegate = pincodeDelegate()) {
    delegate->onConnectServerFailed();
  }
}

void PincodeChannel::socketDidCloseReadStream(const SocketPtr& /*sock*/) {
  log::debug("socketDidCloseReadStream");
  printLine("socketDidCloseReadStream");
}

void PincodeChannel::socketDidConnectToUrl(const SocketPtr& /*sock*/, const std::string& url) {
  log::debug("didConnectTo:" + url);
  printLine("didConnectTo:" + url);
}

}  // namespace corvane
