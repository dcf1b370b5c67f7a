#include "app/window_message_boxes.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <QWidget>
#include <cstdio>

#include "app/stop_signals.h"

namespace velmo {

int WindowMessageBoxes::Show(HWND owner, const char* text, const char* caption, UINT style) {
  const char* safeText = text ? text : "";
  const char* safeCaption = caption ? caption : "";
  std::fprintf(stderr, "%s: %s\n", safeCaption, safeText);
  std::fflush(stderr);

  // A box can only be shown on the window thread.  The library shows none
  // from elsewhere; should one come, the line above is all it gets, rather
  // than a window touched from the wrong thread.
  QCoreApplication* app = QCoreApplication::instance();
  if (!showOnScreen_ || app == nullptr || QThread::currentThread() != app->thread()) return IDOK;
  // Once the program is told to stop, no box waits for an OK: it is
  // closing.
  if (StopRequested()) return IDOK;

  QWidget* parent = owner ? QWidget::find(static_cast<WId>(reinterpret_cast<quintptr>(owner))) : nullptr;
  QMessageBox box((style & MB_ICONERROR) ? QMessageBox::Critical : QMessageBox::NoIcon, QString::fromLocal8Bit(safeCaption),
                  QString::fromLocal8Bit(safeText), QMessageBox::Ok, parent);
  box.setObjectName("LibraryMessageBox");
  // Modal like the platform's own boxes: the window takes no input until OK.
  box.setWindowModality(Qt::ApplicationModal);
  box.exec();
  return IDOK;
}

}  // namespace velmo
