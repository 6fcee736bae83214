// Runs a program as a child process with extra environment variables and
// collects its exit status and its output (standard output and error
// together, in the order written).  The output goes through a temporary file,
// so a talkative child never blocks on a full pipe.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace zeva::test {

struct ProgramRun {
    int exitCode = -1;  // 128 + signal for a child killed by one
    std::string output;
};

inline ProgramRun RunProgram(const std::string& program, std::vector<std::string> args,
                             const std::vector<std::pair<std::string, std::string>>& env = {}) {
    ProgramRun r;
    std::FILE* out = std::tmpfile();
    if (out == nullptr)
        return r;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fileno(out), 1);
        dup2(fileno(out), 2);
        for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid)
        r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::rewind(out);
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, out)) > 0) r.output.append(buf, n);
    std::fclose(out);
    return r;
}

}  // namespace zeva::test
