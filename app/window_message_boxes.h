// The program's message-box service, handed to the platform at start-up.
#pragma once

#include "velmo/platform/services.h"

namespace velmo {

// Shows each box the library asks for as a modal QMessageBox owned by the
// window whose native handle it names: the error icon for MB_ICONERROR, no
// icon for MB_OK, the caption as its title and one OK button.  Every box is
// also written to standard error as one line "CAPTION: TEXT", so that a run
// without anyone watching still tells what happened.  Without a screen
// (headless) only that line is written and nothing waits.
class WindowMessageBoxes final : public MessageBoxSink {
 public:
  explicit WindowMessageBoxes(bool showOnScreen) : showOnScreen_(showOnScreen) {}

  int Show(HWND owner, const char* text, const char* caption, UINT style) override;

 private:
  bool showOnScreen_;
};

// Installs a sink for the lifetime of a scope.
class ScopedMessageBoxSink {
 public:
  explicit ScopedMessageBoxSink(MessageBoxSink& sink) : previous_(SetMessageBoxSink(&sink)) {}
  ~ScopedMessageBoxSink() { SetMessageBoxSink(previous_); }
  ScopedMessageBoxSink(const ScopedMessageBoxSink&) = delete;
  ScopedMessageBoxSink& operator=(const ScopedMessageBoxSink&) = delete;

 private:
  MessageBoxSink* previous_;
};

}  // namespace velmo
