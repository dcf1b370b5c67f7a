// The Sndtest unit: the one engine instance, the three sound effects and the
// main window of the sample program.
#pragma once

#include <QDialog>

// Generated from sndtest.ui by uic.
#include "ui_sndtest.h"
#include "velmo/sound/vs_sound.h"

class QKeyEvent;

namespace velmo {

// The engine.  Created when this unit initialises, before main runs, and
// never destroyed: it must still be there when the window's destruction
// handler shuts the device down, whatever order static objects die in.
extern VSSound* Sound;

// The three effects FormCreate loads; null when a load failed or the device
// is not ready.  Never released: the records live until the process ends.
extern StaticSound* Sfx1;
extern StaticSound* Sfx2;
extern StaticSound* Sfx3;

// The main window: two group boxes of three buttons (music above, effects
// below) and a credit line, built from sndtest.ui.  The controls are the
// members of Ui::TForm1 and carry their layout names (GroupBox1, Button7,
// ...).  Every library call is made from these handlers, on the window
// thread.
class TForm1 : public QDialog, public Ui::TForm1 {
  Q_OBJECT

 public:
  // Builds the window and its controls, then runs FormCreate, which starts
  // the audio device on the window's native handle and loads the effects.
  explicit TForm1(QWidget* parent = nullptr);
  // Runs FormDestroy while the window and its controls still exist.
  ~TForm1() override;

  void FormCreate(QObject* Sender);
  void FormDestroy(QObject* Sender);
  void Button1Click(QObject* Sender);
  void Button2Click(QObject* Sender);
  void Button4Click(QObject* Sender);
  void Button5Click(QObject* Sender);
  void Button6Click(QObject* Sender);
  void Button8Click(QObject* Sender);
  void Button7Click(QObject* Sender);
  void Button9Click(QObject* Sender);
  void Button3Click(QObject* Sender);

  // The handle FormCreate gave the engine.
  HWND NativeHandle() const;

 protected:
  // A fixed dialog frame that only its close box (or the window manager)
  // closes: Escape does not dismiss the program's main window.
  void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace velmo
