// A view controller whose view comes from an interface description: the Qt Designer file
// "<nibName>.ui" among a bundle's resources, loaded at run time.
//
// The view is loaded at the first `view()` (or `loadView()`); then the controller's buttons
// are wired to its actions and `awakeFromNib` runs. Outlets are the widgets of the description
// by object name. A button sends its action by the name in its "action" property (for example
// "onSoftKeyClicked:") to the handler the controller registered under that name; a click on a
// button with no handler does nothing.
//
// The controller owns its view's widget; deleting the controller deletes the widget (also when
// it sits in a window). A widget that its window deletes first leaves the controller's view
// and outlets empty.
//
// Threads: main thread only.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <QPointer>
#include <QWidget>

#include "platform/foundation/bundle.h"
#include "platform/foundation/error.h"
#include "platform/ui/view.h"

namespace corvane::platform::ui {

namespace detail {
// Reads "<name>.ui" of `bundle` (the main bundle when null) into a new widget tree.
// nullptr with `error` set ("CorvaneInterfaceErrorDomain") when it is missing or unreadable.
QWidget* loadInterface(const std::string& name, const std::shared_ptr<Bundle>& bundle,
                       Error* error);
}  // namespace detail

class ViewController {
 public:
  // The handler of a button's action; gets the button that was clicked.
  using Action = std::function<void(const std::shared_ptr<Button>& sender)>;

  ViewController() = default;
  virtual ~ViewController();
  ViewController(const ViewController&) = delete;
  ViewController& operator=(const ViewController&) = delete;

  // Names the interface description to load; `bundle` null means the main bundle.
  void initWithNibName(std::string nibName, std::shared_ptr<Bundle> bundle = nullptr);
  const std::string& nibName() const { return nibName_; }

  // Loads the view now if it is not loaded; false (error logged and kept) when the
  // description cannot be loaded.
  bool loadView();
  bool isViewLoaded() const { return loaded_; }
  const Error& loadError() const { return loadError_; }
  // The view, loaded on first use; nullptr when it cannot be loaded.
  std::shared_ptr<View> view();

  // Called once the view is loaded and its actions are wired.
  virtual void awakeFromNib() {}
  // Called when the view is about to be added to a window (View::addSubview).
  virtual void viewWillAppear() {}

  // Registers the handler of the action `selector`; replaces an earlier one.
  void setAction(const std::string& selector, Action action);

  // Outlets of the loaded view by object name; nullptr when absent or of another kind.
  std::shared_ptr<View> viewOutlet(const std::string& name) const;
  std::shared_ptr<TextField> textFieldOutlet(const std::string& name) const;
  std::shared_ptr<Button> buttonOutlet(const std::string& name) const;
  std::shared_ptr<StackView> stackViewOutlet(const std::string& name) const;
  std::shared_ptr<ProgressIndicator> progressIndicatorOutlet(const std::string& name) const;
  // The buttons of the view whose action is `selector`, in the description's order.
  std::vector<std::shared_ptr<Button>> buttonsWithAction(const std::string& selector) const;

 private:
  QWidget* findWidget(const std::string& name) const;
  void sendAction(const std::string& selector, QWidget* sender);

  std::string nibName_;
  std::shared_ptr<Bundle> bundle_;
  bool loaded_ = false;
  bool loadFailed_ = false;
  Error loadError_;
  QPointer<QWidget> view_;
  std::map<std::string, Action> actions_;
};

}  // namespace corvane::platform::ui
