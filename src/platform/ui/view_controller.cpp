#include "platform/ui/view_controller.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QUiLoader>

#include "platform/log/log.h"
#include "platform/ui/registry.h"

namespace corvane::platform::ui {
namespace detail {
namespace {
constexpr const char* kInterfaceErrorDomain = "CorvaneInterfaceErrorDomain";
constexpr long kInterfaceNotFound = 1;
constexpr long kInterfaceUnreadable = 2;
// The dynamic property that names a button's action in an interface description.
constexpr const char* kActionProperty = "action";

void setError(Error* error, long code, std::string description) {
  if (error != nullptr) *error = Error(kInterfaceErrorDomain, code, std::move(description));
}
}  // namespace

QWidget* loadInterface(const std::string& name, const std::shared_ptr<Bundle>& bundle,
                       Error* error) {
  const std::shared_ptr<Bundle> from = bundle ? bundle : Bundle::main();
  const std::optional<std::string> path = from->pathForResource(name, "ui");
  if (!path) {
    setError(error, kInterfaceNotFound,
             "no interface description \"" + name + "\" in " + from->resourcePath());
    return nullptr;
  }
  QFile file(QString::fromStdString(*path));
  if (!file.open(QFile::ReadOnly)) {
    setError(error, kInterfaceUnreadable, "cannot open " + *path);
    return nullptr;
  }
  QUiLoader loader;
  loader.setWorkingDirectory(QFileInfo(file).absoluteDir());
  QWidget* widget = loader.load(&file, nullptr);
  if (widget == nullptr) {
    setError(error, kInterfaceUnreadable,
             "cannot read " + *path + ": " + loader.errorString().toStdString());
  }
  return widget;
}

}  // namespace detail

ViewController::~ViewController() {
  detail::unregisterController(this);
  delete view_.data();  // null when its window deleted it already
}

void ViewController::initWithNibName(std::string nibName, std::shared_ptr<Bundle> bundle) {
  nibName_ = std::move(nibName);
  bundle_ = std::move(bundle);
}

bool ViewController::loadView() {
  if (loaded_) return !view_.isNull();
  if (loadFailed_) return false;
  QWidget* widget = detail::loadInterface(nibName_, bundle_, &loadError_);
  if (widget == nullptr) {
    loadFailed_ = true;
    log::error("cannot load the view of " + nibName_ + ": " + loadError_.description);
    return false;
  }
  view_ = widget;
  loaded_ = true;
  detail::registerControllerView(widget, this);
  // Wire every button that names an action; the handler is looked up at click time.
  for (QAbstractButton* button : widget->findChildren<QAbstractButton*>()) {
    const QVariant action = button->property(detail::kActionProperty);
    if (!action.isValid()) continue;
    const std::string selector = action.toString().toStdString();
    QObject::connect(button, &QAbstractButton::clicked, button,
                     [this, selector, button] { sendAction(selector, button); });
  }
  awakeFromNib();
  return true;
}

std::shared_ptr<View> ViewController::view() {
  if (!loadView()) return nullptr;
  return View::wrap(view_.data());
}

void ViewController::setAction(const std::string& selector, Action action) {
  actions_[selector] = std::move(action);
}

void ViewController::sendAction(const std::string& selector, QWidget* sender) {
  auto it = actions_.find(selector);
  if (it == actions_.end() || !it->second) return;
  Action action = it->second;  // the handler may replace itself
  action(Button::wrap(sender));
}

QWidget* ViewController::findWidget(const std::string& name) const {
  QWidget* root = view_.data();
  if (root == nullptr || name.empty()) return nullptr;
  const QString objectName = QString::fromStdString(name);
  if (root->objectName() == objectName) return root;
  return root->findChild<QWidget*>(objectName);
}

std::shared_ptr<View> ViewController::viewOutlet(const std::string& name) const {
  return View::wrap(findWidget(name));
}

std::shared_ptr<TextField> ViewController::textFieldOutlet(const std::string& name) const {
  return TextField::wrap(findWidget(name));
}

std::shared_ptr<Button> ViewController::buttonOutlet(const std::string& name) const {
  return Button::wrap(findWidget(name));
}

std::shared_ptr<StackView> ViewController::stackViewOutlet(const std::string& name) const {
  return StackView::wrap(findWidget(name));
}

std::shared_ptr<ProgressIndicator> ViewController::progressIndicatorOutlet(
    const std::string& name) const {
  return ProgressIndicator::wrap(findWidget(name));
}

std::vector<std::shared_ptr<Button>> ViewController::buttonsWithAction(
    const std::string& selector) const {
  std::vector<std::shared_ptr<Button>> result;
  if (view_.isNull()) return result;
  for (QAbstractButton* button : view_->findChildren<QAbstractButton*>()) {
    const QVariant action = button->property(detail::kActionProperty);
    if (action.isValid() && action.toString().toStdString() == selector) {
      result.push_back(Button::wrap(button));
    }
  }
  return result;
}

}  // namespace corvane::platform::ui
