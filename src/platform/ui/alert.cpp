#include "platform/ui/alert.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>
#include <algorithm>
#include <memory>
#include <mutex>

#include "platform/log/log.h"
#include "platform/ui/application.h"

namespace corvane::platform::ui {
namespace {

std::mutex gResponderMutex;
std::shared_ptr<Alert::Responder> gResponder;  // guarded by gResponderMutex

// A message box that runs now, and whether it was ended by `abortModal`.
struct OpenBox {
  QMessageBox* box;
  bool aborted = false;
};
// The boxes that run now, the innermost last (main thread only).
std::vector<OpenBox*>& openBoxes() {
  static std::vector<OpenBox*> boxes;
  return boxes;
}

QMessageBox::Icon iconFor(AlertStyle style) {
  switch (style) {
    case AlertStyle::Informational:
      return QMessageBox::Information;
    case AlertStyle::Critical:
      return QMessageBox::Critical;
    case AlertStyle::Warning:
      break;
  }
  return QMessageBox::Warning;
}

}  // namespace

void Alert::setModalResponder(Responder responder) {
  std::lock_guard<std::mutex> lock(gResponderMutex);
  gResponder = responder ? std::make_shared<Responder>(std::move(responder)) : nullptr;
}

void Alert::abortModal() {
  const auto boxes = openBoxes();  // a copy: ending a box removes it once its run returns
  for (auto it = boxes.rbegin(); it != boxes.rend(); ++it) {
    (*it)->aborted = true;
    // Hiding a dialog ends its modal loop; a close could be refused by a box without an
    // escape button.
    (*it)->box->hide();
  }
}

ModalResponse Alert::runModal() {
  if (record_.buttons.empty()) record_.buttons.emplace_back("OK");
  std::shared_ptr<Responder> responder;
  {
    std::lock_guard<std::mutex> lock(gResponderMutex);
    responder = gResponder;
  }
  if (responder) return (*responder)(record_);
  if (auto app = Application::sharedApplication(); app && app->isTerminated()) {
    log::debug("the application has ended: the alert \"" + record_.messageText + "\" is not shown");
    return kModalResponseAbort;
  }

  QMessageBox box;
  box.setIcon(iconFor(record_.style));
  box.setText(QString::fromStdString(record_.messageText));
  box.setInformativeText(QString::fromStdString(record_.informativeText));
  std::vector<QPushButton*> buttons;
  for (const auto& title : record_.buttons) {
    // The first button is the default one and the others follow it from left to right.
    buttons.push_back(box.addButton(QString::fromStdString(title),
                                    buttons.empty() ? QMessageBox::AcceptRole
                                                    : QMessageBox::RejectRole));
  }
  box.setDefaultButton(buttons.front());
  OpenBox open{&box};
  openBoxes().push_back(&open);
  box.exec();
  auto& boxes = openBoxes();
  boxes.erase(std::remove(boxes.begin(), boxes.end(), &open), boxes.end());
  if (open.aborted) return kModalResponseAbort;
  for (std::size_t i = 0; i < buttons.size(); ++i) {
    if (box.clickedButton() == buttons[i]) {
      return kAlertFirstButtonReturn + static_cast<ModalResponse>(i);
    }
  }
  return kAlertFirstButtonReturn;  // closed without a button: the default button's answer
}

}  // namespace corvane::platform::ui
