// The Windows forms of the test helpers that need system calls.
#include <windows.h>
// windows.h must come first.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "support/capture.h"

namespace testsupport {
namespace {

// A name no other test process uses at the same time.
std::string UniqueName(const char* stem) {
    static std::atomic<unsigned> counter{0};
    return std::string(stem) + std::to_string(::GetCurrentProcessId()) + "-" +
           std::to_string(counter.fetch_add(1)) + "-" + std::to_string(::GetTickCount());
}

std::filesystem::path TempBase() {
    return std::filesystem::temp_directory_path();
}

struct CaseInsensitiveLess {
    bool operator()(const std::string& a, const std::string& b) const {
        return ::_stricmp(a.c_str(), b.c_str()) < 0;
    }
};

// The environment block of a child: this process's environment with env
// applied, names compared without regard to case as Windows does.
std::string EnvironmentBlock(const std::map<std::string, std::string>& env) {
    std::map<std::string, std::string, CaseInsensitiveLess> variables;
    if (char* block = ::GetEnvironmentStringsA()) {
        for (const char* entry = block; *entry != '\0'; entry += std::strlen(entry) + 1) {
            const std::string text = entry;
            // Names of the hidden per-drive variables start with '='.
            const size_t equals = text.find('=', 1);
            if (equals != std::string::npos) {
                variables[text.substr(0, equals)] = text.substr(equals + 1);
            }
        }
        ::FreeEnvironmentStringsA(block);
    }
    for (const auto& [name, value] : env) {
        if (value.empty()) {
            variables.erase(name);
        } else {
            variables[name] = value;
        }
    }
    std::string result;
    for (const auto& [name, value] : variables) {
        result += name + "=" + value;
        result.push_back('\0');
    }
    result.push_back('\0');
    return result;
}

class Handle {
  public:
    explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
    ~Handle() { Close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }
    HANDLE* out() { return &handle_; }
    void Close() {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle_);
        }
        handle_ = nullptr;
    }

  private:
    HANDLE handle_;
};

// Appends what the pipe holds now; false once its writers are all gone.
bool DrainPipe(HANDLE pipe, std::string& into) {
    DWORD available = 0;
    if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
        return false;
    }
    while (available > 0) {
        char chunk[65536];
        DWORD got = 0;
        const DWORD want = available < sizeof chunk ? available : DWORD{sizeof chunk};
        if (!::ReadFile(pipe, chunk, want, &got, nullptr) || got == 0) {
            return false;
        }
        into.append(chunk, got);
        available -= got;
    }
    return true;
}

// Text-mode output ends its lines with "\r\n"; the tests compare "\n".
std::string UnixLineEnds(const std::string& text) {
    std::string result;
    result.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            result.push_back(text[i]);
        }
    }
    return result;
}

// Runs a command line with no standard handles of ours; its exit code.
DWORD RunQuietly(const std::string& commandLine) {
    std::string line = commandLine;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &process)) {
        throw std::runtime_error("cannot start: " + commandLine);
    }
    ::CloseHandle(process.hThread);
    ::WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 1;
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hProcess);
    return code;
}

constexpr char kConfigurationKey[] = "SOFTWARE\\Velkrand";

// Puts the configuration file into the registry in place of whatever an
// earlier run left there.
void ImportConfiguration(const std::string& file) {
    ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, kConfigurationKey);
    if (RunQuietly("reg.exe import \"" + file + "\" /reg:64") != 0) {
        // A file that does not import leaves the key absent, as a run
        // without configuration finds it.
        ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, kConfigurationKey);
    }
}

// Held while a run uses the registry: test processes run side by side.
class RegistryLock {
  public:
    RegistryLock() : mutex_(::CreateMutexA(nullptr, FALSE, "velkrand-test-registry")) {
        if (mutex_.get() == nullptr) {
            throw std::runtime_error("cannot create the registry lock");
        }
        // An owner that died leaves the lock abandoned, and ours.
        const DWORD waited = ::WaitForSingleObject(mutex_.get(), 300000);
        if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
            throw std::runtime_error("registry lock not granted");
        }
    }
    ~RegistryLock() { ::ReleaseMutex(mutex_.get()); }
    RegistryLock(const RegistryLock&) = delete;
    RegistryLock& operator=(const RegistryLock&) = delete;

  private:
    Handle mutex_;
};

}  // namespace

