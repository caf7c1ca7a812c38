// Views over Qt widgets: the plain view, text fields (labels and line edits), buttons, stack
// views and progress indicators, with the properties the screens touch.
//
// A view object is a light handle on a widget that the interface description (or a window)
// owns; it never owns the widget. Like a weak outlet it goes empty when the widget is
// deleted: every getter then answers its default and every setter does nothing. Two handles on
// the same widget are the same view (compare with `isSameView`).
//
// Threads: main thread only, like every Qt widget.
#pragma once

#include <memory>
#include <string>

#include <QPointer>
#include <QWidget>

namespace corvane::platform::ui {

class Window;

struct Rect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool operator==(const Rect&) const = default;
};

class View {
 public:
  explicit View(QWidget* widget) : widget_(widget) {}
  virtual ~View() = default;
  View(const View&) = delete;
  View& operator=(const View&) = delete;

  // A handle on `widget`, or nullptr when `widget` is null.
  static std::shared_ptr<View> wrap(QWidget* widget);

  QWidget* widget() const { return widget_.data(); }
  bool isSameView(const View& other) const { return widget() != nullptr && widget() == other.widget(); }
  // The widget's object name: the outlet name in the interface description.
  std::string identifier() const;

  bool isHidden() const;
  void setHidden(bool hidden);
  Rect frame() const;
  void setFrame(const Rect& frame);

  // Makes `subview` a child of this view (added to this view's layout when it has one) and
  // shows it. When this view is in a window and `subview` is the view of a view controller,
  // that controller's `viewWillAppear` runs first.
  void addSubview(const std::shared_ptr<View>& subview);
  // Takes the view out of its parent; it is then hidden and in no window.
  void removeFromSuperview();
  // The parent view, or nullptr.
  std::shared_ptr<View> superview() const;
  // The window the view is in, or nullptr when its top-level widget is no application window.
  std::shared_ptr<Window> window() const;

 private:
  QPointer<QWidget> widget_;
};

// A label or a one-line text field (QLabel or QLineEdit).
class TextField : public View {
 public:
  using View::View;
  // A handle when `widget` is a QLabel or QLineEdit, else nullptr.
  static std::shared_ptr<TextField> wrap(QWidget* widget);
  std::string stringValue() const;
  void setStringValue(const std::string& text);
};

// A push button (any QAbstractButton).
class Button : public View {
 public:
  using View::View;
  static std::shared_ptr<Button> wrap(QWidget* widget);
  std::string title() const;
  void setTitle(const std::string& title);
  bool isEnabled() const;
  void setEnabled(bool enabled);
  // Clicks the button as the user would: an enabled, visible button sends its action.
  void performClick();
};

// A stack view: a widget that lays out its children in a row or a column.
class StackView : public View {
 public:
  using View::View;
  // A handle when `widget` has a box layout, else nullptr.
  static std::shared_ptr<StackView> wrap(QWidget* widget);
};

// A progress indicator (QProgressBar). While animating it is a busy bar.
class ProgressIndicator : public View {
 public:
  using View::View;
  static std::shared_ptr<ProgressIndicator> wrap(QWidget* widget);
  void startAnimation();
  void stopAnimation();
  bool isAnimating() const;
};

}  // namespace corvane::platform::ui
