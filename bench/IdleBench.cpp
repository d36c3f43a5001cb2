// Figure 4: what the running program costs while it waits for a controller: CPU time over a long
// stretch with the polling thread asking for a pass twice a second, and resident memory.
//
// Run without arguments it is the meter: it starts the windows to measure as child processes,
// lets them settle, and reads their accounting from /proc. With --window it is one of those
// windows.

#include "ProcessProbe.h"
#include "PlatformHidAccess.h"
#include "VirtualHidAccess.h"
#include "Widget.h"

#include <QApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool hasFlag(int argc, char** argv, const char* name)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0)
            return true;
    }
    return false;
}

struct Subject {
    std::string label;
    std::vector<std::string> command;
    pid_t pid = -1;
    ProcessProbe::Sample start;
    ProcessProbe::Sample end;
    bool sampled = false;
};

// --hidden: never shown, so nothing is painted; --no-polling: the polling thread stopped at once.
// Together with the plain window they split the idle cost into painting, passes and the rest.
int runWindow(int argc, char** argv, const std::string& bus)
{
    const bool hidden = hasFlag(argc, argv, "--hidden");
    const bool polling = !hasFlag(argc, argv, "--no-polling");
    QApplication application(argc, argv);
    std::unique_ptr<HidAccess> hid;
    if (bus == "empty-bus")
        hid = std::make_unique<VirtualHidAccess>();
    else if (bus == "platform")
        hid = createPlatformHidAccess();
    else
        return 2;
    Widget window(*hid);
    if (!polling)
        window.findDeviceThread()->m_stop_polling = true;
    if (!hidden)
        window.show();
    return application.exec();
}

pid_t spawn(const std::vector<std::string>& command)
{
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    const int devNull = open("/dev/null", O_RDWR);
    dup2(devNull, STDIN_FILENO);
    dup2(devNull, STDOUT_FILENO);
    dup2(devNull, STDERR_FILENO);
    std::vector<char*> arguments;
    for (const std::string& argument : command)
        arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    execv(arguments[0], arguments.data());
    _exit(127);
}

std::string selfPath()
{
    char path[4096];
    const ssize_t size = readlink("/proc/self/exe", path, sizeof path - 1);
    if (size <= 0)
        return {};
    path[size] = '\0';
    return path;
}

const char* argumentAfter(int argc, char** argv, const char* name)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0)
            return argv[i + 1];
    }
    return nullptr;
}

void report(const Subject& subject)
{
    if (!subject.sampled) {
        std::printf("  %s\n    not measured: the process ended before or during the measurement\n",
                    subject.label.c_str());
        return;
    }
    const double wall = double(subject.end.monotonicNanos - subject.start.monotonicNanos);
    const double tickNanos = 1e9 / double(ProcessProbe::ticksPerSecond());
    const double statCpu = double(subject.end.cpuTicks - subject.start.cpuTicks) * tickNanos;
    // The scheduler's counters live with the threads: a thread that ends takes its share along.
    const bool threadEnded = subject.end.onCpuNanos < subject.start.onCpuNanos;
    const double schedCpu
        = threadEnded ? 0 : double(subject.end.onCpuNanos - subject.start.onCpuNanos);
    std::printf("  %s\n", subject.label.c_str());
    std::printf(
        "    CPU over %.1f s: %.1f ms by /proc/<pid>/stat (%.0f ms ticks) = %.3f %% of one core;\n",
        wall / 1e9, statCpu / 1e6, tickNanos / 1e6, 100.0 * statCpu / wall);
    if (threadEnded)
        std::printf(
            "                   the scheduler's counters do not apply: a thread ended meanwhile\n");
    else
        std::printf("                   %.2f ms by the scheduler's counters of its threads = %.4f "
                    "%% of one core\n",
                    schedCpu / 1e6, 100.0 * schedCpu / wall);
    std::printf("    resident memory: %ld KiB after start-up, %ld KiB at the end; %d threads\n",
                subject.start.residentKiB, subject.end.residentKiB, subject.end.threads);
}

int runMeter(int argc, char** argv)
{
    const char* secondsText = argumentAfter(argc, argv, "--seconds");
    const char* settleText = argumentAfter(argc, argv, "--settle");
    const char* updater = argumentAfter(argc, argv, "--updater");
    const int seconds = secondsText ? std::atoi(secondsText) : 30;
    const int settle = settleText ? std::atoi(settleText) : 3;
    const std::string self = selfPath();

    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::vector<Subject> subjects;
    const auto add = [&](const std::string& label, const std::vector<std::string>& command) {
        Subject subject;
        subject.label = label;
        subject.command = command;
        subjects.push_back(subject);
    };
    add("window on an empty virtual bus (no controller, nothing else)",
        {self, "--window", "empty-bus"});
    add("window on this machine's HID stack (hidapi on hidraw; no controller here)",
        {self, "--window", "platform"});
    if (updater)
        add(std::string("the program itself, ") + updater
                + " (a stand-in build: its demo bus holds two foreign interfaces and a controller, "
                  "which it "
                  "switches to the bootloader and then keeps finding)",
            {updater});
    add("for comparison: the same empty-bus window never shown (passes, no painting)",
        {self, "--window", "empty-bus", "--hidden"});
    add("for comparison: the same empty-bus window shown, polling stopped (no passes)",
        {self, "--window", "empty-bus", "--no-polling"});

    std::printf(
        "4. Idle cost: %d s measured after %d s of start-up, polling twice a second, offscreen; "
        "the processes run side by side\n",
        seconds, settle);
    for (Subject& subject : subjects)
        subject.pid = spawn(subject.command);
    std::this_thread::sleep_for(std::chrono::seconds(settle));
    for (Subject& subject : subjects)
        subject.sampled = ProcessProbe(subject.pid).sample(&subject.start);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    for (Subject& subject : subjects) {
        subject.sampled = subject.sampled && ProcessProbe(subject.pid).sample(&subject.end);
        int status = 0;
        // A process that ended early is a zombie whose /proc entry still reads; check first.
        if (waitpid(subject.pid, &status, WNOHANG) != 0)
            subject.sampled = false;
        kill(subject.pid, SIGTERM);
        waitpid(subject.pid, &status, 0);
    }
    for (const Subject& subject : subjects)
        report(subject);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (const char* bus = argumentAfter(argc, argv, "--window"))
        return runWindow(argc, argv, bus);
    return runMeter(argc, argv);
}