std::string CaptureStdout(const std::function<void()>& body) {
    std::fflush(stdout);
    const std::string name = (TempBase() / UniqueName("velkrand-capture-")).string();
    // Binary, so that the captured text has the line ends printed; removed
    // when closed.
    const int file = ::_open(name.c_str(), _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_TEMPORARY,
                             _S_IREAD | _S_IWRITE);
    if (file < 0) {
        throw std::runtime_error("cannot create " + name);
    }
    const int saved = ::_dup(1);
    ::_dup2(file, 1);
    body();
    std::fflush(stdout);
    ::_dup2(saved, 1);
    ::_close(saved);
    std::string text;
    ::_lseek(file, 0, SEEK_SET);
    char chunk[4096];
    int got = 0;
    while ((got = ::_read(file, chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<size_t>(got));
    }
    ::_close(file);
    return text;
}

TempDir::TempDir() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path candidate = TempBase() / UniqueName("velkrand-test-");
        std::error_code error;
        if (std::filesystem::create_directory(candidate, error)) {
            path_ = candidate.string();
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}

ProcessResult RunProgram(const std::string& program, const std::string& cwd,
                         const std::map<std::string, std::string>& env, int timeoutSeconds) {
    RegistryLock lock;
    if (const auto found = env.find("VELKRAND_REGISTRY");
        found != env.end() && !found->second.empty()) {
        ImportConfiguration(found->second);
    }

    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    Handle outRead;
    Handle outWrite;
    Handle errRead;
    Handle errWrite;
    if (!::CreatePipe(outRead.out(), outWrite.out(), &inheritable, 0) ||
        !::CreatePipe(errRead.out(), errWrite.out(), &inheritable, 0)) {
        throw std::runtime_error("CreatePipe failed");
    }
    ::SetHandleInformation(outRead.get(), HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(errRead.get(), HANDLE_FLAG_INHERIT, 0);
    Handle input(::CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inheritable, OPEN_EXISTING, 0, nullptr));

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.get();
    startup.hStdOutput = outWrite.get();
    startup.hStdError = errWrite.get();
    std::string commandLine = "\"" + program + "\"";
    std::string environment = EnvironmentBlock(env);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                          environment.data(), cwd.c_str(), &startup, &process)) {
        ProcessResult failed;
        failed.status = 127;
        failed.err = "cannot start " + program + ": error " + std::to_string(::GetLastError());
        return failed;
    }
    Handle child(process.hProcess);
    ::CloseHandle(process.hThread);
    // Only the child holds the writing ends now, so the pipes end with it.
    outWrite.Close();
    errWrite.Close();
    input.Close();

    ProcessResult result;
    const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(timeoutSeconds) * 1000;
    bool outOpen = true;
    bool errOpen = true;
    bool exited = false;
    while (outOpen || errOpen) {
        outOpen = outOpen && DrainPipe(outRead.get(), result.out);
        errOpen = errOpen && DrainPipe(errRead.get(), result.err);
        if (!exited) {
            exited = ::WaitForSingleObject(child.get(), 5) == WAIT_OBJECT_0;
            if (!exited && ::GetTickCount64() > deadline) {
                ::TerminateProcess(child.get(), 137);
                ::WaitForSingleObject(child.get(), INFINITE);
                exited = true;
            }
        } else if (outOpen || errOpen) {
            ::Sleep(1);
            if (::GetTickCount64() > deadline) {
                break;
            }
        }
    }
    DWORD code = 0;
    ::GetExitCodeProcess(child.get(), &code);
    result.status = static_cast<int>(code);
    result.out = UnixLineEnds(result.out);
    result.err = UnixLineEnds(result.err);
    return result;
}

}  // namespace testsupport
