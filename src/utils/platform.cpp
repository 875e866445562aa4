#include "utils/platform.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <thread>

#if defined(__linux__)
#include <sched.h>

#include <fstream>
#include <sstream>
#include <string>
#endif

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#define TROVIX_HAVE_FORK 1
#endif

namespace trovix::platform {

namespace {

std::size_t standard_cpus() noexcept {
    unsigned hw = std::thread::hardware_concurrency();
    return hw > 0 ? hw : 1;
}

#if defined(__linux__)

std::size_t affinity_cpus() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    return standard_cpus();
}

// ceil(quota / period), or nothing when unlimited.
std::optional<std::size_t> quota_cpus(double quota, double period) {
    if (quota <= 0 || period <= 0) return std::nullopt;
    double cpus = quota / period;
    std::size_t n = static_cast<std::size_t>(cpus);
    if (static_cast<double>(n) < cpus) ++n;
    return std::max<std::size_t>(n, 1);
}

// The tightest CPU quota of the process's control groups (v2 "cpu.max" up to the root, or the v1
// cfs files), or nothing when there is none.
std::optional<std::size_t> cgroup_cpus() {
    std::ifstream groups("/proc/self/cgroup");
    std::string line, v2_path, v1_path;
    bool have_v2 = false, have_v1 = false;
    while (std::getline(groups, line)) {
        // "hierarchy-id:controllers:path"
        auto a = line.find(':');
        auto b = a == std::string::npos ? a : line.find(':', a + 1);
        if (b == std::string::npos) continue;
        std::string controllers = line.substr(a + 1, b - a - 1);
        std::string path = line.substr(b + 1);
        if (line.compare(0, a, "0") == 0 && controllers.empty()) {
            have_v2 = true;
            v2_path = path;
        } else {
            std::stringstream ss(controllers);
            std::string c;
            while (std::getline(ss, c, ',')) {
                if (c == "cpu") {
                    have_v1 = true;
                    v1_path = path;
                }
            }
        }
    }
    if (have_v2) {
        std::optional<std::size_t> best;
        std::string path = v2_path;
        while (true) {
            std::ifstream f("/sys/fs/cgroup" + path + (path.empty() || path.back() != '/' ? "/" : "") + "cpu.max");
            std::string quota;
            double period = 0;
            if (f >> quota >> period && quota != "max") {
                if (auto n = quota_cpus(std::atof(quota.c_str()), period)) best = best ? std::min(*best, *n) : *n;
            }
            if (path.empty() || path == "/") break;
            auto slash = path.find_last_of('/');
            path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
        }
        if (best) return best;
    }
    if (have_v1) {
        for (const std::string& base : {std::string("/sys/fs/cgroup/cpu") + v1_path,
                                        std::string("/sys/fs/cgroup/cpu,cpuacct") + v1_path,
                                        std::string("/sys/fs/cgroup/cpu")}) {
            std::ifstream q(base + "/cpu.cfs_quota_us"), p(base + "/cpu.cfs_period_us");
            double quota = 0, period = 0;
            if (q >> quota && p >> period) return quota_cpus(quota, period);
        }
    }
    return std::nullopt;
}

#endif

}  // namespace

std::size_t available_cpus() noexcept {
#if defined(__linux__)
    std::size_t n = affinity_cpus();
    try {
        if (auto limit = cgroup_cpus()) n = std::min(n, *limit);
    } catch (...) {
        // Out of memory reading the control-group files: the affinity count stands.
    }
    return std::max<std::size_t>(n, 1);
#else
    return standard_cpus();
#endif
}

bool at_fork_child(void (*hook)()) noexcept {
#if defined(TROVIX_HAVE_FORK)
    return pthread_atfork(nullptr, nullptr, hook) == 0;
#else
    static_cast<void>(hook);
    return false;
#endif
}

}  // namespace trovix::platform
