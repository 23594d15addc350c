#include "run_process.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

[[noreturn]] void fail_setup(const std::string& what) {
    throw std::runtime_error("run_process: " + what + ": " + std::strerror(errno));
}

// An unlinked temporary file: it vanishes with its last descriptor.
int anonymous_file() {
    const char* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") +
                       "/driver_test.XXXXXX";
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) fail_setup("mkstemp " + path);
    unlink(name.data());
    return fd;
}

std::string read_all(int fd) {
    std::string text;
    if (lseek(fd, 0, SEEK_SET) < 0) fail_setup("lseek");
    char chunk[65536];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail_setup("read");
        if (n == 0) break;
        text.append(chunk, static_cast<std::size_t>(n));
    }
    return text;
}

struct descriptor {
    int fd;
    explicit descriptor(int f) : fd(f) {}
    ~descriptor() {
        if (fd >= 0) close(fd);
    }
    descriptor(const descriptor&) = delete;
    descriptor& operator=(const descriptor&) = delete;
};

}  // namespace

std::string process_result::how_it_ended() const {
    if (exited) return "exit status " + std::to_string(exit_status);
    if (signal != 0) return "killed by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
    return "did not run";
}

process_result run_process(const std::string& program, const std::vector<std::string>& args,
                           unsigned cpu_seconds) {
    descriptor out(anonymous_file());
    descriptor err(anonymous_file());
    descriptor in(open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (in.fd < 0) fail_setup("open /dev/null");

    // Everything the child needs is built before the fork: after it, only async-signal-safe calls.
    std::vector<std::string> words;
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    rlimit cpu{};
    cpu.rlim_cur = cpu_seconds;
    cpu.rlim_max = cpu_seconds + 5;  // SIGKILL if SIGXCPU does not end it

    const pid_t pid = fork();
    if (pid < 0) fail_setup("fork");
    if (pid == 0) {
        if (dup2(in.fd, STDIN_FILENO) < 0 || dup2(out.fd, STDOUT_FILENO) < 0 ||
            dup2(err.fd, STDERR_FILENO) < 0)
            _exit(126);
        setrlimit(RLIMIT_CPU, &cpu);
        execv(argv[0], argv.data());
        _exit(127);
    }

    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) fail_setup("waitpid");
    }
    process_result r;
    if (WIFEXITED(status)) {
        r.exited = true;
        r.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        r.signal = WTERMSIG(status);
    }
    r.out = read_all(out.fd);
    r.err = read_all(err.fd);
    return r;
}
