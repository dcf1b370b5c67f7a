#include "app/sample_application.h"

#include <QWidget>

namespace velmo {

SampleApplication::SampleApplication(int& argc, char** argv, MessageBoxSink& boxes)
    : QApplication(argc, argv), boxes_(boxes) {
  setApplicationName("velmo-sample");
  // The classic style draws group boxes as a frame whose top line carries
  // the title, the look the window's layout was drawn for.
  setStyle("Windows");
}

bool SampleApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    ShowException(e);
    return false;
  }
}

void SampleApplication::ShowException(const std::exception& e) {
  HWND owner = nullptr;
  if (QWidget* window = activeWindow()) owner = reinterpret_cast<HWND>(static_cast<quintptr>(window->winId()));
  boxes_.Show(owner, e.what(), "velmo-sample", MB_ICONERROR);
}

}  // namespace velmo
