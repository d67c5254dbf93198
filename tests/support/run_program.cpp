#include "support/run_program.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace quillmark::testing {

#ifdef _WIN32

// The tests that run programs are written for a POSIX system; here they fail or skip with why.
ProgramRun runProgram(const std::vector<std::string>& command, StdErr)
{
    ProgramRun run;
    run.errors = "running " + (command.empty() ? std::string("a program") : command[0]) + " is not supported here";
    return run;
}

bool haveProgram(std::string_view) { return false; }

#else

namespace {

// Both ends of a pipe, closed when it goes.
struct Pipe {
    int read = -1;
    int write = -1;
    Pipe()
    {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) == 0) read = ends[0], write = ends[1];
    }
    ~Pipe()
    {
        closeRead();
        closeWrite();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    bool ok() const { return read >= 0; }
    void closeRead()
    {
        if (read >= 0) ::close(read);
        read = -1;
    }
    void closeWrite()
    {
        if (write >= 0) ::close(write);
        write = -1;
    }
};

// Reads both pipes as the program fills them: reading one to its end first could leave the
// program blocked on a full other one.
void drain(Pipe& out, Pipe* err, ProgramRun& run)
{
    char buffer[1 << 16];
    pollfd fds[2] = {{out.read, POLLIN, 0}, {err ? err->read : -1, POLLIN, 0}};
    std::string* sinks[2] = {&run.output, &run.errors};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0)
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR)
                fds[i].fd = -1;  // the end: poll() skips negative descriptors
        }
    }
}

}  // namespace

ProgramRun runProgram(const std::vector<std::string>& command, StdErr stderrTo)
{
    ProgramRun run;
    if (command.empty()) {
        run.errors = "no program given";
        return run;
    }
    const bool merged = stderrTo == StdErr::Merged;
    Pipe out;
    Pipe err;
    if (!out.ok() || !err.ok()) {
        run.errors = std::string("cannot make a pipe: ") + std::strerror(errno);
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.write, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, merged ? out.write : err.write, STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int failed = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        run.errors = "cannot start " + command[0] + ": " + std::strerror(failed);
        return run;
    }
    // Only the program may hold the writing ends now, so the reads end when it does.
    out.closeWrite();
    err.closeWrite();
    drain(out, merged ? nullptr : &err, run);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return run;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

bool haveProgram(std::string_view name)
{
    const auto runnable = [](const std::string& path) {
        struct stat info {};
        return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
    };
    if (name.empty()) return false;
    if (name.find('/') != std::string_view::npos) return runnable(std::string(name));
    const char* path = std::getenv("PATH");
    std::string_view folders = path ? path : "/usr/bin:/bin";
    while (true) {
        const auto colon = folders.find(':');
        const std::string_view folder = folders.substr(0, colon);
        if (runnable((folder.empty() ? std::string(".") : std::string(folder)) + "/" + std::string(name))) return true;
        if (colon == std::string_view::npos) return false;
        folders.remove_prefix(colon + 1);
    }
}

#endif

}  // namespace quillmark::testing
