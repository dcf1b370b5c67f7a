#include "app/script_runner.h"

#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <cerrno>
#include <cstdio>

#include "app/script_command.h"

namespace velmo {
namespace {

// How often a script looks again while a modal message box is open: the box
// belongs to the person at the screen, and no command may slip past it.
constexpr int kModalRetryMs = 100;

QAbstractButton* FindButton(QWidget& window, const std::string& nameOrCaption) {
  const QString wanted = QString::fromStdString(nameOrCaption);
  const auto buttons = window.findChildren<QAbstractButton*>();
  for (QAbstractButton* button : buttons)
    if (button->objectName() == wanted) return button;
  for (QAbstractButton* button : buttons)
    if (button->text() == wanted) return button;
  return nullptr;
}

}  // namespace

ScriptRunner::ScriptRunner(QWidget& window, QString name, QObject* parent)
    : QObject(parent), window_(window), name_(std::move(name)) {}

ScriptRunner::~ScriptRunner() = default;

void ScriptRunner::AddText(std::string_view text) {
  for (char c : text) {
    if (c == '\n') {
      lines_.emplace_back(nextLineNumber_++, std::move(partial_));
      partial_.clear();
    } else {
      partial_.push_back(c);
    }
  }
  if (started_ && !waiting_) ScheduleStep(0);
}

void ScriptRunner::EndOfInput() {
  if (endOfInput_) return;
  endOfInput_ = true;
  if (!partial_.empty()) lines_.emplace_back(nextLineNumber_++, std::move(partial_));
  partial_.clear();
  if (started_ && !waiting_) ScheduleStep(0);
}

void ScriptRunner::ReadFrom(int fd) {
  fd_ = fd;
  notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] { ReadAvailable(); });
}

void ScriptRunner::ReadAvailable() {
  // The descriptor is readable, so one read returns without blocking: data,
  // or 0 at the end of input.
  char chunk[4096];
  const ssize_t n = ::read(fd_, chunk, sizeof chunk);
  if (n > 0) {
    AddText(std::string_view(chunk, static_cast<std::size_t>(n)));
    return;
  }
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  notifier_->setEnabled(false);
  EndOfInput();
}

void ScriptRunner::Start() {
  if (started_) return;
  started_ = true;
  ScheduleStep(0);
}

void ScriptRunner::ScheduleStep(int milliseconds) {
  if (done_ || stepScheduled_) return;
  stepScheduled_ = true;
  QTimer::singleShot(milliseconds, Qt::PreciseTimer, this, [this] {
    stepScheduled_ = false;
    Step();
  });
}

void ScriptRunner::Step() {
  if (done_) return;
  waiting_ = false;
  if (QApplication::activeModalWidget() != nullptr) {
    ScheduleStep(kModalRetryMs);
    return;
  }
  while (!lines_.empty()) {
    auto [number, text] = std::move(lines_.front());
    lines_.pop_front();
    const ScriptCommand command = ParseScriptLine(text);
    switch (command.kind) {
      case ScriptCommand::Kind::Nothing:
        continue;
      case ScriptCommand::Kind::Invalid:
        Fail(number, command.error);
        return;
      case ScriptCommand::Kind::Press: {
        QAbstractButton* button = FindButton(window_, command.button);
        if (button == nullptr) {
          Fail(number, "no button is named or captioned '" + command.button + "'");
          return;
        }
        button->click();
        // Let the events the click caused run before the next command.
        ScheduleStep(0);
        return;
      }
      case ScriptCommand::Kind::Wait:
        waiting_ = true;
        ScheduleStep(static_cast<int>(command.milliseconds));
        return;
      case ScriptCommand::Kind::Close:
        window_.close();
        Finish(Outcome::Closed);
        return;
    }
  }
  if (endOfInput_) Finish(Outcome::Ended);
}

void ScriptRunner::Fail(int line, const std::string& message) {
  std::fprintf(stderr, "%s:%d: %s; the script stops here\n", name_.toLocal8Bit().constData(), line,
               message.c_str());
  std::fflush(stderr);
  window_.close();
  Finish(Outcome::Failed);
}

void ScriptRunner::Finish(Outcome outcome) {
  if (done_) return;
  done_ = true;
  if (notifier_) notifier_->setEnabled(false);
  emit Finished(outcome);
}

}  // namespace velmo
