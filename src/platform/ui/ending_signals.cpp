#include "platform/ui/ending_signals.h"

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QSocketNotifier>

#include "platform/log/log.h"
#include "platform/ui/application.h"

namespace corvane::platform::ui {

std::unique_ptr<EndingSignals> EndingSignals::block(std::initializer_list<int> numbers) {
  sigset_t set;
  sigemptyset(&set);
  for (const int number : numbers) sigaddset(&set, number);
  sigset_t previous;
  if (pthread_sigmask(SIG_BLOCK, &set, &previous) != 0) return nullptr;
  const int fd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  if (fd < 0) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return nullptr;
  }
  return std::unique_ptr<EndingSignals>(new EndingSignals(fd));
}

EndingSignals::EndingSignals(int fd) : fd_(fd) {}

EndingSignals::~EndingSignals() {
  notifier_.reset();  // before the descriptor it watches goes
  close(fd_);
}

void EndingSignals::watch(Application& app) {
  if (notifier_) return;
  notifier_ = std::make_unique<QSocketNotifier>(static_cast<qintptr>(fd_), QSocketNotifier::Read);
  const int fd = fd_;
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [fd, &app] {
    signalfd_siginfo info{};
    while (read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      log::nslog("signal %u: quitting", info.ssi_signo);
      app.terminate();
    }
  });
}

}  // namespace corvane::platform::ui
