#include "ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

extern char** environ;

namespace kzsupport {

namespace {

// Tells a child the id of the process that started it.
constexpr char PARENT_VARIABLE[] = "KAZMIR_BATCH_PARENT";

// A child takes the end of its parent as a SIGTERM (the library call under
// way finishes, then it stops). Set before main runs, so that no signal
// handler or library call comes first; a parent that ended before that is
// told by getppid(). Linked into every program that starts children, so
// into each of those children too.
const bool g_FollowsParent = [] {
    const char* parent = std::getenv(PARENT_VARIABLE);
    if (parent == nullptr)
        return false;
    const pid_t expected = static_cast<pid_t>(std::atol(parent));
    unsetenv(PARENT_VARIABLE);
#ifdef __linux__
    prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
    if (getppid() != expected)
        _exit(EXIT_FAILURE);
    return true;
}();

void CloseAll(std::initializer_list<int> fds)
{
    for (int fd : fds)
        if (fd >= 0)
            close(fd);
}

// This process's environment with the setup's changes, and this process's id
// as the child's parent's.
std::vector<std::string> ChildEnvironment(const ChildSetup& setup)
{
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        env.emplace_back(*e);
    for (const std::string& change : setup.environment)
        ChangeEnvironment(env, change);
    ChangeEnvironment(env, std::string(PARENT_VARIABLE) + "=" + std::to_string(getpid()));
    return env;
}

} // namespace

struct CChildren::Impl {
    struct Child {
        pid_t pid = -1;
        int stream[2] = {-1, -1};
    };
    std::vector<Child> children;
    int wake[2] = {-1, -1}; // stop requests, one byte each
};

CChildren::CChildren() : m_p(std::make_unique<Impl>())
{
    (void)g_FollowsParent;
    if (pipe2(m_p->wake, O_CLOEXEC | O_NONBLOCK) != 0)
        m_p->wake[0] = m_p->wake[1] = -1;
}

CChildren::~CChildren()
{
    CloseAll({m_p->wake[0], m_p->wake[1]});
    for (const Impl::Child& c : m_p->children)
        CloseAll({c.stream[0], c.stream[1]});
}

bool CChildren::Start(size_t id, const std::string& program, const std::vector<std::string>& args, std::string& error,
                      const ChildSetup& setup)
{
    int out[2] = {-1, -1}, err[2] = {-1, -1};
    // Close-on-exec: no child keeps another child's pipe open.
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        CloseAll({out[0], out[1], err[0], err[1]});
        return false;
    }
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> env = ChildEnvironment(setup);
    std::vector<char*> envp;
    for (std::string& var : env)
        envp.push_back(var.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    if (!setup.folder.empty())
        posix_spawn_file_actions_addchdir_np(&actions, setup.folder.c_str());
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    CloseAll({out[1], err[1]});
    if (rc != 0) {
        CloseAll({out[0], err[0]});
        error = "cannot run " + program + ": " + std::strerror(rc);
        return false;
    }
    if (m_p->children.size() <= id)
        m_p->children.resize(id + 1);
    m_p->children[id] = {pid, {out[0], err[0]}};
    return true;
}

std::vector<ChildOutput> CChildren::Wait(std::chrono::milliseconds wait)
{
    std::vector<pollfd> fds = {{m_p->wake[0], POLLIN, 0}};
    std::vector<std::pair<size_t, int>> owners = {{ChildOutput::STOP, 0}};
    for (size_t id = 0; id < m_p->children.size(); ++id)
        for (int s = 0; s < 2; ++s)
            if (m_p->children[id].stream[s] >= 0) {
                fds.push_back({m_p->children[id].stream[s], POLLIN, 0});
                owners.emplace_back(id, s);
            }
    std::vector<ChildOutput> arrived;
    if (poll(fds.data(), fds.size(), static_cast<int>(wait.count())) <= 0)
        return arrived; // nothing, or a signal came first
    unsigned char causes[16];
    for (ssize_t n = read(m_p->wake[0], causes, sizeof(causes)); n > 0; n = read(m_p->wake[0], causes, sizeof(causes)))
        for (ssize_t i = 0; i < n; ++i)
            arrived.push_back({ChildOutput::STOP, causes[i], ""});
    char buf[65536];
    for (size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].revents == 0)
            continue;
        const auto [id, s] = owners[i];
        ssize_t n;
        do
            n = read(fds[i].fd, buf, sizeof(buf));
        while (n < 0 && errno == EINTR);
        arrived.push_back({id, s, std::string(buf, n > 0 ? static_cast<size_t>(n) : 0)});
        if (n <= 0) {
            close(fds[i].fd);
            m_p->children[id].stream[s] = -1;
        }
    }
    return arrived;
}

void CChildren::NoteStop(StopCause cause)
{
    const unsigned char byte = static_cast<unsigned char>(cause);
    (void)!write(m_p->wake[1], &byte, 1);
}

// The same signal (a closed output as SIGTERM).
void CChildren::Forward(size_t id, StopCause cause)
{
    if (id < m_p->children.size() && m_p->children[id].pid > 0)
        kill(m_p->children[id].pid, cause == StopCause::OutputClosed ? SIGTERM : static_cast<int>(cause));
}

void CChildren::Close(size_t id, int stream)
{
    if (id < m_p->children.size() && m_p->children[id].stream[stream] >= 0) {
        close(m_p->children[id].stream[stream]);
        m_p->children[id].stream[stream] = -1;
    }
}

long CChildren::ProcessId(size_t id) const
{
    return id < m_p->children.size() ? m_p->children[id].pid : -1;
}

int CChildren::Reap(size_t id, std::string& how, int* signal)
{
    int status = 0;
    pid_t r;
    do
        r = waitpid(m_p->children[id].pid, &status, 0);
    while (r < 0 && errno == EINTR);
    m_p->children[id].pid = -1;
    if (signal != nullptr)
        *signal = r >= 0 && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    if (r < 0) {
        how = "its end was not seen";
        return EXIT_FAILURE;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    how = "ended by signal " + std::to_string(WTERMSIG(status));
    return EXIT_FAILURE;
}

} // namespace kzsupport
