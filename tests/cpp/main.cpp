// The test main: starts a throwaway sandbox database unless the environment
// already describes one, runs the tests, and stops the sandbox again, also
// when tests fail or the process dies of a signal.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const std::string kSandboxScript = std::string(VANTOREL_SOURCE_DIR) + "/scripts/sandbox";

// Prepared before any signal can arrive: a handler may only fork and exec.
std::string g_sandbox_dir;
std::vector<char*> g_stop_argv;
// Forked children (death tests) inherit the handlers but do not own the sandbox.
pid_t g_owner = 0;

void run_stop() {
    const pid_t pid = fork();
    if (pid == 0) {
        execv(g_stop_argv[0], g_stop_argv.data());
        _exit(127);
    }
    if (pid > 0) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

void stop_on_signal(int sig) {
    if (getpid() == g_owner) run_stop();
    signal(sig, SIG_DFL);
    raise(sig);
}

std::string shell_quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out.push_back(c);
        }
    }
    return out + "'";
}

// Runs `scripts/sandbox start` and applies its `export NAME=value` lines.
bool start_sandbox() {
    setenv("VANTOREL_SCRIPTED_DRIVER", VANTOREL_SCRIPTED_DRIVER_PATH, 1);
    FILE* out = popen((shell_quote(kSandboxScript) + " start").c_str(), "r");
    if (out == nullptr) return false;
    std::string text;
    char chunk[512];
    std::size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, out)) > 0) text.append(chunk, n);
    const int status = pclose(out);
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        constexpr std::string_view kExport = "export ";
        if (!line.starts_with(kExport)) continue;
        line.erase(0, kExport.size());
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        setenv(line.substr(0, eq).c_str(), line.substr(eq + 1).c_str(), 1);
    }
    const char* dir = std::getenv("VANTOREL_SANDBOX_DIR");
    if (dir != nullptr) g_sandbox_dir = dir;
    return status == 0 && !g_sandbox_dir.empty();
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const bool own_sandbox = std::getenv("VANTOREL_SANDBOX_DIR") == nullptr;
    if (own_sandbox) {
        // An interrupt while the sandbox starts waits until its directory is
        // known and the handlers can stop it.
        sigset_t termination;
        sigemptyset(&termination);
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&termination, sig);
        sigprocmask(SIG_BLOCK, &termination, nullptr);
        if (!start_sandbox()) {
            std::fprintf(stderr, "could not start the sandbox database (%s start)\n", kSandboxScript.c_str());
            if (!g_sandbox_dir.empty()) {
                g_stop_argv = {const_cast<char*>(kSandboxScript.c_str()), const_cast<char*>("stop"),
                               g_sandbox_dir.data(), nullptr};
                run_stop();
            }
            return 1;
        }
        g_stop_argv = {const_cast<char*>(kSandboxScript.c_str()), const_cast<char*>("stop"), g_sandbox_dir.data(),
                       nullptr};
        g_owner = getpid();
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGSEGV, SIGABRT, SIGBUS, SIGFPE}) signal(sig, stop_on_signal);
        sigprocmask(SIG_UNBLOCK, &termination, nullptr);
    }
    const int result = RUN_ALL_TESTS();
    if (own_sandbox) run_stop();
    return result;
}
