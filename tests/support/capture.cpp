#include "support/capture.h"

// CaptureStdout, the TempDir constructor and RunProgram need POSIX calls
// here; windows_capture.cpp has their Windows forms.
#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

#ifndef _WIN32
std::string CaptureStdout(const std::function<void()>& body) {
    std::fflush(stdout);
    char name[] = "/tmp/velkrand-capture-XXXXXX";
    const int file = mkstemp(name);
    if (file < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    unlink(name);
    const int saved = dup(STDOUT_FILENO);
    dup2(file, STDOUT_FILENO);
    body();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string text;
    lseek(file, 0, SEEK_SET);
    char chunk[4096];
    ssize_t got = 0;
    while ((got = read(file, chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<size_t>(got));
    }
    close(file);
    return text;
}
#endif

std::vector<uint8_t> HexBytes(const std::string& text) {
    std::vector<uint8_t> bytes;
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
    }
    return bytes;
}

#ifndef _WIN32
TempDir::TempDir() {
    char name[] = "/tmp/velkrand-test-XXXXXX";
    if (mkdtemp(name) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = name;
}
#endif

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(const std::string& name, const std::string& content) const {
    const std::string full = path_ + "/" + name;
    std::ofstream(full, std::ios::binary) << content;
    return full;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void SetEnv(const std::string& name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name.c_str(), value.c_str());  // an empty value removes the variable
#else
    if (value.empty()) {
        unsetenv(name.c_str());
    } else {
        setenv(name.c_str(), value.c_str(), 1);
    }
#endif
}

#ifndef _WIN32
namespace {

void Drain(int fd, std::string& into) {
    char chunk[65536];
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got > 0) {
        into.append(chunk, static_cast<size_t>(got));
    }
}

}  // namespace

ProcessResult RunProgram(const std::string& program, const std::string& cwd,
                         const std::map<std::string, std::string>& env, int timeoutSeconds) {
    int outPipe[2];
    int errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const pid_t child = fork();
    if (child == 0) {
        const int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, STDIN_FILENO);
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        close(outPipe[0]);
        close(errPipe[0]);
        for (const auto& [name, value] : env) {
            if (value.empty()) {
                unsetenv(name.c_str());
            } else {
                setenv(name.c_str(), value.c_str(), 1);
            }
        }
        if (chdir(cwd.c_str()) != 0) {
            _exit(126);
        }
        execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    ProcessResult result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    bool outOpen = true;
    bool errOpen = true;
    while (outOpen || errOpen) {
        pollfd fds[2] = {{outOpen ? outPipe[0] : -1, POLLIN, 0},
                         {errOpen ? errPipe[0] : -1, POLLIN, 0}};
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            break;
        }
        if (poll(fds, 2, 200) <= 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents & (POLLIN | POLLHUP)) {
                std::string& into = i == 0 ? result.out : result.err;
                const size_t before = into.size();
                Drain(fds[i].fd, into);
                if (into.size() == before) {
                    (i == 0 ? outOpen : errOpen) = false;
                }
            }
        }
    }
    close(outPipe[0]);
    close(errPipe[0]);
    int status = 0;
    waitpid(child, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

#endif

}  // namespace testsupport
