// The Windows form of RunProgram.
#include <windows.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>

#include "support/capture.h"

namespace testsupport {
namespace {

// Appends what the pipe holds now; false once its writers are all gone.
bool DrainPipe(HANDLE pipe, std::string& into) {
    DWORD available = 0;
    char chunk[65536];
    DWORD got = 0;
    while (::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
        if (available == 0) {
            return true;
        }
        if (!::ReadFile(pipe, chunk, std::min<DWORD>(available, sizeof chunk), &got, nullptr)) {
            return false;
        }
        into.append(chunk, got);
    }
    return false;
}

// Text-mode output ends its lines with "\r\n"; the tests compare "\n".
std::string UnixLineEnds(std::string text) {
    for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;) {
        text.erase(at, 1);
    }
    return text;
}

// Runs a command line with no standard handles of ours; its exit code.
DWORD RunQuietly(std::string commandLine) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &process)) {
        throw std::runtime_error("cannot start: " + commandLine);
    }
    ::WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 1;
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return code;
}

// Held while a run uses the registry: test processes run side by side. An
// owner that died leaves the lock abandoned, and ours.
struct RegistryLock {
    HANDLE mutex = ::CreateMutexA(nullptr, FALSE, "velkrand-test-registry");
    RegistryLock() { ::WaitForSingleObject(mutex, 300000); }
    ~RegistryLock() {
        ::ReleaseMutex(mutex);
        ::CloseHandle(mutex);
    }
};

}  // namespace

ProcessResult RunProgram(const std::string& program, const std::string& cwd,
                         const std::map<std::string, std::string>& env, int timeoutSeconds) {
    RegistryLock lock;
    constexpr char kKey[] = "SOFTWARE\\Velkrand";
    if (const auto found = env.find("VELKRAND_REGISTRY");
        found != env.end() && !found->second.empty()) {
        // In place of whatever an earlier run left; a file that does not
        // import leaves the key absent, as a run without configuration
        // finds it.
        ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, kKey);
        if (RunQuietly("reg.exe import \"" + found->second + "\" /reg:64") != 0) {
            ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, kKey);
        }
    }
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite;
    if (!::CreatePipe(&outRead, &outWrite, &inheritable, 0) ||
        !::CreatePipe(&errRead, &errWrite, &inheritable, 0)) {
        throw std::runtime_error("CreatePipe failed");
    }
    ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      &inheritable, OPEN_EXISTING, 0, nullptr);
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;

    // The child inherits this process's environment with env applied for
    // the moment of its start; Windows compares the names without case.
    std::map<std::string, std::optional<std::string>> saved;
    for (const auto& [name, value] : env) {
        char old[32768];
        const DWORD length = ::GetEnvironmentVariableA(name.c_str(), old, sizeof old);
        saved[name] = length != 0 ? std::optional<std::string>(old) : std::nullopt;
        ::SetEnvironmentVariableA(name.c_str(), value.empty() ? nullptr : value.c_str());
    }
    std::string commandLine = "\"" + program + "\"";
    PROCESS_INFORMATION process = {};
    // Wine now and then fails a start under load (an internal error); a
    // second try succeeds.
    BOOL started = FALSE;
    DWORD startError = 0;
    for (int attempt = 0; attempt < 3 && !started; ++attempt) {
        if (attempt > 0) {
            ::Sleep(200);
        }
        started = ::CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                                   nullptr, cwd.c_str(), &startup, &process);
        startError = ::GetLastError();
    }
    for (const auto& [name, value] : saved) {
        ::SetEnvironmentVariableA(name.c_str(), value ? value->c_str() : nullptr);
    }
    // Only the child holds the writing ends now, so the pipes end with it.
    ::CloseHandle(outWrite);
    ::CloseHandle(errWrite);
    ::CloseHandle(startup.hStdInput);

    ProcessResult result;
    if (!started) {
        result.status = 127;
        result.err = "cannot start " + program + ": error " + std::to_string(startError);
    } else {
        const ULONGLONG deadline = ::GetTickCount64() + ULONGLONG(timeoutSeconds) * 1000;
        bool outOpen = true;
        bool errOpen = true;
        while ((outOpen || errOpen) && ::GetTickCount64() < deadline) {
            outOpen = outOpen && DrainPipe(outRead, result.out);
            errOpen = errOpen && DrainPipe(errRead, result.err);
            ::Sleep(1);
        }
        if (::WaitForSingleObject(process.hProcess, 0) != WAIT_OBJECT_0) {
            ::TerminateProcess(process.hProcess, 137);
            ::WaitForSingleObject(process.hProcess, INFINITE);
        }
        DWORD code = 0;
        ::GetExitCodeProcess(process.hProcess, &code);
        result.status = static_cast<int>(code);
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }
    ::CloseHandle(outRead);
    ::CloseHandle(errRead);
    result.out = UnixLineEnds(result.out);
    result.err = UnixLineEnds(result.err);
    return result;
}

}  // namespace testsupport
