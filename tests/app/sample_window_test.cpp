// The sample window driven through the platform double: its layout, what
// each handler asks of the library and in which order, and the script
// runner pressing the real buttons.  Runs on the offscreen window system.
#include <QAbstractButton>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/sample_application.h"
#include "app/script_runner.h"
#include "app/sndtest.h"
#include "app/window_message_boxes.h"
#include "platform/testing/fake_platform.h"
#include "sound/engine_state.h"
#include "sound/stream_state.h"
#include "tests/app/stderr_capture.h"
#include "tools/pcm_wave_writer.h"
#include "velmo/sound/static_sound.h"

using velmo::TForm1;
using velmo::testing::FakePlatform;
using velmo::testing::FakeSoundBuffer;
using velmo::testing::StderrCapture;

Q_DECLARE_METATYPE(velmo::ScriptRunner::Outcome)

namespace {

using Names = std::vector<std::string>;

std::string Join(const Names& names) {
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : ", ") + n;
  return out;
}

// Whether `expected` occurs in `calls` in this order (other calls may come
// between).
bool InOrder(const Names& calls, const Names& expected) {
  auto at = calls.begin();
  for (const auto& name : expected) {
    at = std::find(at, calls.end(), name);
    if (at == calls.end()) return false;
    ++at;
  }
  return true;
}

bool Contains(const Names& calls, const std::string& name) {
  return std::find(calls.begin(), calls.end(), name) != calls.end();
}

// Writes a short PCM file: a sine of `hz` at the given format.
void WriteTone(const QString& path, velmo::tools::PcmFormat format, double seconds, double hz) {
  std::vector<float> samples;
  const int frames = static_cast<int>(seconds * format.sampleRate);
  for (int i = 0; i < frames; ++i)
    for (int c = 0; c < format.channels; ++c)
      samples.push_back(static_cast<float>(0.5 * std::sin(6.283185307 * hz * i / format.sampleRate)));
  std::string error;
  if (!velmo::tools::WritePcmWave(path.toStdString(), format, samples, &error)) qFatal("%s", error.c_str());
}

// The application's own message boxes (its exception display), recorded.
struct RecordingBoxes final : velmo::MessageBoxSink {
  int Show(velmo::HWND, const char* text, const char* caption, velmo::UINT style) override {
    shown.push_back({nullptr, text, caption, style});
    return velmo::IDOK;
  }
  std::vector<velmo::testing::MessageBoxRecord> shown;
};
RecordingBoxes applicationBoxes;

class Thrower : public QObject {
 public:
  bool event(QEvent* e) override {
    if (e->type() == QEvent::User) throw std::runtime_error("the handler gave up");
    return QObject::event(e);
  }
};

}  // namespace

class SampleWindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir sounds_;  // the five files, small
  QTemporaryDir empty_;   // none of them
  QTemporaryDir noSfx2_;  // all but sfx2.wav
  QTemporaryDir noBgm1_;  // all but bgm1.wav
  QString startDir_;
  std::unique_ptr<FakePlatform> fake_;
  std::unique_ptr<velmo::ScopedPlatform> installed_;

  static void ResetEngine() {
    velmo::DSoundReady = 0;
    velmo::DSoundObject = nullptr;
    velmo::StreamLock.store(0);
    velmo::TimerActive = 0;
    velmo::StreamPlaying = 0;
    velmo::StreamOpen = 0;
    velmo::TimerId = 0;
    velmo::Sfx1 = velmo::Sfx2 = velmo::Sfx3 = nullptr;
  }

  FakePlatform& Fake() { return *fake_; }

  // Creates the window in `dir`, as the program does in its working folder.
  std::unique_ptr<TForm1> OpenWindow(const QTemporaryDir& dir) {
    QDir::setCurrent(dir.path());
    return std::make_unique<TForm1>();
  }

  static std::vector<QString> FocusChain(QWidget& window) {
    std::vector<QString> order;
    QWidget* w = &window;
    do {
      w = w->nextInFocusChain();
      if (w->focusPolicy() & Qt::TabFocus) order.push_back(w->objectName());
    } while (w != &window && order.size() < 20);
    return order;
  }

 private slots:
  void initTestCase() {
    qRegisterMetaType<velmo::ScriptRunner::Outcome>();
    startDir_ = QDir::currentPath();
    for (const QTemporaryDir* dir : {&sounds_, &noSfx2_, &noBgm1_}) {
      WriteTone(dir->filePath("sfx1.wav"), {22050, 1, 8}, 0.1, 880);
      if (dir != &noSfx2_) WriteTone(dir->filePath("sfx2.wav"), {44100, 1, 16}, 0.1, 110);
      WriteTone(dir->filePath("sfx3.wav"), {44100, 2, 16}, 0.1, 1320);
      if (dir != &noBgm1_) WriteTone(dir->filePath("bgm1.wav"), {44100, 2, 16}, 1.5, 440);
      WriteTone(dir->filePath("bgm2.wav"), {22050, 1, 8}, 1.5, 330);
    }
  }

  void cleanupTestCase() { QDir::setCurrent(startDir_); }

  void init() {
    ResetEngine();
    fake_ = std::make_unique<FakePlatform>();
    installed_ = std::make_unique<velmo::ScopedPlatform>(*fake_);
  }

  void cleanup() {
    installed_.reset();
    fake_.reset();
    ResetEngine();
  }

  void layoutMatchesTheStoredDesign() {
    auto form = OpenWindow(sounds_);
    QCOMPARE(form->objectName(), QString("Form1"));
    QCOMPARE(form->windowTitle(), QString("Velmo Sound Library Sample Program"));
    QCOMPARE(form->size(), QSize(308, 316));
    QCOMPARE(form->minimumSize(), QSize(308, 316));
    QCOMPARE(form->maximumSize(), QSize(308, 316));
    const Qt::WindowFlags flags = form->windowFlags();
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QCOMPARE(form->font().pixelSize(), 13);
    QCOMPARE(form->windowIcon().availableSizes().value(0), QSize(32, 32));

    struct Expected {
      const char* name;
      const char* kind;
      const char* parent;
      QRect geometry;
      const char* caption;
    };
    const Expected controls[] = {
        {"GroupBox1", "QGroupBox", "Form1", {8, 8, 289, 137}, "Direct Sound Stream Buffer Test"},
        {"Button7", "QPushButton", "GroupBox1", {56, 32, 177, 25}, "Play BGM (BGM1.WAV)"},
        {"Button1", "QPushButton", "GroupBox1", {56, 64, 177, 25}, "Play BGM (BGM2.WAV)"},
        {"Button8", "QPushButton", "GroupBox1", {56, 96, 177, 25}, "Stop BGM"},
        {"GroupBox2", "QGroupBox", "Form1", {8, 152, 289, 137}, "Direct Sound Static Test"},
        {"Button2", "QPushButton", "GroupBox2", {56, 32, 177, 25}, "SFX 1 (SFX1.WAV)"},
        {"Button6", "QPushButton", "GroupBox2", {56, 64, 177, 25}, "SFX2 (SFX2.WAV)"},
        {"Button9", "QPushButton", "GroupBox2", {56, 96, 177, 25}, "SFX3 (SFX3.WAV)"},
        {"Label1", "QLabel", "Form1", {80, 296, 145, 16}, nullptr},
    };
    for (const Expected& c : controls) {
      QWidget* w = form->findChild<QWidget*>(c.name);
      QVERIFY2(w != nullptr, c.name);
      QCOMPARE(w->metaObject()->className(), c.kind);
      QCOMPARE(w->parentWidget()->objectName(), QString(c.parent));
      QCOMPARE(w->geometry(), c.geometry);
      if (auto* box = qobject_cast<QGroupBox*>(w)) QCOMPARE(box->title(), QString(c.caption));
      if (auto* button = qobject_cast<QPushButton*>(w)) QCOMPARE(button->text(), QString(c.caption));
    }
    // Nothing beyond the layout's six buttons.
    QCOMPARE(form->findChildren<QAbstractButton*>().size(), 6);

    // The credit line is one line that fits its label.
    QVERIFY(!form->Label1->text().isEmpty());
    QVERIFY(!form->Label1->text().contains('\n'));
    QVERIFY2(form->Label1->fontMetrics().horizontalAdvance(form->Label1->text()) <= 145,
             qPrintable(form->Label1->text()));

    // Tab order: the music group first, top to bottom, then the effects.
    const std::vector<QString> order = FocusChain(*form);
    const std::vector<QString> expected = {"Button7", "Button1", "Button8", "Button2", "Button6", "Button9"};
    QCOMPARE(order, expected);
    QCOMPARE(form->Label1->focusPolicy(), Qt::NoFocus);
  }

  void formCreateStartsTheDeviceOnTheNativeHandleThenLoadsTheEffects() {
    auto form = OpenWindow(sounds_);
    // The native window exists as soon as the window does, and showing it
    // does not replace it: the device keeps cooperating with that window.
    QVERIFY(form->testAttribute(Qt::WA_WState_Created));
    const WId before = form->winId();
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    QCOMPARE(form->winId(), before);

    const Names calls = Fake().CallNames();
    QVERIFY2(InOrder(calls, {"acmMetrics", "CoInitialize", "CoCreateInstance", "dsound.Initialize",
                             "dsound.SetCooperativeLevel", "dsound.CreateSoundBuffer", "dsound.CreateSoundBuffer",
                             "dsound.CreateSoundBuffer"}),
             Join(calls).c_str());
    QCOMPARE(Fake().Device()->CooperativeWindow(), reinterpret_cast<velmo::HWND>(static_cast<quintptr>(before)));
    QCOMPARE(velmo::Sound->OwnerWindow, form->NativeHandle());

    // Each effect is opened (the PCM test, then the whole read) in order.
    const Names expectedFiles = {"sfx1.wav", "sfx1.wav", "sfx2.wav", "sfx2.wav", "sfx3.wav", "sfx3.wav"};
    QCOMPARE(Fake().OpenedFileNames(), expectedFiles);
    QVERIFY(velmo::Sfx1 && velmo::Sfx2 && velmo::Sfx3);
    QVERIFY(velmo::Sfx1->SoundBuffer == static_cast<velmo::IDirectSoundBuffer*>(Fake().Buffer(0)));
    QVERIFY(velmo::Sfx2->SoundBuffer == static_cast<velmo::IDirectSoundBuffer*>(Fake().Buffer(1)));
    QVERIFY(velmo::Sfx3->SoundBuffer == static_cast<velmo::IDirectSoundBuffer*>(Fake().Buffer(2)));
    QCOMPARE(Fake().Buffer(0)->Frequency(), 22050u);
    QCOMPARE(Fake().Buffer(2)->Frequency(), 44100u);
    QVERIFY(Fake().MessageBoxes().empty());
  }

  void effectButtonsRestartTheirOwnSoundFromTheStart() {
    auto form = OpenWindow(sounds_);
    Fake().ClearCalls();

    form->Button2->click();
    QCOMPARE(Fake().CallNames(), (Names{"buffer1.GetStatus", "buffer1.SetCurrentPosition", "buffer1.Play"}));
    Fake().ClearCalls();
    form->Button6->click();
    QCOMPARE(Fake().CallNames(), (Names{"buffer2.GetStatus", "buffer2.SetCurrentPosition", "buffer2.Play"}));
    Fake().ClearCalls();
    form->Button9->click();
    QCOMPARE(Fake().CallNames(), (Names{"buffer3.GetStatus", "buffer3.SetCurrentPosition", "buffer3.Play"}));
    // Effects play once, not looped.
    QCOMPARE(Fake().Calls().back().args.back(), std::int64_t{0});

    // A second press while the effect still sounds stops it and starts it
    // again from its first sample; the other effects keep playing.
    Fake().Buffer(0)->Advance(100);
    Fake().ClearCalls();
    form->Button2->click();
    QCOMPARE(Fake().CallNames(),
             (Names{"buffer1.Stop", "buffer1.GetStatus", "buffer1.SetCurrentPosition", "buffer1.Play"}));
    QCOMPARE(Fake().Buffer(0)->Position(), 0u);
    QVERIFY(Fake().Buffer(1)->Playing() && Fake().Buffer(2)->Playing());
    QVERIFY(Fake().MessageBoxes().empty());
  }

  void handlersWithoutAControlPlayAndStopTheirEffects() {
    auto form = OpenWindow(sounds_);
    Fake().ClearCalls();
    form->Button4Click(nullptr);
    QCOMPARE(Fake().CallNames(), (Names{"buffer2.GetStatus", "buffer2.SetCurrentPosition", "buffer2.Play"}));
    Fake().ClearCalls();
    form->Button5Click(nullptr);
    QCOMPARE(Fake().CallNames(), (Names{"buffer3.GetStatus", "buffer3.SetCurrentPosition", "buffer3.Play"}));

    Fake().ClearCalls();
    form->Button3Click(nullptr);  // the first effect was never played
    QVERIFY2(Fake().CallNames().empty(), Join(Fake().CallNames()).c_str());
    form->Button2->click();
    Fake().ClearCalls();
    form->Button3Click(nullptr);
    QCOMPARE(Fake().CallNames(), (Names{"buffer1.Stop"}));
    QVERIFY(!Fake().Buffer(0)->Playing());
  }

  void musicButtonsOpenPlaySwitchAndStopTheStream() {
    auto form = OpenWindow(sounds_);
    Fake().ClearCalls();

    form->Button7->click();
    Names calls = Fake().CallNames();
    QVERIFY2(InOrder(calls, {"dsound.CreateSoundBuffer", "buffer4.Lock", "buffer4.Unlock",
                             "buffer4.SetCurrentPosition", "buffer4.Play", "timeBeginPeriod", "timeSetEvent"}),
             Join(calls).c_str());
    QCOMPARE(calls.back(), std::string("timeSetEvent"));
    QCOMPARE(Fake().OpenedFileNames().back(), std::string("bgm1.wav"));
    FakeSoundBuffer* bgm1 = Fake().Buffer(3);
    QVERIFY(bgm1->Playing() && bgm1->Looping());
    QCOMPARE(bgm1->Desc().dwBufferBytes, 44100u * 4 * 120 / 100);
    QVERIFY(Fake().TimerAlive());

    // The other piece replaces it: the first stream is stopped and released
    // before the second is opened and started.
    Fake().ClearCalls();
    form->Button1->click();
    calls = Fake().CallNames();
    QVERIFY2(InOrder(calls, {"timeKillEvent", "timeEndPeriod", "buffer4.Stop", "buffer4.Release",
                             "dsound.CreateSoundBuffer", "buffer5.Play", "timeBeginPeriod", "timeSetEvent"}),
             Join(calls).c_str());
    QCOMPARE(Fake().OpenedFileNames().back(), std::string("bgm2.wav"));
    QVERIFY(bgm1->Released());
    FakeSoundBuffer* bgm2 = Fake().Buffer(4);
    QCOMPARE(bgm2->Desc().dwBufferBytes, 22050u * 120 / 100);
    QVERIFY(bgm2->Playing() && bgm2->Looping());

    // Stop BGM stops the timer and the buffer, and a second press does
    // nothing at all.
    Fake().ClearCalls();
    form->Button8->click();
    calls = Fake().CallNames();
    QVERIFY2(InOrder(calls, {"timeKillEvent", "timeEndPeriod", "buffer5.Stop"}), Join(calls).c_str());
    QVERIFY(!Contains(calls, "buffer5.Release"));
    QVERIFY(!bgm2->Playing());
    QVERIFY(!Fake().TimerAlive());
    Fake().ClearCalls();
    form->Button8->click();
    QVERIFY2(Fake().CallNames().empty(), Join(Fake().CallNames()).c_str());
    QVERIFY(Fake().MessageBoxes().empty());
  }

  void playingTheSameMusicAgainRestartsItFromItsBeginning() {
    auto form = OpenWindow(sounds_);
    form->Button7->click();
    FakeSoundBuffer* first = Fake().Buffer(3);
    const std::vector<std::uint8_t> opening = first->Data();  // the file's first 1.2 s
    // Play on for a while so that the refill moves the file onward.
    for (int tick = 0; tick < 4; ++tick) {
      first->Advance(44100 * 4 / 20);
      QVERIFY(Fake().FireTimer());
    }
    QVERIFY2(first->Data() != opening, "the refill did not move on; the check below would prove nothing");

    Fake().ClearCalls();
    form->Button7->click();
    const Names calls = Fake().CallNames();
    QVERIFY2(InOrder(calls, {"timeKillEvent", "buffer4.Stop", "buffer4.Release", "dsound.CreateSoundBuffer",
                             "buffer5.SetCurrentPosition", "buffer5.Play", "timeSetEvent"}),
             Join(calls).c_str());
    QVERIFY(first->Released());
    FakeSoundBuffer* again = Fake().Buffer(4);
    QCOMPARE(again->Data(), opening);
    QCOMPARE(again->Position(), 0u);
    QVERIFY(again->Playing() && again->Looping());
    QVERIFY(Fake().TimerAlive());
    QVERIFY(Fake().MessageBoxes().empty());
  }

  void aMissingBgm1StopsTheOtherMusicAndLeavesSilenceWithoutAMessage() {
    auto form = OpenWindow(noBgm1_);
    form->Button1->click();
    FakeSoundBuffer* bgm2 = Fake().Buffer(3);
    QVERIFY(bgm2->Playing() && Fake().TimerAlive());

    Fake().ClearCalls();
    form->Button7->click();
    QCOMPARE(Fake().OpenedFileNames().back(), std::string("bgm1.wav"));
    const Names calls = Fake().CallNames();
    QVERIFY2(InOrder(calls, {"timeKillEvent", "timeEndPeriod", "buffer4.Stop", "buffer4.Release"}),
             Join(calls).c_str());
    QVERIFY2(!Contains(calls, "dsound.CreateSoundBuffer") && !Contains(calls, "timeSetEvent"), Join(calls).c_str());
    QVERIFY(bgm2->Released());
    for (FakeSoundBuffer* buffer : Fake().Buffers()) QVERIFY2(!buffer->Playing(), buffer->Name().c_str());
    QVERIFY(!Fake().TimerAlive());
    QCOMPARE(Fake().OpenPeriods(), 0);
    QCOMPARE(Fake().OpenFiles(), 0);
    QVERIFY(Fake().MessageBoxes().empty());
  }

  void messageBoxesOfTheLoadsAppearInOrderWhenTheFilesAreMissing() {
    auto form = OpenWindow(empty_);
    const auto& boxes = Fake().MessageBoxes();
    QCOMPARE(boxes.size(), std::size_t{6});
    for (int i = 0; i < 3; ++i) {
      QCOMPARE(boxes[2 * i].text, std::string("Wave files must be PCM format!"));
      QCOMPARE(boxes[2 * i].caption, std::string("Velmo Sound Error!"));
      QCOMPARE(boxes[2 * i + 1].text, std::string("Bad wave file or file too big to fit in memory"));
      QCOMPARE(boxes[2 * i + 1].caption, std::string("Cannot load wave"));
      QCOMPARE(boxes[2 * i].style, velmo::MB_ICONERROR);
      QCOMPARE(boxes[2 * i + 1].style, velmo::MB_ICONERROR);
    }
    for (const auto& box : boxes) QCOMPARE(box.owner, form->NativeHandle());
    const Names expectedFiles = {"sfx1.wav", "sfx1.wav", "sfx2.wav", "sfx2.wav", "sfx3.wav", "sfx3.wav"};
    QCOMPARE(Fake().OpenedFileNames(), expectedFiles);
    QVERIFY(!velmo::Sfx1 && !velmo::Sfx2 && !velmo::Sfx3);

    // The music buttons find nothing to open and stay silent.
    Fake().ClearCalls();
    form->Button7->click();
    form->Button1->click();
    QVERIFY2(Fake().CallNames().empty(), Join(Fake().CallNames()).c_str());
    QVERIFY(!Fake().TimerAlive());
    QCOMPARE(Fake().MessageBoxes().size(), std::size_t{6});
  }

  void theDeviceBoxComesFirstAndNoEffectIsTriedWithoutADevice() {
    Fake().Fail("CoCreateInstance", velmo::E_FAIL);
    auto form = OpenWindow(empty_);
    const auto& boxes = Fake().MessageBoxes();
    QCOMPARE(boxes.size(), std::size_t{1});
    QCOMPARE(boxes[0].text, std::string("Failed to create DirectSound COM object"));
    QCOMPARE(boxes[0].caption, std::string("Velmo Sound Error!"));
    QCOMPARE(boxes[0].owner, form->NativeHandle());
    QVERIFY(Fake().OpenedFileNames().empty());
  }

  void aDeviceThatDoesNotStartLeavesEveryButtonSilent() {
    Fake().Fail("acmMetrics", 6 /* no driver */);
    auto form = OpenWindow(sounds_);
    QCOMPARE(Fake().MessageBoxes().size(), std::size_t{1});
    QCOMPARE(Fake().MessageBoxes()[0].text, std::string("ACM Metrics failed, aborting"));
    QVERIFY(!velmo::Sfx1 && !velmo::Sfx2 && !velmo::Sfx3);
    form->show();
    Fake().ClearCalls();
    for (QAbstractButton* button : form->findChildren<QAbstractButton*>()) button->click();
    form->Button3Click(nullptr);
    form->Button4Click(nullptr);
    form->Button5Click(nullptr);
    QVERIFY2(Fake().CallNames().empty(), Join(Fake().CallNames()).c_str());
    QVERIFY(Fake().OpenedFileNames().empty());
    QCOMPARE(Fake().MessageBoxes().size(), std::size_t{1});
    form.reset();  // and the shutdown has nothing to release
    QVERIFY(Fake().CallNames().empty());
  }

  void closingTheWindowWhileMusicPlaysStopsItAndReleasesTheDevice() {
    auto form = OpenWindow(sounds_);
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    form->Button7->click();
    form->Button2->click();
    FakeSoundBuffer* music = Fake().Buffer(3);
    QVERIFY(music->Playing());
    Fake().ClearCalls();

    form->close();
    QVERIFY(!form->isVisible());
    form.reset();  // the program destroys the window once its loop has ended

    const Names calls = Fake().CallNames();
    QVERIFY2(InOrder(calls, {"timeKillEvent", "timeEndPeriod", "buffer4.Stop", "buffer4.Release", "dsound.Release",
                             "CoUninitialize"}),
             Join(calls).c_str());
    QVERIFY(music->Released());
    QVERIFY(!Fake().TimerAlive());
    QCOMPARE(Fake().OpenPeriods(), 0);
    QVERIFY(Fake().Device()->Released());
    QCOMPARE(Fake().OpenFiles(), 0);
    QCOMPARE(Fake().UseAfterRelease(), 0);
  }

  void anEffectWhoseLoadFailedIsSilentWhileTheOthersPlay() {
    auto form = OpenWindow(noSfx2_);
    QCOMPARE(Fake().MessageBoxes().size(), std::size_t{2});
    QVERIFY(velmo::Sfx1 && !velmo::Sfx2 && velmo::Sfx3);
    Fake().ClearCalls();
    form->Button6->click();
    form->Button4Click(nullptr);
    QVERIFY2(Fake().CallNames().empty(), Join(Fake().CallNames()).c_str());
    form->Button9->click();
    QVERIFY(Fake().Buffer(1)->Playing());  // sfx3 is the second buffer here
    QCOMPARE(Fake().MessageBoxes().size(), std::size_t{2});
  }

  // --- The script runner on the real window ---

  void aScriptPressesButtonsByNameAndCaptionThenCloses() {
    auto form = OpenWindow(sounds_);
    form->show();
    QSignalSpy sfx1Clicked(form->Button2, &QPushButton::clicked);
    velmo::ScriptRunner script(*form, "tour.txt");
    QSignalSpy finished(&script, &velmo::ScriptRunner::Finished);
    script.AddText("# a tour\n  press Button2\n\npress SFX2 (SFX2.WAV)   # by its caption\nwait 0\nclose\n"
                   "press Button9\n");
    script.EndOfInput();
    Fake().ClearCalls();
    script.Start();
    QVERIFY(finished.wait(5000));
    QCOMPARE(finished.at(0).at(0).value<velmo::ScriptRunner::Outcome>(), velmo::ScriptRunner::Outcome::Closed);
    QCOMPARE(sfx1Clicked.size(), 1);
    const Names calls = Fake().CallNames();
    QVERIFY2(InOrder(calls, {"buffer1.Play", "buffer2.Play"}), Join(calls).c_str());
    QVERIFY(!Contains(calls, "buffer3.Play"));
    QVERIFY(!form->isVisible());
  }

  void aBadLineIsReportedWithItsNumberAndStopsTheScript() {
    auto form = OpenWindow(sounds_);
    form->show();
    velmo::ScriptRunner script(*form, "bad.txt");
    QSignalSpy finished(&script, &velmo::ScriptRunner::Finished);
    script.AddText("press Button2\n# fine so far\nwait soon\npress Button6\n");
    script.EndOfInput();
    Fake().ClearCalls();
    StderrCapture err;
    script.Start();
    QVERIFY(finished.wait(5000));
    const std::string text = err.Text();
    QCOMPARE(finished.at(0).at(0).value<velmo::ScriptRunner::Outcome>(), velmo::ScriptRunner::Outcome::Failed);
    QVERIFY2(text.find("bad.txt:3: wait takes a whole number of milliseconds, not 'soon'") != std::string::npos,
             text.c_str());
    QVERIFY(Contains(Fake().CallNames(), "buffer1.Play"));
    QVERIFY(!Contains(Fake().CallNames(), "buffer2.Play"));
    QVERIFY(!form->isVisible());  // the program shuts down as it would when closed
  }

  void aButtonTheWindowDoesNotHaveIsABadLine() {
    auto form = OpenWindow(sounds_);
    velmo::ScriptRunner script(*form, "x.txt");
    QSignalSpy finished(&script, &velmo::ScriptRunner::Finished);
    script.AddText("press Button5\n");  // a handler exists, but no control
    script.EndOfInput();
    StderrCapture err;
    script.Start();
    QVERIFY(finished.wait(5000));
    QCOMPARE(finished.at(0).at(0).value<velmo::ScriptRunner::Outcome>(), velmo::ScriptRunner::Outcome::Failed);
    QVERIFY(err.Text().find("x.txt:1: no button is named or captioned 'Button5'") != std::string::npos);
  }

  void waitKeepsTheEventLoopRunning() {
    auto form = OpenWindow(sounds_);
    velmo::ScriptRunner script(*form, "w.txt");
    QSignalSpy finished(&script, &velmo::ScriptRunner::Finished);
    script.AddText("wait 120\n");
    script.EndOfInput();
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
    ticker.start(10);
    script.Start();
    QVERIFY(finished.wait(5000));
    QCOMPARE(finished.at(0).at(0).value<velmo::ScriptRunner::Outcome>(), velmo::ScriptRunner::Outcome::Ended);
    QVERIFY2(ticks >= 3, qPrintable(QString::number(ticks)));
    QVERIFY(script.Done());
  }

  void aScriptWaitsWhileAModalBoxIsOpen() {
    auto form = OpenWindow(sounds_);
    form->show();
    QMessageBox box(QMessageBox::Critical, "Velmo Sound Error!", "Cannot create new buffer", QMessageBox::Ok,
                    form.get());
    box.setWindowModality(Qt::ApplicationModal);
    box.show();
    QTRY_VERIFY(QApplication::activeModalWidget() == &box);
    velmo::ScriptRunner script(*form, "m.txt");
    QSignalSpy finished(&script, &velmo::ScriptRunner::Finished);
    script.AddText("press Button2\n");
    script.EndOfInput();
    Fake().ClearCalls();
    script.Start();
    QTest::qWait(250);
    QVERIFY2(Fake().CallNames().empty(), Join(Fake().CallNames()).c_str());
    box.accept();
    QVERIFY(finished.wait(5000));
    QVERIFY(Contains(Fake().CallNames(), "buffer1.Play"));
  }

  void aScriptReadFromAPipeRunsEachLineAsItArrives() {
    auto form = OpenWindow(sounds_);
    int fds[2];
    QCOMPARE(::pipe(fds), 0);
    velmo::ScriptRunner script(*form, "stdin");
    QSignalSpy finished(&script, &velmo::ScriptRunner::Finished);
    script.ReadFrom(fds[0]);
    Fake().ClearCalls();
    script.Start();
    QCOMPARE(::write(fds[1], "press Butt", 10), 10);
    QTest::qWait(50);
    QVERIFY(Fake().CallNames().empty());  // half a line does nothing yet
    QCOMPARE(::write(fds[1], "on2\n", 4), 4);
    QTRY_VERIFY(Contains(Fake().CallNames(), "buffer1.Play"));
    QVERIFY(!script.Done());
    QCOMPARE(::write(fds[1], "press Button9", 13), 13);  // the last line needs no newline
    ::close(fds[1]);
    QVERIFY(finished.wait(5000));
    QCOMPARE(finished.at(0).at(0).value<velmo::ScriptRunner::Outcome>(), velmo::ScriptRunner::Outcome::Ended);
    QVERIFY(Contains(Fake().CallNames(), "buffer3.Play"));
    ::close(fds[0]);
  }

  // --- The program's message boxes ---

  void anExceptionFromAnEventHandlerIsShownAndTheLoopGoesOn() {
    applicationBoxes.shown.clear();
    Thrower thrower;
    QEvent user(QEvent::User);
    QCoreApplication::sendEvent(&thrower, &user);
    QCOMPARE(applicationBoxes.shown.size(), std::size_t{1});
    QCOMPARE(applicationBoxes.shown[0].text, std::string("the handler gave up"));
    QCOMPARE(applicationBoxes.shown[0].caption, std::string("velmo-sample"));
    QCOMPARE(applicationBoxes.shown[0].style, velmo::MB_ICONERROR);
    // The loop still dispatches afterwards.
    bool ran = false;
    QTimer::singleShot(0, [&ran] { ran = true; });
    QTRY_VERIFY(ran);
  }

  void aBoxIsAModalBoxOnItsOwnerAndALineOnStandardError() {
    velmo::InstallPlatform(nullptr);  // the real platform routes boxes to the sink
    QWidget owner;
    owner.show();
    const auto handle = reinterpret_cast<velmo::HWND>(static_cast<quintptr>(owner.winId()));
    velmo::WindowMessageBoxes boxes(/*showOnScreen=*/true);
    velmo::ScopedMessageBoxSink installed(boxes);

    struct Seen {
      QMessageBox::Icon icon = QMessageBox::Question;
      QString title, text;
      QMessageBox::StandardButtons buttons;
      QWidget* parent = nullptr;
      bool modal = false;
    };
    for (velmo::UINT style : {velmo::MB_ICONERROR, velmo::MB_OK}) {
      Seen seen;
      QTimer poll;
      connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        seen = {box->icon(), box->windowTitle(), box->text(), box->standardButtons(), box->parentWidget(),
                box->isModal()};
        box->button(QMessageBox::Ok)->click();
      });
      poll.start(10);
      StderrCapture err;
      const int pressed = velmo::MessageBoxA(handle, "Cannot start playing", "Velmo Sound Error", style);
      const std::string line = err.Text();
      poll.stop();
      QCOMPARE(pressed, velmo::IDOK);
      QCOMPARE(seen.icon, style == velmo::MB_ICONERROR ? QMessageBox::Critical : QMessageBox::NoIcon);
      QCOMPARE(seen.title, QString("Velmo Sound Error"));
      QCOMPARE(seen.text, QString("Cannot start playing"));
      QCOMPARE(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
      QCOMPARE(seen.parent, &owner);
      QVERIFY(seen.modal);
      QCOMPARE(line, std::string("Velmo Sound Error: Cannot start playing\n"));
    }
    velmo::InstallPlatform(fake_.get());
  }

  void withoutAScreenABoxIsOnlyALineAndDoesNotWait() {
    velmo::InstallPlatform(nullptr);
    velmo::WindowMessageBoxes boxes(/*showOnScreen=*/false);
    velmo::ScopedMessageBoxSink installed(boxes);
    StderrCapture err;
    QCOMPARE(velmo::MessageBoxA(nullptr, "Failed to initialize COM library", "Velmo Sound ERROR!", velmo::MB_ICONERROR),
             velmo::IDOK);
    QCOMPARE(err.Text(), std::string("Velmo Sound ERROR!: Failed to initialize COM library\n"));
    QVERIFY(QApplication::activeModalWidget() == nullptr);
    velmo::InstallPlatform(fake_.get());
  }
};

// The test runs under the program's own application object, so that its
// exception display is the one under test.
int main(int argc, char** argv) {
  velmo::SampleApplication app(argc, argv, applicationBoxes);
  SampleWindowTest test;
  return QTest::qExec(&test, argc, argv);
}
#include "sample_window_test.moc"
