// How alive the desktop tool's window stays while the control waits for a meter. A 60 Hz
// "frame" timer stands in for the window's repaints and input: the longest gap between two of
// its ticks is the longest the window could have gone without answering. Measured during reads
// of the simulated meter and during reads nobody answers (the whole 3.1 s reply time-out), with
// the process CPU time over the wall time of each phase. Run offscreen:
//   QT_QPA_PLATFORM=offscreen build/bench/bench/gui_responsiveness [READS]
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "connection_panel.hpp"
#include "main_window.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
  rusage use{};
  getrusage(RUSAGE_SELF, &use);
  return static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
         static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

// Ticks every 16 ms like a window's frame clock and keeps the longest gap between ticks.
class FrameClock {
 public:
  FrameClock() {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(16);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      const auto now = Clock::now();
      if (last_ != Clock::time_point{}) longest_ = std::max(longest_, now - last_);
      last_ = now;
    });
  }
  void Start() {
    last_ = {};
    longest_ = {};
    timer_.start();
  }
  void Stop() { timer_.stop(); }
  double LongestMs() const { return std::chrono::duration<double, std::milli>(longest_).count(); }

 private:
  QTimer timer_;
  Clock::time_point last_{};
  Clock::duration longest_{};
};

struct Phase {
  double longest_gap_ms = 0;
  double cpu_percent = 0;
  double wall_s = 0;
};

template <typename F>
Phase MeasurePhase(int reads, F&& read_once, bool with_frames) {
  FrameClock frames;
  if (with_frames) frames.Start();
  const double cpu0 = CpuSeconds();
  const auto wall0 = Clock::now();
  for (int i = 0; i < reads; ++i) read_once();
  Phase p;
  p.wall_s = std::chrono::duration<double>(Clock::now() - wall0).count();
  p.cpu_percent = 100.0 * (CpuSeconds() - cpu0) / p.wall_s;
  frames.Stop();
  p.longest_gap_ms = frames.LongestMs();
  return p;
}

void Print(const char* name, const Phase& p, bool with_frames) {
  char gap[32] = "-";
  if (with_frames) std::snprintf(gap, sizeof gap, "%.1f ms", p.longest_gap_ms);
  std::printf("%-34s %11s %9.2f %% %8.1f s\n", name, gap, p.cpu_percent, p.wall_s);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const int reads = argc > 1 ? std::atoi(argv[1]) : 10;
  QTemporaryDir dir;
  velmar::gui::MainWindow window(
      std::make_unique<QSettings>(dir.filePath("bench.ini"), QSettings::IniFormat));
  window.show();
  window.Read();  // the first read opens everything once

  std::printf("%-34s %11s %11s %10s\n", "phase", "longest gap", "CPU/wall", "wall");
  Print("reads of the simulated meter",
        MeasurePhase(
            reads, [&] { window.Read(); }, true),
        true);

  int master = -1;
  int slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return 1;
  window.Connection()->device->setCurrentText(QString::fromUtf8(ttyname(slave)));
  ::close(slave);
  const int silent = std::max(1, reads / 5);
  Print("silent time-outs, window ticking",
        MeasurePhase(
            silent, [&] { window.Read(); }, true),
        true);
  Print("silent time-outs, window idle",
        MeasurePhase(
            silent, [&] { window.Read(); }, false),
        false);
  window.close();
  ::close(master);
  return 0;
}
