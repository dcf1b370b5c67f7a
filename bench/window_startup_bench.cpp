// Start-up of the sample window on the offscreen window system, with the
// real platform and the null audio output: from constructing the window
// (FormCreate starts the device and loads the three demo effects) until the
// window is shown and exposed.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QWindow>
#include <cstdlib>
#include <memory>

#include "app/sndtest.h"
#include "tools/demo_sounds.h"

namespace {

void WindowToExposed(benchmark::State& state) {
  for (auto _ : state) {
    auto form = std::make_unique<velmo::TForm1>();
    form->show();
    while (!(form->windowHandle() && form->windowHandle()->isExposed()))
      QApplication::processEvents(QEventLoop::AllEvents, 5);
    state.PauseTiming();
    form.reset();  // shuts the device down again
    state.ResumeTiming();
  }
}
BENCHMARK(WindowToExposed)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  ::setenv("VELMO_AUDIO_OUTPUT", "null", 1);
  int qtArgc = 1;
  QApplication app(qtArgc, argv);
  QTemporaryDir sounds;
  for (const velmo::tools::DemoSound& s : velmo::tools::SynthesizeDemoSounds())
    velmo::tools::WritePcmWave(sounds.filePath(QString::fromStdString(s.fileName)).toStdString(), s.format, s.samples,
                               nullptr);
  QDir::setCurrent(sounds.path());

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  QDir::setCurrent(QDir::rootPath());
  return 0;
}
