// Figure 5: time from process start to the first painted frame of the window, offscreen.
//
// Run without arguments it is the launcher: it notes the time, starts itself as a child that
// builds the window as the program's main() does, and collects what the child measured against
// that time. Both read CLOCK_MONOTONIC, which is one clock for every process on the machine.

#include "BenchClock.h"
#include "FirstPaintProbe.h"
#include "VirtualHidAccess.h"
#include "Widget.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Stages {
    double main = 0, application = 0, window = 0, shown = 0, paintEvent = 0, frameDone = 0;
};

const char* argumentAfter(int argc, char** argv, const char* name)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0)
            return argv[i + 1];
    }
    return nullptr;
}

// The child: the steps of main(), each stamped, then the first frame.
int runChild(int argc, char** argv, std::int64_t launched, const std::string& bus)
{
    const std::int64_t mainEntered = BenchClock::monotonicNanos();
    QApplication application(argc, argv);
    const std::int64_t applicationMade = BenchClock::monotonicNanos();
    std::unique_ptr<VirtualHidAccess> emptyBus;
    if (bus == "empty-bus")
        emptyBus = std::make_unique<VirtualHidAccess>();
    // The default window is the program's own: its build's HID access, polling from the start.
    Widget window(*emptyBus);
    const std::int64_t windowMade = BenchClock::monotonicNanos();
    FirstPaintProbe probe;
    window.installEventFilter(&probe);
    window.show();
    const std::int64_t shown = BenchClock::monotonicNanos();
    QObject::connect(&probe, &FirstPaintProbe::frameDone, &application, [&] {
        std::printf("%lld %lld %lld %lld %lld %lld\n", (long long)(mainEntered - launched),
                    (long long)(applicationMade - launched), (long long)(windowMade - launched),
                    (long long)(shown - launched), (long long)(probe.paintEventNanos() - launched),
                    (long long)(probe.frameDoneNanos() - launched));
        std::fflush(stdout);
        // The polling thread is not stopped or waited for by the window, as in the program; end
        // here rather than tear down around it.
        std::_Exit(0);
    });
    return application.exec();
}

bool launchOnce(const std::string& self, const std::string& bus, Stages* stages)
{
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return false;
    const std::int64_t launched = BenchClock::monotonicNanos();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeEnds[1], STDOUT_FILENO);
        // Qt's warnings about the session are not figures.
        if (FILE* devNull = std::fopen("/dev/null", "w"))
            dup2(fileno(devNull), STDERR_FILENO);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        const std::string stamp = std::to_string(launched);
        execl(self.c_str(), self.c_str(), "--child", stamp.c_str(), "--bus", bus.c_str(), nullptr);
        _exit(127);
    }
    close(pipeEnds[1]);
    std::string output;
    char buffer[256];
    ssize_t got = 0;
    while ((got = read(pipeEnds[0], buffer, sizeof buffer)) > 0)
        output.append(buffer, std::size_t(got));
    close(pipeEnds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    long long values[6] = {};
    if (std::sscanf(output.c_str(), "%lld %lld %lld %lld %lld %lld", &values[0], &values[1],
                    &values[2], &values[3], &values[4], &values[5])
        != 6)
        return false;
    *stages = Stages{values[0] / 1e6, values[1] / 1e6, values[2] / 1e6,
                     values[3] / 1e6, values[4] / 1e6, values[5] / 1e6};
    return true;
}

void measure(const std::string& self, const std::string& bus, const char* label, int runs)
{
    std::vector<double> main, application, window, shown, paint, frame;
    Stages stages;
    // The first start also fills the page cache with Qt's libraries and plugins; not counted.
    if (!launchOnce(self, bus, &stages)) {
        std::printf("  %s: the child reported nothing\n", label);
        return;
    }
    for (int run = 0; run < runs; ++run) {
        if (!launchOnce(self, bus, &stages)) {
            std::printf("  %s: the child reported nothing\n", label);
            return;
        }
        main.push_back(stages.main);
        application.push_back(stages.application);
        window.push_back(stages.window);
        shown.push_back(stages.shown);
        paint.push_back(stages.paintEvent);
        frame.push_back(stages.frameDone);
    }
    const auto row = [](const char* stage, const std::vector<double>& values) {
        const auto s = BenchClock::summarize(values);
        std::printf("    %-34s %8.2f ms median (min %.2f, max %.2f)\n", stage, s.median, s.minimum,
                    s.maximum);
    };
    std::printf("  %s, %d starts after one uncounted:\n", label, runs);
    row("main() entered", main);
    row("QApplication constructed", application);
    row("Widget constructed", window);
    row("show() returned", shown);
    row("first paint event", paint);
    row("first frame painted and flushed", frame);
}

} // namespace

int main(int argc, char** argv)
{
    if (const char* launched = argumentAfter(argc, argv, "--child")) {
        const char* bus = argumentAfter(argc, argv, "--bus");
        return runChild(argc, argv, std::atoll(launched), bus ? bus : "default");
    }

    const char* runsText = argumentAfter(argc, argv, "--runs");
    const int runs = runsText ? std::atoi(runsText) : 20;
    char self[4096];
    const ssize_t size = readlink("/proc/self/exe", self, sizeof self - 1);
    if (size <= 0)
        return 1;
    self[size] = '\0';
    setenv("QT_QPA_PLATFORM", "offscreen", 1);

    std::printf(
        "5. Start-up: from fork() in the launcher to the window's first frame, offscreen\n");
    measure(self, "default",
            "the program's window (this build's HID access, polling from the start)", runs);
    measure(self, "empty-bus", "the window on an empty virtual bus (no controller)", runs);
    return 0;
}
