// Runs a shell command line and collects its output (standard output and
// standard error together) and its exit status: for tests that start the
// library's programs as a user would.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace tarvo_test {

struct CommandResult {
    int status = -1;  // exit status, -1 when the command did not exit normally
    std::string out;
};

inline CommandResult run_command(const std::string &command) {
    CommandResult r;
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (!p) return r;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p)) r.out += buf;
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

}  // namespace tarvo_test
