#include "platform/dispatch/duration.h"
#include "platform/dispatch/source_core.h"

namespace corvane::platform::dispatch {

namespace {

// Gives the factories access to the protected constructor.
struct SourceHandle final : Source {
  explicit SourceHandle(std::shared_ptr<detail::SourceCore> core) { core_ = std::move(core); }
};

SourcePtr makeSource(detail::SourceCore::Kind kind, int fd, QueuePtr queue) {
  auto core = std::make_shared<detail::SourceCore>(kind, fd, std::move(queue));
  core->attach();
  return std::make_shared<SourceHandle>(std::move(core));
}

}  // namespace

Source::~Source() {
  if (core_) core_->cancel();
}

SourcePtr Source::createRead(int fd, QueuePtr queue) {
  return makeSource(detail::SourceCore::Kind::Read, fd, std::move(queue));
}

SourcePtr Source::createWrite(int fd, QueuePtr queue) {
  return makeSource(detail::SourceCore::Kind::Write, fd, std::move(queue));
}

SourcePtr Source::createTimer(QueuePtr queue) {
  return makeSource(detail::SourceCore::Kind::Timer, -1, std::move(queue));
}

SourcePtr Source::createFileWatch(int fd, QueuePtr queue) {
  return makeSource(detail::SourceCore::Kind::FileWatch, fd, std::move(queue));
}

void Source::setEventHandler(Block handler) { core_->setEventHandler(std::move(handler)); }

void Source::setCancelHandler(Block handler) { core_->setCancelHandler(std::move(handler)); }

void Source::setTimer(TimePoint start, double intervalSeconds, double leewaySeconds) {
  core_->setTimer(start, intervalSeconds, leewaySeconds);
}

void Source::setTimer(double startAfterSeconds, double intervalSeconds, double leewaySeconds) {
  core_->setTimer(detail::fromNow(startAfterSeconds), intervalSeconds, leewaySeconds);
}

void Source::suspend() { core_->suspend(); }
void Source::resume() { core_->resume(); }
void Source::cancel() { core_->cancel(); }
bool Source::isCancelled() const { return core_->isCancelled(); }
unsigned long Source::data() const { return core_->data(); }
int Source::handle() const { return core_->handle(); }

}  // namespace corvane::platform::dispatch
