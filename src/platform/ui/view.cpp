#include "platform/ui/view.h"

#include <QAbstractButton>
#include <QBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QProgressBar>

#include "platform/ui/registry.h"
#include "platform/ui/view_controller.h"
#include "platform/ui/window.h"

namespace corvane::platform::ui {

std::shared_ptr<View> View::wrap(QWidget* widget) {
  return widget != nullptr ? std::make_shared<View>(widget) : nullptr;
}

std::string View::identifier() const {
  return widget() != nullptr ? widget()->objectName().toStdString() : std::string();
}

bool View::isHidden() const { return widget() == nullptr || widget()->isHidden(); }

void View::setHidden(bool hidden) {
  if (widget() != nullptr) widget()->setHidden(hidden);
}

Rect View::frame() const {
  if (widget() == nullptr) return {};
  const QRect r = widget()->geometry();
  return {r.x(), r.y(), r.width(), r.height()};
}

void View::setFrame(const Rect& frame) {
  if (widget() != nullptr) widget()->setGeometry(frame.x, frame.y, frame.width, frame.height);
}

void View::addSubview(const std::shared_ptr<View>& subview) {
  QWidget* parent = widget();
  QWidget* child = subview ? subview->widget() : nullptr;
  if (parent == nullptr || child == nullptr || child == parent) return;
  if (ViewController* controller = detail::controllerForView(child);
      controller != nullptr && window() != nullptr) {
    controller->viewWillAppear();
    if (widget() == nullptr || subview->widget() == nullptr) return;  // deleted meanwhile
  }
  if (child->parentWidget() != parent) {
    if (QWidget* old = child->parentWidget(); old != nullptr && old->layout() != nullptr) {
      old->layout()->removeWidget(child);
    }
    child->setParent(parent);
    if (parent->layout() != nullptr) parent->layout()->addWidget(child);
  }
  child->show();
}

void View::removeFromSuperview() {
  QWidget* child = widget();
  if (child == nullptr) return;
  QWidget* parent = child->parentWidget();
  if (parent == nullptr) return;
  if (parent->layout() != nullptr) parent->layout()->removeWidget(child);
  child->hide();
  child->setParent(nullptr);
}

std::shared_ptr<View> View::superview() const {
  return widget() != nullptr ? View::wrap(widget()->parentWidget()) : nullptr;
}

std::shared_ptr<Window> View::window() const {
  if (widget() == nullptr) return nullptr;
  return detail::windowForWidget(widget()->window());
}

// ---- text fields

std::shared_ptr<TextField> TextField::wrap(QWidget* widget) {
  if (qobject_cast<QLabel*>(widget) == nullptr && qobject_cast<QLineEdit*>(widget) == nullptr) {
    return nullptr;
  }
  return std::make_shared<TextField>(widget);
}

std::string TextField::stringValue() const {
  if (auto* label = qobject_cast<QLabel*>(widget())) return label->text().toStdString();
  if (auto* edit = qobject_cast<QLineEdit*>(widget())) return edit->text().toStdString();
  return {};
}

void TextField::setStringValue(const std::string& text) {
  const QString value = QString::fromStdString(text);
  if (auto* label = qobject_cast<QLabel*>(widget())) label->setText(value);
  if (auto* edit = qobject_cast<QLineEdit*>(widget())) edit->setText(value);
}

// ---- buttons

std::shared_ptr<Button> Button::wrap(QWidget* widget) {
  return qobject_cast<QAbstractButton*>(widget) != nullptr ? std::make_shared<Button>(widget)
                                                           : nullptr;
}

std::string Button::title() const {
  auto* button = qobject_cast<QAbstractButton*>(widget());
  return button != nullptr ? button->text().toStdString() : std::string();
}

void Button::setTitle(const std::string& title) {
  if (auto* button = qobject_cast<QAbstractButton*>(widget())) {
    button->setText(QString::fromStdString(title));
  }
}

bool Button::isEnabled() const { return widget() != nullptr && widget()->isEnabled(); }

void Button::setEnabled(bool enabled) {
  if (widget() != nullptr) widget()->setEnabled(enabled);
}

void Button::performClick() {
  // QAbstractButton::click() ignores a disabled button, as a person's click would.
  if (auto* button = qobject_cast<QAbstractButton*>(widget()); button != nullptr && !button->isHidden()) {
    button->click();
  }
}

// ---- stack views

std::shared_ptr<StackView> StackView::wrap(QWidget* widget) {
  if (widget == nullptr || qobject_cast<QBoxLayout*>(widget->layout()) == nullptr) return nullptr;
  return std::make_shared<StackView>(widget);
}

// ---- progress indicators

std::shared_ptr<ProgressIndicator> ProgressIndicator::wrap(QWidget* widget) {
  return qobject_cast<QProgressBar*>(widget) != nullptr ? std::make_shared<ProgressIndicator>(widget)
                                                        : nullptr;
}

void ProgressIndicator::startAnimation() {
  // A bar with an empty range is Qt's busy indicator and animates by itself.
  if (auto* bar = qobject_cast<QProgressBar*>(widget())) bar->setRange(0, 0);
}

void ProgressIndicator::stopAnimation() {
  if (auto* bar = qobject_cast<QProgressBar*>(widget())) {
    bar->setRange(0, 1);
    bar->setValue(0);
  }
}

bool ProgressIndicator::isAnimating() const {
  auto* bar = qobject_cast<QProgressBar*>(widget());
  return bar != nullptr && bar->minimum() == 0 && bar->maximum() == 0;
}

}  // namespace corvane::platform::ui
