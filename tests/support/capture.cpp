#include "support/capture.h"

// RunProgram needs POSIX calls here; windows_capture.cpp has its Windows
// form.
#ifdef _WIN32
#include <io.h>
#include <process.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

std::vector<uint8_t> HexBytes(const std::string& text) {
    std::vector<uint8_t> bytes;
    std::istringstream in(text);
    for (std::string word; in >> word;) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
    }
    return bytes;
}

// Named after the process, so that test processes side by side never meet.
TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    do {
        path_ = (std::filesystem::temp_directory_path() /
                 ("velkrand-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++)))
                    .string();
    } while (!std::filesystem::create_directory(path_));
}

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

// The body's output goes to a file of its own; binary on Windows, whose
// descriptors take their text or binary mode along when duplicated.
std::string CaptureStdout(const std::function<void()>& body) {
    const TempDir dir;
    const std::string path = dir.path() + "/stdout";
    std::FILE* file = std::fopen(path.c_str(), "w+b");
    if (file == nullptr) {
        throw std::runtime_error("cannot create " + path);
    }
    std::fflush(stdout);
    const int saved = dup(1);
    dup2(fileno(file), 1);
    body();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::fclose(file);
    return ReadFile(path);
}

#ifndef _WIN32
namespace {

// Standard error's two ends: a pipe, or a pseudo-terminal's master (read
// here) and its terminal (the program's).
void OpenErrorStream(bool terminal, int ends[2]) {
    if (!terminal) {
        if (pipe(ends) != 0) {
            throw std::runtime_error("pipe failed");
        }
        return;
    }
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    termios mode{};
    if (slave < 0 || tcgetattr(slave, &mode) != 0) {
        throw std::runtime_error("cannot open the pseudo-terminal");
    }
    cfmakeraw(&mode);  // no line-end translation
    tcsetattr(slave, TCSANOW, &mode);
    ends[0] = master;
    ends[1] = slave;
}

ProcessResult Run(const std::string& program, const std::string& cwd,
                  const std::map<std::string, std::string>& env, int timeoutSeconds,
                  bool terminal) {
    int out[2];
    int err[2];
    if (pipe(out) != 0) {
        throw std::runtime_error("pipe failed");
    }
    OpenErrorStream(terminal, err);
    const pid_t child = fork();
    if (child == 0) {
        dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        close(out[0]);
        close(err[0]);
        for (const auto& [name, value] : env) {
            SetEnv(name, value);
        }
        if (chdir(cwd.c_str()) == 0) {
            execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        }
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    ProcessResult result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            break;
        }
        if (poll(fds, 2, 200) <= 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            char chunk[65536];
            const ssize_t got = fds[i].revents != 0 ? read(fds[i].fd, chunk, sizeof chunk) : -1;
            if (got > 0) {
                (i == 0 ? result.out : result.err).append(chunk, static_cast<size_t>(got));
            } else if (fds[i].revents != 0) {
                fds[i].fd = -1;  // the end of this stream: poll no longer watches it
            }
        }
    }
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(child, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace

ProcessResult RunProgram(const std::string& program, const std::string& cwd,
                         const std::map<std::string, std::string>& env, int timeoutSeconds) {
    return Run(program, cwd, env, timeoutSeconds, false);
}

ProcessResult RunProgramOnTerminal(const std::string& program, const std::string& cwd,
                                   const std::map<std::string, std::string>& env,
                                   int timeoutSeconds) {
    return Run(program, cwd, env, timeoutSeconds, true);
}
#endif

}  // namespace testsupport
