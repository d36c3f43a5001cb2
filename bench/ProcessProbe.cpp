#include "ProcessProbe.h"

#include "BenchClock.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <dirent.h>
#include <unistd.h>

ProcessProbe::ProcessProbe(pid_t pid)
    : m_pid(pid)
{
}

long ProcessProbe::ticksPerSecond()
{
    return sysconf(_SC_CLK_TCK);
}

bool ProcessProbe::sample(Sample* sample) const
{
    const std::string base = "/proc/" + std::to_string(m_pid);
    sample->monotonicNanos = BenchClock::monotonicNanos();

    std::ifstream statFile(base + "/stat");
    std::string stat;
    if (!std::getline(statFile, stat))
        return false;
    // The command name is in parentheses and may hold spaces; the fields follow the last ')'.
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return false;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    std::uint64_t utime = 0, stime = 0;
    // Field 3 (state) is the first after the name; utime and stime are fields 14 and 15.
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14)
            utime = std::stoull(field);
        if (number == 15)
            stime = std::stoull(field);
    }
    sample->cpuTicks = utime + stime;

    std::ifstream status(base + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            sample->residentKiB = std::stol(line.substr(6));
        if (line.rfind("Threads:", 0) == 0)
            sample->threads = std::stoi(line.substr(8));
    }

    sample->onCpuNanos = 0;
    if (DIR* tasks = opendir((base + "/task").c_str())) {
        while (const dirent* entry = readdir(tasks)) {
            if (entry->d_name[0] == '.')
                continue;
            std::ifstream schedstat(base + "/task/" + entry->d_name + "/schedstat");
            std::uint64_t onCpu = 0;
            if (schedstat >> onCpu)
                sample->onCpuNanos += onCpu;
        }
        closedir(tasks);
    }
    return true;
}
