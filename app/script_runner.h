// Runs a script of press / wait / close commands against the window, on the
// window thread, driven by the event loop: waits are timers, so the window
// keeps painting and the music keeps playing while a script waits.
#pragma once

#include <QObject>
#include <QString>
#include <deque>
#include <string>
#include <string_view>

class QSocketNotifier;
class QWidget;

namespace velmo {

class ScriptRunner : public QObject {
  Q_OBJECT

 public:
  enum class Outcome {
    Closed,  // a close command closed the window
    Ended,   // the script ran out of commands
    Failed,  // a bad line (reported with its line number) stopped the script
  };

  // `name` is how error lines refer to the script ("demo.txt", "stdin").
  ScriptRunner(QWidget& window, QString name, QObject* parent = nullptr);
  ~ScriptRunner() override;

  // Script text arrives either all at once or in pieces as it is read; a
  // line runs only once its newline (or the end of input) has arrived.
  void AddText(std::string_view text);
  void EndOfInput();
  // Reads the script from a descriptor (standard input) as it comes, without
  // blocking the event loop.
  void ReadFrom(int fd);

  // Runs the first command once the event loop is running.
  void Start();
  bool Done() const { return done_; }

 signals:
  // Emitted once, when the script stops.  On Closed and Failed the window
  // has been asked to close.
  void Finished(velmo::ScriptRunner::Outcome outcome);

 private:
  void Step();
  void ScheduleStep(int milliseconds);
  void Fail(int line, const std::string& message);
  void Finish(Outcome outcome);
  void ReadAvailable();

  QWidget& window_;
  QString name_;
  std::deque<std::pair<int, std::string>> lines_;  // (line number, text)
  std::string partial_;
  int nextLineNumber_ = 1;
  bool endOfInput_ = false;
  bool started_ = false;
  bool stepScheduled_ = false;
  bool waiting_ = false;
  bool done_ = false;
  int fd_ = -1;
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace velmo
