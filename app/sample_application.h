// The application object: the Qt application with the framework's handling
// of exceptions that escape an event handler.
#pragma once

#include <QApplication>
#include <exception>

#include "velmo/platform/services.h"

namespace velmo {

class SampleApplication final : public QApplication {
 public:
  // `boxes` shows the exception display; it must outlive the application.
  SampleApplication(int& argc, char** argv, MessageBoxSink& boxes);

  // An exception that escapes an event handler is shown to the user and
  // the event loop carries on, as it does for the program's own errors;
  // letting it unwind through Qt's event dispatch is not supported.
  bool notify(QObject* receiver, QEvent* event) override;

  // Shows an exception in an error box captioned with the program's name.
  void ShowException(const std::exception& e);

 private:
  MessageBoxSink& boxes_;
};

}  // namespace velmo
