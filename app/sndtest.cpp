#include "app/sndtest.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QPushButton>
#include <QScreen>

// The window's icon lives in a resource file compiled into a static library,
// whose registration the linker would otherwise drop.  Q_INIT_RESOURCE must
// be used outside any namespace.
static void RegisterWindowResources() { Q_INIT_RESOURCE(velmo_sample); }

namespace velmo {

VSSound* Sound = new VSSound;
StaticSound* Sfx1 = nullptr;
StaticSound* Sfx2 = nullptr;
StaticSound* Sfx3 = nullptr;

namespace {

// The window's font: the stored layout names "MS Sans Serif" at a character
// height of 13 pixels.  fontconfig substitutes the closest sans-serif face
// the system has.  Designer files keep font sizes in points only, so the
// pixel height is set here.
QFont LayoutFont(const QFont& stored) {
  QFont font = stored;
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(13);
  return font;
}

}  // namespace

TForm1::TForm1(QWidget* parent) : QDialog(parent) {
  RegisterWindowResources();
  setupUi(this);
  setFont(LayoutFont(font()));
  // A fixed dialog frame: a title and a close box, no minimise or maximise
  // box, no resizing.  The flags are set before the native window exists,
  // since changing them later would create it anew under another handle.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(308, 316);
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));

  connect(Button7, &QPushButton::clicked, this, [this] { Button7Click(Button7); });
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(Button1); });
  connect(Button8, &QPushButton::clicked, this, [this] { Button8Click(Button8); });
  connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(Button2); });
  connect(Button6, &QPushButton::clicked, this, [this] { Button6Click(Button6); });
  connect(Button9, &QPushButton::clicked, this, [this] { Button9Click(Button9); });

  FormCreate(this);
}

TForm1::~TForm1() { FormDestroy(this); }

HWND TForm1::NativeHandle() const {
  return reinterpret_cast<HWND>(static_cast<quintptr>(const_cast<TForm1*>(this)->winId()));
}

void TForm1::FormCreate(QObject* /*Sender*/) {
  // winId() creates the native window if it does not exist yet; the device
  // cooperates with it and every library message box is owned by it.
  const HWND handle = NativeHandle();
  Sound->InitDSound(handle);
  Sfx1 = Sound->LoadStatic("sfx1.wav");
  Sfx2 = Sound->LoadStatic("sfx2.wav");
  Sfx3 = Sound->LoadStatic("sfx3.wav");
}

void TForm1::FormDestroy(QObject* /*Sender*/) { Sound->CloseDSound(); }

// The music buttons: open the file as the stream (closing any music that
// plays) and start it looping from its beginning.
void TForm1::Button7Click(QObject* /*Sender*/) {
  Sound->OpenStream("bgm1.wav");
  Sound->PlayStream();
}

void TForm1::Button1Click(QObject* /*Sender*/) {
  Sound->OpenStream("bgm2.wav");
  Sound->PlayStream();
}

void TForm1::Button8Click(QObject* /*Sender*/) { Sound->StopStream(); }

// The effect buttons.  An effect whose load failed has a null record; the
// engine takes that as "nothing to play" and returns at once, so the button
// is silent and the failure stays the one the load already reported.
void TForm1::Button2Click(QObject* /*Sender*/) { Sound->PlayStatic(Sfx1); }
void TForm1::Button6Click(QObject* /*Sender*/) { Sound->PlayStatic(Sfx2); }
void TForm1::Button9Click(QObject* /*Sender*/) { Sound->PlayStatic(Sfx3); }

// Handlers of the window class that no control of the layout is bound to.
void TForm1::Button4Click(QObject* /*Sender*/) { Sound->PlayStatic(Sfx2); }
void TForm1::Button5Click(QObject* /*Sender*/) { Sound->PlayStatic(Sfx3); }
void TForm1::Button3Click(QObject* /*Sender*/) { Sound->StopStatic(Sfx1); }

void TForm1::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    event->ignore();
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace velmo
