// Helpers shared by the tests.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

// Runs body and returns what it printed on standard output.
std::string CaptureStdout(const std::function<void()>& body);

// Parses "00 1a ff" into bytes.
std::vector<uint8_t> HexBytes(const std::string& text);

// A fresh directory, removed with everything in it when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // Writes a file below the directory and returns its full path.
    std::string Write(const std::string& name, const std::string& content) const;

  private:
    std::string path_;
};

std::string ReadFile(const std::string& path);

// Sets an environment variable of this process; an empty value removes it.
void SetEnv(const std::string& name, const std::string& value);

struct ProcessResult {
    std::string out;
    std::string err;
    int status = -1;  // exit status, or 128 + signal
};

// Runs program with no arguments in directory cwd, with the environment of
// this process plus env (an empty value removes a variable), and no input.
// On Windows, where the program reads the system registry, a file named by
// VELKRAND_REGISTRY is first imported there in place of the configuration
// key, runs take turns across test processes, and the "\r\n" line ends of
// the program's text-mode output come back as "\n".
ProcessResult RunProgram(const std::string& program, const std::string& cwd,
                         const std::map<std::string, std::string>& env, int timeoutSeconds = 120);

#ifndef _WIN32
// RunProgram with a pseudo-terminal as standard error, in raw mode, so that
// what the program writes there comes back byte for byte.
ProcessResult RunProgramOnTerminal(const std::string& program, const std::string& cwd,
                                   const std::map<std::string, std::string>& env,
                                   int timeoutSeconds = 120);
#endif

}  // namespace testsupport
