// run_measured: runs a command several times and prints the median of what each run cost:
// wall time, CPU time (user + system, of the command and everything it waited for), voluntary
// context switches and peak resident memory. For the benchmark; stdout of the command is dropped.
//
//   run_measured RUNS COMMAND [ARGS...]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

struct cost {
    double wall_s;
    double cpu_s;
    long voluntary_switches;
    long peak_kib;
    int status;
};

double seconds(const timespec& t) { return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9; }

cost run_once(char** argv) {
    timespec start{};
    timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) dup2(devnull, STDOUT_FILENO);
        execvp(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    clock_gettime(CLOCK_MONOTONIC, &end);
    cost c;
    c.wall_s = seconds(end) - seconds(start);
    c.cpu_s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    c.voluntary_switches = usage.ru_nvcsw;
    c.peak_kib = usage.ru_maxrss;
    c.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return c;
}

template <typename T>
T median(std::vector<T> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || std::atoi(argv[1]) < 1) {
        std::fprintf(stderr, "usage: run_measured RUNS COMMAND [ARGS...]\n");
        return 2;
    }
    const int runs = std::atoi(argv[1]);
    std::vector<double> wall;
    std::vector<double> cpu;
    std::vector<long> switches;
    std::vector<long> peak;
    int worst = 0;
    for (int i = 0; i < runs; ++i) {
        cost c = run_once(argv + 2);
        wall.push_back(c.wall_s);
        cpu.push_back(c.cpu_s);
        switches.push_back(c.voluntary_switches);
        peak.push_back(c.peak_kib);
        worst = std::max(worst, c.status);
    }
    std::printf("runs=%d wall_s=%.4f cpu_s=%.4f voluntary_switches=%ld peak_kib=%ld status=%d\n",
                runs, median(wall), median(cpu), median(switches), median(peak), worst);
    return worst == 0 ? 0 : 1;
}
