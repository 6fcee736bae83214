// Programs under test run as child processes: started with their output
// captured or logged, waited for with a bound, killed by process id.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zeva::test {

using Env = std::vector<std::pair<std::string, std::string>>;

struct ProcessRun {
    int exitCode = -1;  // 128 + signal when killed
    std::string out, err;
};

inline int ExitCodeOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs `program` with `args` in `dir` to its end, `env` set for it only.
// With `interruptOn`, sends `signal` (SIGINT unless given) once that text
// appears on its standard error.
inline ProcessRun RunProcess(const std::string& program, std::vector<std::string> args,
                             const std::filesystem::path& dir, const Env& env = {},
                             const std::string& interruptOn = "", int signal = SIGINT) {
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        close(outPipe[0]);
        close(errPipe[0]);
        if (chdir(dir.c_str()) != 0)
            _exit(127);
        for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
        std::string path = program;
        std::vector<char*> argv{path.data()};
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    ProcessRun r;
    bool sent = interruptOn.empty();
    char buf[4096];
    ssize_t n;
    while ((n = read(errPipe[0], buf, sizeof buf)) > 0) {
        r.err.append(buf, static_cast<std::size_t>(n));
        if (!sent && r.err.find(interruptOn) != std::string::npos) {
            kill(pid, signal);
            sent = true;
        }
    }
    while ((n = read(outPipe[0], buf, sizeof buf)) > 0)
        r.out.append(buf, static_cast<std::size_t>(n));
    close(outPipe[0]);
    close(errPipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.exitCode = ExitCodeOf(status);
    return r;
}

struct ProgramRun {
    int exitCode = -1;  // 128 + signal for a child killed by one
    std::string output;
};

// Runs `program` with `args` to its end, `env` set for it only, and collects
// standard output and error together, in the order written.  The output goes
// through a temporary file, so a talkative child never blocks on a full pipe.
inline ProgramRun RunProgram(const std::string& program, std::vector<std::string> args,
                             const Env& env = {}) {
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
        r.exitCode = ExitCodeOf(status);
    std::rewind(out);
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, out)) > 0) r.output.append(buf, n);
    std::fclose(out);
    return r;
}

// Starts `args` (the program first) in `dir`, in a process group of its own,
// with standard output and error into `log`.  Returns its process id.
inline pid_t Spawn(const std::vector<std::string>& args, const std::filesystem::path& dir,
                   const std::filesystem::path& log) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0)
            _exit(127);
        FILE* f = std::fopen(log.c_str(), "w");
        if (f) {
            dup2(fileno(f), 1);
            dup2(fileno(f), 2);
        }
        setpgid(0, 0);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Waits for `pid` at most `seconds`; kills it after that.  Returns its exit
// code, or -1 when it had to be killed.
inline int WaitFor(pid_t pid, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return ExitCodeOf(status);
        if (std::chrono::steady_clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Kills `pid` and the process group it leads, and reaps it.
inline void KillGroup(pid_t pid) {
    if (pid <= 0)
        return;
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    int status;
    waitpid(pid, &status, 0);
}

// A TCP port on 127.0.0.1 that was free a moment ago, for a server under test.
inline int FreeLoopbackPort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    int port = -1;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

// A fresh directory for the running test: PREFIX-PID-TESTNAME under the
// system's temporary directory.
inline std::filesystem::path TestDirectory(const char* prefix) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() /
        (std::string(prefix) + "-" + std::to_string(getpid()) + "-" +
         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

inline std::string ReadFile(const std::filesystem::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace zeva::test
