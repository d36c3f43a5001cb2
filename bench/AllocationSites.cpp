#include "AllocationSites.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

namespace {

constexpr int g_maxFrames = 64;
constexpr int g_maxRecords = 16384;

struct Record {
    void* frames[g_maxFrames];
    int count;
};

// Static storage: capturing must not allocate.
Record g_records[g_maxRecords];
int g_recordCount = 0;
bool g_enabled = false;
thread_local bool t_capturing = false;

std::string nameOf(void* address)
{
    Dl_info info{};
    if (!dladdr(address, &info) || !info.dli_sname) {
        const char* library = info.dli_fname ? std::strrchr(info.dli_fname, '/') : nullptr;
        return std::string("?? in ") + (library ? library + 1 : "??");
    }
    int status = 0;
    char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    std::string name = status == 0 && demangled ? demangled : info.dli_sname;
    std::free(demangled);
    return name;
}

bool isAllocatorFrame(const std::string& name)
{
    return name.rfind("operator new", 0) == 0 || name == "malloc" || name == "calloc"
        || name == "realloc" || name.find("AllocationCounter") != std::string::npos
        || name.find("AllocationSites") != std::string::npos
        || name.find("allocateForNew") != std::string::npos
        || name.find("allocateAlignedForNew") != std::string::npos;
}

} // namespace

void AllocationSites::setEnabled(bool enabled)
{
    if (enabled) {
        // The first backtrace loads the unwinder, which allocates: do it outside any count.
        void* warmUp[2];
        backtrace(warmUp, 2);
    }
    g_enabled = enabled;
}

bool AllocationSites::enabled()
{
    return g_enabled;
}

void AllocationSites::clear()
{
    g_recordCount = 0;
}

void AllocationSites::capture()
{
    if (!g_enabled || t_capturing || g_recordCount >= g_maxRecords)
        return;
    t_capturing = true;
    Record& record = g_records[g_recordCount++];
    record.count = backtrace(record.frames, g_maxFrames);
    t_capturing = false;
}

namespace {

void printSorted(std::FILE* out, const std::map<std::string, int>& counts, int top)
{
    std::vector<std::pair<int, std::string>> sorted;
    for (const auto& entry : counts)
        sorted.emplace_back(entry.second, entry.first);
    std::sort(sorted.begin(), sorted.end(),
              [](const auto& a, const auto& b) { return a.first > b.first; });
    for (int i = 0; i < int(sorted.size()) && i < top; ++i)
        std::fprintf(out, "    %5d x %s\n", sorted[i].first, sorted[i].second.c_str());
    if (int(sorted.size()) > top)
        std::fprintf(out, "    ... %d more\n", int(sorted.size()) - top);
}

} // namespace

void AllocationSites::reportByCall(std::FILE* out, const char* caller)
{
    std::map<std::string, int> calls;
    for (int r = 0; r < g_recordCount; ++r) {
        std::string callee = "(not reached from " + std::string(caller) + "...)";
        std::string previous;
        for (int f = 0; f < g_records[r].count; ++f) {
            const std::string name = nameOf(g_records[r].frames[f]);
            if (name.rfind(caller, 0) == 0) {
                callee = name + " -> " + previous;
                break;
            }
            previous = name;
        }
        ++calls[callee];
    }
    printSorted(out, calls, 20);
}

void AllocationSites::report(std::FILE* out, int top, int depth)
{
    std::map<std::string, int> chains;
    for (int r = 0; r < g_recordCount; ++r) {
        std::string chain;
        int kept = 0;
        for (int f = 0; f < g_records[r].count && kept < depth; ++f) {
            const std::string name = nameOf(g_records[r].frames[f]);
            if (kept == 0 && isAllocatorFrame(name))
                continue;
            chain += (kept ? "\n        <- " : "") + name;
            ++kept;
        }
        ++chains[chain];
    }
    printSorted(out, chains, top);
}
