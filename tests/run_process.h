// Runs a program as a child process and collects what it wrote to standard output and standard
// error, separately, and how it ended.
#pragma once

#include <string>
#include <vector>

struct process_result {
    bool exited = false;  // ended by exit (not by a signal, not failed to start)
    int exit_status = -1;  // with exited
    int signal = 0;        // the signal that ended it, or 0
    std::string out;       // standard output, byte for byte
    std::string err;       // standard error, byte for byte

    // "exit status 1", "killed by signal 24", ... for failure messages.
    std::string how_it_ended() const;
};

// Runs `program` with `args` (argv[1..]), standard input from /dev/null, and waits for it.
// The child gets a CPU-time limit of `cpu_seconds`, so a program that loops forever is killed
// (SIGXCPU or SIGKILL) instead of hanging the tests. Throws std::runtime_error when the process
// cannot be set up.
process_result run_process(const std::string& program, const std::vector<std::string>& args,
                           unsigned cpu_seconds = 20);
