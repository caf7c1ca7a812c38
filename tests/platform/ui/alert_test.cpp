// Alerts: recorded and answered by a responder in tests; without one, a real modal message
// box with the alert's texts, icon and buttons whose clicked button gives the answer.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <string>
#include <vector>

#include "platform/ui/alert.h"
#include "ui_test_support.h"

namespace corvane::platform::ui {
namespace {

TEST(AlertTest, ResponderRecordsEachAlertAndAnswersIt) {
  testing::app();
  testing::AlertRecorder recorder(kAlertSecondButtonReturn);
  Alert alert;
  alert.setMessageText("question.again");
  alert.setInformativeText("alert.receiver.not.reachable");
  alert.setAlertStyle(AlertStyle::Warning);
  alert.addButtonWithTitle("OK");
  alert.addButtonWithTitle("Cancel");
  EXPECT_EQ(alert.runModal(), kAlertSecondButtonReturn);

  Alert plain;  // no buttons: it gets one "OK"
  plain.setMessageText("title.error");
  plain.setAlertStyle(AlertStyle::Critical);
  plain.runModal();

  const std::vector<AlertRecord> expected = {
      {"question.again", "alert.receiver.not.reachable", AlertStyle::Warning, {"OK", "Cancel"}},
      {"title.error", "", AlertStyle::Critical, {"OK"}},
  };
  EXPECT_EQ(recorder.records(), expected);
}

// Clicks the button titled `title` of the modal message box once it shows, and notes what the
// box showed. Gives up after about 10 s.
struct BoxClicker {
  std::string title;
  std::string text;
  std::string informative;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  std::vector<std::string> buttons;
  bool clicked = false;

  void start() {
    auto* timer = new QTimer(qApp);
    auto tries = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, timer, [this, timer, tries] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr) {
        if (++*tries > 2000) timer->deleteLater();
        return;
      }
      text = box->text().toStdString();
      informative = box->informativeText().toStdString();
      icon = box->icon();
      for (QAbstractButton* b : box->buttons()) {
        buttons.push_back(b->text().toStdString());
        if (b->text().toStdString() == title) {
          b->click();
          clicked = true;
        }
      }
      timer->deleteLater();
    });
    timer->start(5);
  }
};

TEST(AlertTest, WithoutResponderAModalBoxShowsAndTheClickedButtonAnswers) {
  testing::app();
  struct Case {
    AlertStyle style;
    QMessageBox::Icon icon;
    const char* click;
    ModalResponse answer;
  };
  const Case cases[] = {
      {AlertStyle::Warning, QMessageBox::Warning, "OK", kAlertFirstButtonReturn},
      {AlertStyle::Critical, QMessageBox::Critical, "Cancel", kAlertSecondButtonReturn},
      {AlertStyle::Informational, QMessageBox::Information, "Later", kAlertThirdButtonReturn},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.click);
    BoxClicker clicker;
    clicker.title = c.click;
    clicker.start();
    Alert alert;
    alert.setMessageText("Message");
    alert.setInformativeText("More");
    alert.setAlertStyle(c.style);
    alert.addButtonWithTitle("OK");
    alert.addButtonWithTitle("Cancel");
    alert.addButtonWithTitle("Later");
    EXPECT_EQ(alert.runModal(), c.answer);
    EXPECT_TRUE(clicker.clicked);
    EXPECT_EQ(clicker.text, "Message");
    EXPECT_EQ(clicker.informative, "More");
    EXPECT_EQ(clicker.icon, c.icon);
    EXPECT_EQ(clicker.buttons.size(), 3U);
  }
}

// A quit ends the open alerts without a person: each run answers the abort response, the
// innermost one first, and no box is left on the screen.
TEST(AlertTest, AbortModalEndsEveryOpenAlertWithTheAbortAnswer) {
  testing::app();
  std::vector<std::string> ended;
  ModalResponse innerAnswer = 0;
  // Once the outer box shows, a timer opens a second alert over it; once that one shows too,
  // another timer aborts both.
  auto* opener = new QTimer(qApp);
  QObject::connect(opener, &QTimer::timeout, opener, [&, opener] {
    if (QApplication::activeModalWidget() == nullptr) return;
    opener->deleteLater();
    auto* aborter = new QTimer(qApp);
    QObject::connect(aborter, &QTimer::timeout, aborter, [aborter] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || box->text() != "inner") return;
      aborter->deleteLater();
      Alert::abortModal();
    });
    aborter->start(5);
    Alert inner;
    inner.setMessageText("inner");
    innerAnswer = inner.runModal();
    ended.emplace_back("inner");
  });
  opener->start(5);
  // Safety net: alerts that are not ended get their button clicked, and the test fails below.
  QTimer net;
  net.setInterval(20000);
  QObject::connect(&net, &QTimer::timeout, &net, [] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      box->buttons().front()->click();
    }
  });
  net.start();
  Alert outer;
  outer.setMessageText("outer");
  outer.addButtonWithTitle("OK");
  EXPECT_EQ(outer.runModal(), kModalResponseAbort);
  ended.emplace_back("outer");
  EXPECT_EQ(innerAnswer, kModalResponseAbort);
  EXPECT_EQ(ended, (std::vector<std::string>{"inner", "outer"}));
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

}  // namespace
}  // namespace corvane::platform::ui
