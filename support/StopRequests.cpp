#include "StopRequests.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace kzsupport {

namespace {

std::function<void(StopCause)> g_OnStop;
std::atomic<bool> g_OutputClosedTold{false};

#ifdef _WIN32
BOOL WINAPI OnConsoleControl(DWORD type)
{
    StopCause cause = StopCause::Interrupt;
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        cause = StopCause::Hangup;
        break;
    default:
        return FALSE;
    }
    // Windows runs this on a thread of its own.
    if (g_OnStop)
        g_OnStop(cause);
    return TRUE;
}
#else
int g_Pipe[2] = {-1, -1};

// Async-signal-safe: one byte, the signal's number, into the pipe.
void OnSignal(int number)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    (void)!write(g_Pipe[1], &byte, 1);
    errno = saved;
}
#endif

} // namespace

int StopExitCode(StopCause cause)
{
    return 128 + static_cast<int>(cause);
}

bool IsStopExitCode(int exitCode)
{
    for (StopCause cause : {StopCause::Hangup, StopCause::Interrupt, StopCause::OutputClosed, StopCause::Terminate})
        if (exitCode == StopExitCode(cause))
            return true;
    return false;
}

const char* StopCauseName(StopCause cause)
{
    switch (cause) {
    case StopCause::Hangup:
        return "SIGHUP";
    case StopCause::Interrupt:
        return "SIGINT";
    case StopCause::OutputClosed:
        return "closed-output";
    case StopCause::Terminate:
        return "SIGTERM";
    }
    return "?";
}

std::string StopCauseWords(StopCause cause)
{
    switch (cause) {
    case StopCause::Hangup:
        return "a hang-up (SIGHUP)";
    case StopCause::Interrupt:
        return "Ctrl-C (SIGINT)";
    case StopCause::OutputClosed:
        return "the closing of the output";
    case StopCause::Terminate:
        return "SIGTERM";
    }
    return "a signal";
}

void CatchStopRequests(std::function<void(StopCause)> onStop)
{
    if (g_OnStop)
        return;
    g_OnStop = std::move(onStop);
#ifdef _WIN32
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
#else
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
    // Close-on-exec: a child this process starts does not keep it open.
    if (pipe2(g_Pipe, O_CLOEXEC) != 0)
        return;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : {SIGINT, SIGTERM, SIGHUP})
        sigaction(number, &action, nullptr);
    std::thread([] {
        unsigned char byte = 0;
        for (;;) {
            const ssize_t n = read(g_Pipe[0], &byte, 1);
            if (n == 1)
                g_OnStop(static_cast<StopCause>(byte));
            else if (n < 0 && errno == EINTR)
                continue;
            else
                return;
        }
    }).detach();
#endif
}

void OutputClosed()
{
    if (!g_OnStop || g_OutputClosedTold.exchange(true))
        return;
#ifdef _WIN32
    // The writer may hold locks the handler needs: hand it on from elsewhere.
    std::thread([] { g_OnStop(StopCause::OutputClosed); }).detach();
#else
    OnSignal(static_cast<int>(StopCause::OutputClosed));
#endif
}

} // namespace kzsupport
