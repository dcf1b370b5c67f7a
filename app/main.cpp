// velmo-sample: the Velmo Sound Library sample program.
//
// Start-up: the Sndtest unit has already created the engine; main prepares
// the application object, creates the main window Form1 (whose creation
// handler starts the device and loads the effects), and runs the event loop
// until the window is closed.  Destroying the window shuts the device down.
// The exit code is 0 except for a command line the program does not
// understand (2).
#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/sample_application.h"
#include "app/script_runner.h"
#include "app/sndtest.h"
#include "app/stop_signals.h"
#include "app/window_message_boxes.h"
#include "sound/engine_state.h"
#include "velmo/platform/audio_devices.h"
#include "velmo/platform/audio_settings.h"

namespace {

// Ctrl-C or a termination request closes the window like its close box, so
// the device is shut down and a capture file is completed instead of being
// cut off.  The stop may come before the event loop runs, while the window
// is built and its effects load (a message box of the window's own loop may
// be open then): it closes that box, and the window and the program once
// the window exists.
void CloseOnStopSignal(std::unique_ptr<velmo::TForm1>& window, QObject* owner) {
  if (velmo::StopNotification() < 0) return;
  auto* notifier = new QSocketNotifier(velmo::StopNotification(), QSocketNotifier::Read, owner);
  QObject::connect(notifier, &QSocketNotifier::activated, owner, [notifier, &window] {
    notifier->setEnabled(false);
    velmo::StopInterrupting();
    if (QWidget* box = QApplication::activeModalWidget()) box->close();
    if (window) window->close();
    QCoreApplication::quit();
  });
}

// Qt notes two normal states of affairs on standard error, where they would
// be the only lines of a run that are not the program's own:
// - it found no XDG_RUNTIME_DIR and uses a private folder of its own
//   instead, as for a program started from a plain shell or a service;
// - the locale's character encoding is not UTF-8 (LC_ALL=C, or no LANG at
//   all, as in a container or a service), so it has switched the character
//   type to C.UTF-8 (Qt 6.8 says so; 6.4 says nothing).  The
//   program reads and writes only UTF-8 and ASCII, so that switch is the
//   right one, and it is Qt's to make: it applies the environment's locale
//   itself when the application starts.
QtMessageHandler defaultQtMessages = nullptr;

void FilterQtMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type == QtWarningMsg && message.startsWith("QStandardPaths: XDG_RUNTIME_DIR not set")) return;
  if (type == QtWarningMsg && message.startsWith("Detected locale \"") && message.contains("which is not UTF-8"))
    return;
  if (defaultQtMessages) defaultQtMessages(type, context, message);
}

// Reads a script file whole; a script that cannot be read is reported and
// the program runs as if it had been given none.  The script may be a pipe
// (`--script <(make-script)`), whose open and reads wait for its writer; a
// stop signal cuts them short, and is not taken for a fault of the script.
bool ReadScriptFile(const std::string& path, std::string* text) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR && !velmo::StopRequested());
  int why = fd < 0 ? errno : 0;
  std::string all;
  char chunk[4096];
  while (fd >= 0) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got > 0) {
      all.append(chunk, static_cast<std::size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR && !velmo::StopRequested()) continue;
    if (got < 0) why = errno;
    break;
  }
  if (fd >= 0) ::close(fd);
  if (velmo::StopRequested()) return false;
  if (why != 0) {
    std::fprintf(stderr, "velmo-sample: cannot read the script %s: %s\n", path.c_str(), std::strerror(why));
    return false;
  }
  *text = std::move(all);
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
  // Before any thread starts (Qt's, the sound library's), so that all of
  // them start with the stop signals blocked.
  velmo::CatchStopSignals();
  // The options are the user's own words, so each one given wins over its
  // environment variable, as it always has; a variable decides what the
  // command line leaves out.
  const std::string refused =
      velmo::SetAudioSettings(velmo::AudioSettingsFor(options), velmo::AudioSettingsPriority::kOverEnvironment);
  if (!refused.empty()) {
    std::fprintf(stderr, "velmo-sample: %s\nRun with --help for more information.\n", refused.c_str());
    return 2;
  }
  // Finding no device is an answer, not a failure of the program: the
  // status is 0, as for every run but a usage error.
  if (options.listDevices) {
    const std::vector<velmo::AudioDevice> devices = velmo::ListAudioDevices();
    std::fputs(velmo::AudioDeviceListText(devices, options.json).c_str(), stdout);
    if (devices.empty()) std::fprintf(stderr, "velmo-sample: no sound devices found\n");
    return 0;
  }

  std::string scriptText;
  const bool scriptFromStdin = options.script && *options.script == "-";
  const bool haveScript = options.script && (scriptFromStdin || ReadScriptFile(*options.script, &scriptText));
  if (velmo::StopRequested()) return 0;

  defaultQtMessages = qInstallMessageHandler(FilterQtMessages);
  velmo::WindowMessageBoxes messageBoxes(/*showOnScreen=*/!options.headless);
  velmo::ScopedMessageBoxSink installed(messageBoxes);

  // The window system is given no arguments of the user's: every argument
  // has been read above.  It gets the platform --headless asks for.
  std::vector<std::string> qtArguments = velmo::WindowSystemArguments(argv[0], options);
  std::vector<char*> qtArgv;
  for (std::string& argument : qtArguments) qtArgv.push_back(argument.data());
  int qtArgc = static_cast<int>(qtArgv.size());
  qtArgv.push_back(nullptr);
  velmo::SampleApplication Application(qtArgc, qtArgv.data(), messageBoxes);

  std::unique_ptr<velmo::TForm1> Form1;
  CloseOnStopSignal(Form1, &Application);
  try {
    Form1 = std::make_unique<velmo::TForm1>();
    // Creating the window started the device; a failure has been shown in
    // its message box, and one plain line more says what to do about it.
    if (velmo::DSoundReady != 1) {
      const std::string advice = velmo::AdviceWhenTheDeviceFailed(options);
      if (!advice.empty()) std::fprintf(stderr, "%s\n", advice.c_str());
    }

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

    // A stop that came while the window was built ends the program here;
    // the event loop would not see it again.
    if (velmo::StopRequested()) {
      velmo::StopInterrupting();
    } else {
      if (!options.headless) Form1->show();
      Application.exec();
    }
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
