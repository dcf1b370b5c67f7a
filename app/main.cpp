// velmo-sample: the Velmo Sound Library sample program.
//
// Start-up: the Sndtest unit has already created the engine; main prepares
// the application object, creates the main window Form1 (whose creation
// handler starts the device and loads the effects), and runs the event loop
// until the window is closed.  Destroying the window shuts the device down.
// The exit code is 0 except for a command line the program does not
// understand (2).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "app/command_line.h"
#include "app/sample_application.h"
#include "app/script_runner.h"
#include "app/sndtest.h"
#include "app/window_message_boxes.h"
#include "sound/engine_state.h"

namespace {

// Ctrl-C or a termination request closes the window like its close box, so
// the device is shut down and a capture file is completed instead of being
// cut off.  The handler only writes a byte to a pipe; the event loop does
// the rest.
int signalPipe[2] = {-1, -1};

void OnTerminationSignal(int) {
  const char byte = 1;
  const int saved = errno;
  [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
  errno = saved;
}

void CloseOnTerminationSignals(velmo::TForm1& window, QObject* owner) {
  if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, owner);
  QObject::connect(notifier, &QSocketNotifier::activated, owner, [&window] {
    char drain[16];
    while (::read(signalPipe[0], drain, sizeof drain) > 0) {
    }
    window.close();
    QCoreApplication::quit();
  });
  struct sigaction action {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// Qt notes on standard error that it found no XDG_RUNTIME_DIR and uses a
// private folder of its own instead.  That is a normal state of affairs for
// a program started from a plain shell or a service, and the note would be
// the only line of a headless run that is not one of its message boxes.
QtMessageHandler defaultQtMessages = nullptr;

void FilterQtMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type == QtWarningMsg && message.startsWith("QStandardPaths: XDG_RUNTIME_DIR not set")) return;
  if (defaultQtMessages) defaultQtMessages(type, context, message);
}

// Reads a script file whole; a script that cannot be read is reported and
// the program runs as if it had been given none.
bool ReadScriptFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "velmo-sample: cannot read the script %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  std::ostringstream all;
  all << in.rdbuf();
  *text = all.str();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const velmo::CommandLine commandLine = velmo::ParseCommandLine(argc, argv);
  if (!commandLine.run) {
    std::fputs(commandLine.stdoutText.c_str(), stdout);
    std::fputs(commandLine.stderrText.c_str(), stderr);
    return commandLine.exitCode;
  }
  const velmo::SampleOptions& options = commandLine.options;
  velmo::ApplyEnvironment(options);

  std::string scriptText;
  const bool scriptFromStdin = options.script && *options.script == "-";
  const bool haveScript = options.script && (scriptFromStdin || ReadScriptFile(*options.script, &scriptText));

  defaultQtMessages = qInstallMessageHandler(FilterQtMessages);
  velmo::WindowMessageBoxes messageBoxes(/*showOnScreen=*/!options.headless);
  velmo::ScopedMessageBoxSink installed(messageBoxes);

  // The window system is given no arguments of its own: every argument has
  // been read above.
  int qtArgc = 1;
  char* qtArgv[] = {argv[0], nullptr};
  velmo::SampleApplication Application(qtArgc, qtArgv, messageBoxes);

  std::unique_ptr<velmo::TForm1> Form1;
  try {
    Form1 = std::make_unique<velmo::TForm1>();
    // Creating the window started the device; a failure has been shown in
    // its message box, and one plain line more says what to do about it.
    if (velmo::DSoundReady != 1) {
      const std::string advice = velmo::AdviceWhenTheDeviceFailed(options);
      if (!advice.empty()) std::fprintf(stderr, "%s\n", advice.c_str());
    }
    CloseOnTerminationSignals(*Form1, &Application);

    std::unique_ptr<velmo::ScriptRunner> script;
    if (haveScript) {
      script = std::make_unique<velmo::ScriptRunner>(
          *Form1, scriptFromStdin ? QString("stdin") : QString::fromStdString(*options.script));
      if (scriptFromStdin) {
        script->ReadFrom(STDIN_FILENO);
      } else {
        script->AddText(scriptText);
        script->EndOfInput();
      }
      // Without a window the program ends with its script.  With one it
      // ends when the window is closed, by the script or by the user.
      if (options.headless)
        QObject::connect(script.get(), &velmo::ScriptRunner::Finished, &Application, &QCoreApplication::quit,
                         Qt::QueuedConnection);
      script->Start();
    } else if (options.headless) {
      QTimer::singleShot(0, &Application, &QCoreApplication::quit);
    }

    if (!options.headless) Form1->show();
    Application.exec();
  } catch (const std::exception& e) {
    Application.ShowException(e);
  }
  try {
    Form1.reset();
  } catch (const std::exception& e) {
    Application.ShowException(e);
  }
  return 0;
}
