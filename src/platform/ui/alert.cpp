#include "platform/ui/alert.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>
#include <memory>
#include <mutex>

namespace corvane::platform::ui {
namespace {

std::mutex gResponderMutex;
std::shared_ptr<Alert::Responder> gResponder;  // guarded by gResponderMutex

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

ModalResponse Alert::runModal() {
  if (record_.buttons.empty()) record_.buttons.emplace_back("OK");
  std::shared_ptr<Responder> responder;
  {
    std::lock_guard<std::mutex> lock(gResponderMutex);
    responder = gResponder;
  }
  if (responder) return (*responder)(record_);

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
  box.exec();
  for (std::size_t i = 0; i < buttons.size(); ++i) {
    if (box.clickedButton() == buttons[i]) {
      return kAlertFirstButtonReturn + static_cast<ModalResponse>(i);
    }
  }
  return kAlertFirstButtonReturn;  // closed without a button: the default button's answer
}

}  // namespace corvane::platform::ui
