// Test side of the Qt backend: the application object of a test process and
// a responder that answers message boxes the way a user would.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

namespace qvtest {

// One QApplication per process, on Qt's offscreen platform.
inline QApplication& QtApp() {
  static int argc = 1;
  static char name[] = "qt_tests";
  static char* argv[] = {name, nullptr};
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

struct SeenBox {
  std::string title;
  std::string text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  std::vector<std::string> buttons;
  bool applicationModal = false;
  // Distance of the box's centre from the screen's centre, in pixels.
  int offCentre = 0;
};

// Polls for the active modal message box and presses its first button once
// `ready` allows it (by default at once). Runs on the UI thread, inside the
// box's own event loop.
class BoxResponder {
 public:
  using Ready = std::function<bool()>;
  using Seen = std::function<void(const SeenBox&)>;

  explicit BoxResponder(Ready ready = {}, Seen onSeen = {})
      : ready_(std::move(ready)), onSeen_(std::move(onSeen)) {
    QObject::connect(&poll_, &QTimer::timeout, [this] { Poll(); });
    poll_.start(5);
  }

  std::vector<SeenBox> boxes;

 private:
  void Poll() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible() || box->buttons().isEmpty()) return;
    if (ready_ && !ready_()) return;
    SeenBox seen;
    seen.title = box->windowTitle().toStdString();
    seen.text = box->text().toStdString();
    seen.icon = box->icon();
    for (QAbstractButton* b : box->buttons()) seen.buttons.push_back(b->text().toStdString());
    seen.applicationModal = box->windowModality() == Qt::ApplicationModal;
    QRect area = box->screen()->availableGeometry();
    seen.offCentre = (box->frameGeometry().center() - area.center()).manhattanLength();
    boxes.push_back(seen);
    if (onSeen_) onSeen_(seen);
    box->buttons().front()->click();
  }

  Ready ready_;
  Seen onSeen_;
  QTimer poll_;
};

}  // namespace qvtest
