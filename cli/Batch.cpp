#include "Batch.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "ResultText.h"
#include "Signals.h"

#if KAZMIR_CLI_BENCH
#include "kazsim/Bench.h"
#endif

namespace kzcli {

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// --- One child process with its output and error streams on pipes -----------

struct ChildProc {
#ifdef _WIN32
    HANDLE process = nullptr;
    DWORD id = 0;
    HANDLE stream[2] = {nullptr, nullptr};
#else
    pid_t pid = -1;
    int stream[2] = {-1, -1};
#endif
};

#ifdef _WIN32
// One argument as the C runtime of the child splits it again.
std::string QuoteArgument(const std::string& arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos)
        return arg;
    std::string q = "\"";
    for (size_t i = 0;; ++i) {
        size_t slashes = 0;
        while (i < arg.size() && arg[i] == '\\')
            ++slashes, ++i;
        if (i == arg.size()) {
            q.append(slashes * 2, '\\');
            break;
        }
        if (arg[i] == '"')
            q.append(slashes * 2 + 1, '\\');
        else
            q.append(slashes, '\\');
        q += arg[i];
    }
    return q + "\"";
}

// The children's job: closing its last handle, as the end of this process
// does, ends every child still in it.
HANDLE ChildJob()
{
    static HANDLE job = [] {
        HANDLE made = CreateJobObjectA(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (made != nullptr)
            SetInformationJobObject(made, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
        return made;
    }();
    return job;
}

bool Spawn(const std::string& self, const std::vector<std::string>& args, ChildProc& child, std::string& error)
{
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    HANDLE read[2] = {nullptr, nullptr}, write[2] = {nullptr, nullptr};
    for (int i = 0; i < 2; ++i) {
        if (!CreatePipe(&read[i], &write[i], &sa, 0) || !SetHandleInformation(read[i], HANDLE_FLAG_INHERIT, 0)) {
            error = "cannot make a pipe (error " + std::to_string(GetLastError()) + ")";
            for (HANDLE h : {read[0], read[1], write[0], write[1]})
                if (h != nullptr)
                    CloseHandle(h);
            return false;
        }
    }
    std::string line = QuoteArgument(self);
    for (const auto& a : args)
        line += " " + QuoteArgument(a);
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = write[0];
    si.hStdError = write[1];
    PROCESS_INFORMATION pi{};
    // A process group of its own: Ctrl-C at the console reaches this process
    // alone, which passes it on as Ctrl-Break. Started suspended, so that it
    // is in the job before it runs.
    const BOOL ok = CreateProcessA(self.c_str(), line.data(), nullptr, nullptr, TRUE,
                                   CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED, nullptr, nullptr, &si, &pi);
    const DWORD code = GetLastError();
    CloseHandle(write[0]);
    CloseHandle(write[1]);
    if (!ok) {
        CloseHandle(read[0]);
        CloseHandle(read[1]);
        error = "cannot run " + self + " (error " + std::to_string(code) + ")";
        return false;
    }
    if (ChildJob() != nullptr)
        AssignProcessToJobObject(ChildJob(), pi.hProcess);
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    child.process = pi.hProcess;
    child.id = pi.dwProcessId;
    child.stream[0] = read[0];
    child.stream[1] = read[1];
    return true;
}

// Bytes read; 0 at the end of the stream.
long ReadSome(ChildProc& child, int stream, char* buf, size_t size)
{
    DWORD got = 0;
    if (!ReadFile(child.stream[stream], buf, static_cast<DWORD>(size), &got, nullptr))
        return 0;
    return static_cast<long>(got);
}

void CloseStream(ChildProc& child, int stream)
{
    CloseHandle(child.stream[stream]);
    child.stream[stream] = nullptr;
}

// Passes a stop request on: Ctrl-Break to the child's process group.
void Forward(const ChildProc& child, StopCause)
{
    if (child.process != nullptr)
        GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, child.id);
}

int WaitChild(ChildProc& child, std::string& how)
{
    WaitForSingleObject(child.process, INFINITE);
    DWORD code = EXIT_FAILURE_;
    if (!GetExitCodeProcess(child.process, &code))
        how = "its exit code is unknown";
    CloseHandle(child.process);
    child.process = nullptr;
    return static_cast<int>(code);
}
#else
bool Spawn(const std::string& self, const std::vector<std::string>& args, ChildProc& child, std::string& error)
{
    int out[2] = {-1, -1}, err[2] = {-1, -1};
    // Close-on-exec: no child keeps another child's pipe open.
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        for (int fd : {out[0], out[1], err[0], err[1]})
            if (fd >= 0)
                close(fd);
        return false;
    }
    std::vector<std::string> all = {self};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // A process group of its own: a Ctrl-C at the terminal reaches the
        // parent alone, which passes it on once. The parent's end is a
        // SIGTERM here: the library call under way finishes, then the child
        // stops.
        setpgid(0, 0);
#ifdef __linux__
        prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
        if (getppid() != parent)
            _exit(EXIT_FAILURE_);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execv(self.c_str(), argv.data());
        static const char msg[] = "kazmir: cannot run itself\n";
        (void)!write(2, msg, sizeof(msg) - 1);
        _exit(127);
    }
    const int forkErrno = errno;
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        close(out[0]);
        close(err[0]);
        error = std::string("cannot start a process: ") + std::strerror(forkErrno);
        return false;
    }
    setpgid(pid, pid); // as the child does, whichever runs first
    child.pid = pid;
    child.stream[0] = out[0];
    child.stream[1] = err[0];
    return true;
}

long ReadSome(ChildProc& child, int stream, char* buf, size_t size)
{
    for (;;) {
        const ssize_t n = read(child.stream[stream], buf, size);
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 ? 0 : static_cast<long>(n);
    }
}

void CloseStream(ChildProc& child, int stream)
{
    close(child.stream[stream]);
    child.stream[stream] = -1;
}

// Passes a stop request on as the same signal (a closed output as SIGTERM).
void Forward(const ChildProc& child, StopCause cause)
{
    if (child.pid > 0)
        kill(child.pid, cause == StopCause::OutputClosed ? SIGTERM : static_cast<int>(cause));
}

int WaitChild(ChildProc& child, std::string& how)
{
    int status = 0;
    pid_t r;
    do
        r = waitpid(child.pid, &status, 0);
    while (r < 0 && errno == EINTR);
    child.pid = -1;
    if (r < 0) {
        how = "its end was not seen";
        return EXIT_FAILURE_;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        how = "ended by signal " + std::to_string(WTERMSIG(status));
    return EXIT_FAILURE_;
}
#endif

// --- What the children say, in arrival order --------------------------------

struct Chunk {
    size_t board;
    int stream; // 0 output, 1 error
    std::string data;
    bool end;
};

class CInbox {
public:
    void Put(Chunk chunk)
    {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Chunks.push_back(std::move(chunk));
        }
        m_Ready.notify_one();
    }
    std::vector<Chunk> Take(std::chrono::milliseconds wait)
    {
        std::unique_lock<std::mutex> lock(m_Mutex);
        m_Ready.wait_for(lock, wait, [&] { return !m_Chunks.empty(); });
        std::vector<Chunk> taken;
        taken.swap(m_Chunks);
        return taken;
    }

private:
    std::mutex m_Mutex;
    std::condition_variable m_Ready;
    std::vector<Chunk> m_Chunks;
};

// --- One board of the batch ---------------------------------------------------

struct BoardRun {
    enum class State { Waiting, Running, Done };
    std::string serial;
    State state = State::Waiting;
    ChildProc child;
    std::thread readers[2];
    bool ended[2] = {false, false};
    std::string partial[2];
    Clock::time_point start, phaseStart;
    double seconds = 0;
    std::string phase; // running phase, "" between phases
    unsigned sector = 0, done = 0, total = 0;
    uint64_t rangeBytes = 0; // size of the sector range the image covers
    uint64_t phaseBytes = 0; // bytes of the last finished phase
    Json summary;            // the child's summary event
    int exit = EXIT_OK;
    std::string how;        // why there is no summary
    bool saidError = false; // the child's own error line was shown
};

std::string ResultWords(const BoardRun& b)
{
    if (b.summary.is_object()) {
        const Json result = b.summary.value("result", Json::object());
        std::string words = result.is_object() ? result.value("text", std::string()) : std::string();
        if (result.is_object() && result.contains("code") && result["code"].is_string())
            words += " (" + result["code"].get<std::string>() + ")";
        return words;
    }
    if (!b.how.empty())
        return b.how;
    return "kazmir ended without a result (exit " + std::to_string(b.exit) + ")";
}

// The result in brief, for the table and the live lines: the exit's name and
// the library's code. The sentence is the board's own error line.
std::string ResultBrief(const BoardRun& b)
{
    if (!b.summary.is_object())
        return std::string(ExitCodeName(b.exit)) + (b.how.empty() ? "" : ": " + b.how);
    const Json result = b.summary.value("result", Json::object());
    std::string brief = ExitCodeName(b.exit);
    if (b.exit != EXIT_OK && result.is_object() && result.contains("code") && result["code"].is_string())
        brief += " " + result["code"].get<std::string>();
    return brief;
}

uint64_t BoardBytes(const BoardRun& b)
{
    if (b.summary.is_object() && b.summary.contains("bytes") && b.summary["bytes"].is_number_unsigned())
        return b.summary["bytes"].get<uint64_t>();
    return b.phaseBytes;
}

std::string SummaryText(const BoardRun& b, const char* key)
{
    if (b.summary.is_object() && b.summary.contains(key) && b.summary[key].is_string())
        return b.summary[key].get<std::string>();
    return "-";
}

std::string DeviceId(const BoardRun& b)
{
    return SummaryText(b, "device_id");
}

// Cuts a line to the columns it may take, "..." marking the cut.
std::string FitColumns(const std::string& text, size_t columns)
{
    if (text.size() <= columns)
        return text;
    return columns > 3 ? text.substr(0, columns - 3) + "..." : text.substr(0, columns);
}

class CBatch;
std::mutex g_BatchLock;
CBatch* g_pBatch = nullptr; // g_BatchLock: the batch that takes stop requests

class CBatch {
public:
    CBatch(const BatchRequest& request, COutput::Mode mode, COutput::Detail detail, COutput& out)
        : m_Request(request), m_Mode(mode), m_Detail(detail), m_Out(out), m_Boards(request.serials.size())
    {
        for (size_t i = 0; i < m_Boards.size(); ++i)
            m_Boards[i].serial = request.serials[i];
        m_Width = 6;
        for (const auto& s : request.serials)
            m_Width = std::max(m_Width, s.size());
        m_Columns = TerminalColumns(stderr);
    }
    ~CBatch()
    {
        std::lock_guard<std::mutex> lock(g_BatchLock);
        if (g_pBatch == this)
            g_pBatch = nullptr;
    }
    CBatch(const CBatch&) = delete;
    CBatch& operator=(const CBatch&) = delete;

    int Run()
    {
        CatchStops();
        const auto start = Clock::now();
        const size_t jobs = m_Request.jobs == 0 ? m_Boards.size() : std::min<size_t>(m_Request.jobs, m_Boards.size());
        m_Out.Event(
            {{"event", "batch"}, {"command", m_Request.command}, {"boards", m_Request.serials}, {"jobs", jobs}});
        size_t next = 0, running = 0, finished = 0;
        while (finished < m_Boards.size()) {
            while (!m_Stop && running < jobs && next < m_Boards.size()) {
                if (Start(next++))
                    ++running;
                else
                    ++finished;
            }
            for (Chunk& chunk : m_Inbox.Take(std::chrono::milliseconds(100)))
                Take(chunk);
            for (auto& b : m_Boards) {
                if (b.state != BoardRun::State::Running || !b.ended[0] || !b.ended[1])
                    continue;
                Finish(b);
                --running;
                ++finished;
            }
            // After a stop request no more boards start.
            for (; m_Stop && next < m_Boards.size(); ++next, ++finished) {
                BoardRun& b = m_Boards[next];
                b.state = BoardRun::State::Done;
                b.exit = StopExitCode(*m_Stop);
                b.how = "not started";
            }
            Draw(false);
        }
        ClearLive();
        return Summary(SecondsSince(start));
    }

private:
    // Stop requests come as chunks of no board, so that the main loop alone
    // touches the children.
    void CatchStops()
    {
        {
            std::lock_guard<std::mutex> lock(g_BatchLock);
            g_pBatch = this;
        }
        m_Out.OnOutputClosed([] { OutputClosed(); });
        CatchStopRequests([](StopCause cause) {
            std::lock_guard<std::mutex> lock(g_BatchLock);
            if (g_pBatch != nullptr)
                g_pBatch->m_Inbox.Put({SIZE_MAX, static_cast<int>(cause), std::string(), false});
        });
    }

    // Every running child gets the request, once per request (a closed
    // output asks once and never hurries a stop already asked for).
    void OnStop(StopCause cause)
    {
        if (cause == StopCause::OutputClosed && m_Stop)
            return;
        size_t running = 0, waiting = 0;
        for (const auto& b : m_Boards) {
            running += b.state == BoardRun::State::Running;
            waiting += b.state == BoardRun::State::Waiting;
        }
        for (const auto& b : m_Boards)
            if (b.state == BoardRun::State::Running)
                Forward(b.child, cause);
        const bool first = !m_Stop;
        if (first)
            m_Stop = cause;
        ClearLive();
        const std::string head = cause == StopCause::OutputClosed ? std::string("The output was closed")
                                                                  : "Stopping on " + StopCauseWords(cause);
        std::string text = first ? head + ": passed on to " + std::to_string(running) + " running " +
                                       (running == 1 ? "board" : "boards") +
                                       ", which finish the library call under way and stop" +
                                       (waiting > 0 ? "; " + std::to_string(waiting) + " not started" : "") +
                                       ". A signal more stops them at once."
                                 : head + " again: passed on; the boards stop at once.";
        std::fprintf(stderr, "%s\n", text.c_str());
        std::fflush(stderr);
        m_Dirty = true;
    }

    bool Start(size_t index)
    {
        BoardRun& b = m_Boards[index];
        b.start = Clock::now();
        std::vector<std::string> args = {"--json", "--serial", b.serial};
        if (!m_Request.bench.empty())
            args.insert(args.end(), {"--bench", m_Request.bench});
#if KAZMIR_CLI_BENCH
        else
            args.insert(args.end(), {"--bench", "default"});
#endif
        args.insert(args.end(), m_Request.childArgs.begin(), m_Request.childArgs.end());
        std::string error;
        if (!Spawn(m_Request.self, args, b.child, error)) {
            b.state = BoardRun::State::Done;
            b.exit = EXIT_FAILURE_;
            b.how = error;
            Line(b, "error: " + error);
            b.saidError = true;
            return false;
        }
        b.state = BoardRun::State::Running;
        for (int s = 0; s < 2; ++s)
            b.readers[s] = std::thread([this, index, s] {
                ChildProc& child = m_Boards[index].child;
                char buf[8192];
                for (;;) {
                    const long n = ReadSome(child, s, buf, sizeof(buf));
                    if (n <= 0)
                        break;
                    m_Inbox.Put({index, s, std::string(buf, static_cast<size_t>(n)), false});
                }
                m_Inbox.Put({index, s, std::string(), true});
            });
        return true;
    }

    void Take(Chunk& chunk)
    {
        if (chunk.board == SIZE_MAX) {
            OnStop(static_cast<StopCause>(chunk.stream));
            return;
        }
        BoardRun& b = m_Boards[chunk.board];
        std::string& partial = b.partial[chunk.stream];
        partial += chunk.data;
        size_t from = 0, nl;
        while ((nl = partial.find('\n', from)) != std::string::npos) {
            const std::string line = partial.substr(from, nl - from);
            from = nl + 1;
            if (chunk.stream == 0)
                OnEvent(b, line);
            else if (!line.empty())
                ChildLine(b, line);
        }
        partial.erase(0, from);
        if (chunk.end) {
            if (!partial.empty()) {
                if (chunk.stream == 0)
                    OnEvent(b, partial);
                else
                    ChildLine(b, partial);
                partial.clear();
            }
            b.ended[chunk.stream] = true;
        }
    }

    // A line of the child's error stream: its warnings, findings and its
    // error line, each shown once here.
    void ChildLine(BoardRun& b, const std::string& line)
    {
        b.saidError = b.saidError || line.rfind("error: ", 0) == 0;
        Line(b, line);
    }

    void OnEvent(BoardRun& b, const std::string& line)
    {
        Json event;
        try {
            event = Json::parse(line);
        } catch (const std::exception&) {
            event = nullptr;
        }
        if (!event.is_object() || !event.contains("event")) {
            if (!line.empty())
                Line(b, line);
            return;
        }
        const std::string kind = event["event"].is_string() ? event["event"].get<std::string>() : "";
        if (kind == "phase" && event.value("state", "") == "begin") {
            b.phase = event.value("phase", "");
            b.done = 0;
            b.total = event.value("total", 0u);
            b.phaseStart = Clock::now();
        } else if (kind == "phase") {
            b.phaseBytes = event.value("bytes", uint64_t{0});
            b.phase.clear();
        } else if (kind == "sector") {
            b.sector = event.value("sector", 0u);
            b.done = event.value("done", 0u);
            b.total = event.value("total", b.total);
        } else if (kind == "placement" && event.contains("plan")) {
            b.rangeBytes = event["plan"].value("range_size", uint64_t{0});
        } else if (kind == "summary") {
            b.summary = event;
        }
        if (m_Mode == COutput::Mode::Json) {
            Json tagged = {{"event", kind}, {"board", b.serial}};
            tagged.update(event);
            m_Out.Event(tagged);
        } else if (m_Mode == COutput::Mode::Plain && m_Detail != COutput::Detail::Quiet && kind == "phase" &&
                   event.value("state", "") == "end") {
            char text[160];
            const double seconds = event.value("seconds", 0.0);
            std::snprintf(text, sizeof(text), "%s %u of %u sectors, %s in %.2f s", event.value("phase", "").c_str(),
                          event.value("done", 0u), event.value("total", 0u),
                          HumanBytes(event.value("bytes", uint64_t{0})).c_str(), seconds);
            Line(b, std::string(text) + (event.value("result", "") == "failed" ? ", FAILED" : ""));
        } else if (m_Detail == COutput::Detail::Verbose && (kind == "message" || kind == "trace")) {
            Line(b, kind + ": " + event.value("text", ""));
        }
    }

    void Finish(BoardRun& b)
    {
        for (auto& reader : b.readers)
            if (reader.joinable())
                reader.join();
        CloseStream(b.child, 0);
        CloseStream(b.child, 1);
        b.exit = WaitChild(b.child, b.how);
        b.seconds = SecondsSince(b.start);
        b.state = BoardRun::State::Done;
        // A failure is told by the board's own error line; one without it
        // (a child that ended without a word) is told here.
        if (b.exit != EXIT_OK && !b.saidError)
            Line(b, "error: " + ResultWords(b));
        else if (m_Mode == COutput::Mode::Plain && b.exit == EXIT_OK)
            Line(b, "done: " + ResultWords(b));
        m_Dirty = true;
    }

    // A line of one board: above the live lines on a terminal, else on its own.
    void Line(const BoardRun& b, const std::string& text)
    {
        char head[64];
        std::snprintf(head, sizeof(head), "%-*s  ", static_cast<int>(m_Width), b.serial.c_str());
        ClearLive();
        std::fprintf(stderr, "%s%s\n", head, text.c_str());
        std::fflush(stderr);
        m_Dirty = true;
    }

    bool Live() const
    {
        return m_Mode == COutput::Mode::Bars && m_Detail != COutput::Detail::Quiet;
    }

    void ClearLive()
    {
        if (!Live() || m_Drawn == 0)
            return;
        std::fprintf(stderr, "\033[%zuA\r\033[J", m_Drawn);
        m_Drawn = 0;
    }

    std::string Status(const BoardRun& b) const
    {
        switch (b.state) {
        case BoardRun::State::Waiting:
            return "waiting";
        case BoardRun::State::Done:
            return (b.exit == EXIT_OK ? "done: " : "FAILED: ") + ResultBrief(b);
        case BoardRun::State::Running:
            break;
        }
        if (b.phase.empty())
            return "opening the board";
        char text[160];
        const uint64_t bytes = b.total > 0 ? b.rangeBytes * b.done / b.total : 0;
        const double seconds = SecondsSince(b.phaseStart);
        std::string rate = seconds > 0.0005 && bytes > 0
                               ? HumanBytes(static_cast<uint64_t>(static_cast<double>(bytes) / seconds)) + "/s"
                               : "";
        std::snprintf(text, sizeof(text), "%-5s sector %-3u %u/%u  %10s  %s", b.phase.c_str(), b.sector, b.done,
                      b.total, bytes > 0 ? HumanBytes(bytes).c_str() : "", rate.c_str());
        return text;
    }

    void Draw(bool final)
    {
        if (!Live())
            return;
        const auto now = Clock::now();
        if (!final && !m_Dirty && now - m_LastDraw < std::chrono::milliseconds(100))
            return;
        m_LastDraw = now;
        m_Dirty = false;
        ClearLive();
        // The last column stays free, as for the bars.
        const size_t room = m_Columns > m_Width + 3 ? m_Columns - m_Width - 3 : 1;
        for (const auto& b : m_Boards)
            std::fprintf(stderr, "%-*s  %s\n", static_cast<int>(m_Width), b.serial.c_str(),
                         FitColumns(Status(b), room).c_str());
        std::fflush(stderr);
        m_Drawn = final ? 0 : m_Boards.size();
    }

    int Summary(double seconds)
    {
        int worst = EXIT_OK;
        size_t failed = 0;
        Json boards = Json::array();
        std::vector<std::vector<std::string>> rows = {{"Serial", "Device id", "Result", "Flash", "Seconds", "Bytes"}};
        for (const auto& b : m_Boards) {
            worst = std::max(worst, b.exit);
            if (b.exit != EXIT_OK)
                ++failed;
            char secs[32];
            std::snprintf(secs, sizeof(secs), "%.2f", b.seconds);
            rows.push_back({b.serial, DeviceId(b), ResultBrief(b), SummaryText(b, "flash_holds"), secs,
                            std::to_string(BoardBytes(b))});
            // The board's own result; in words when its run gave none.
            Json result = b.summary.is_object() ? b.summary.value("result", Json()) : Json();
            if (!result.is_object() || !result.contains("text"))
                result = {{"text", ResultWords(b)}};
            Json row = {{"serial", b.serial}};
            if (DeviceId(b) != "-")
                row["device_id"] = DeviceId(b);
            row.update({{"result", result},
                        {"exit", b.exit},
                        {"exit_name", ExitCodeName(b.exit)},
                        {"seconds", b.seconds},
                        {"bytes", BoardBytes(b)}});
            if (SummaryText(b, "flash_holds") != "-")
                row["flash_holds"] = SummaryText(b, "flash_holds");
            // The board's row of the run log, for the reports.
            if (b.summary.is_object() && b.summary.contains("run"))
                row["run"] = b.summary["run"];
            boards.push_back(row);
        }
        const std::string verb = m_Request.command == "program"  ? "programmed"
                                 : m_Request.command == "verify" ? "verified"
                                                                 : "erased";
        const size_t count = m_Boards.size();
        std::string meaning = failed == 0
                                  ? (count == 1 ? "1 board " : "all " + std::to_string(count) + " boards ") + verb
                                  : std::to_string(failed) + " of " + std::to_string(count) +
                                        (count == 1 ? " board failed" : " boards failed");
        // Stopped from outside: the stop's exit code, whatever the boards gave.
        if (m_Stop) {
            const int stopped = StopExitCode(*m_Stop);
            const size_t halted = static_cast<size_t>(std::count_if(
                m_Boards.begin(), m_Boards.end(), [](const BoardRun& b) { return IsStopExitCode(b.exit); }));
            meaning = "stopped by " + StopCauseWords(*m_Stop) + ": " + std::to_string(count - failed) + " of " +
                      std::to_string(count) + " boards " + verb + ", " + std::to_string(halted) + " stopped, " +
                      std::to_string(failed - halted) + " failed";
            worst = stopped;
        }
        Json summary = {{"event", "summary"}, {"command", m_Request.command},     {"result", {{"text", meaning}}},
                        {"exit", worst},      {"exit_name", ExitCodeName(worst)}, {"seconds", seconds},
                        {"boards", boards}};
        if (m_Stop)
            summary.update({{"interrupted", true}, {"signal", StopCauseName(*m_Stop)}});
#ifndef _WIN32
        struct rusage self {
        }, children{};
        getrusage(RUSAGE_SELF, &self);
        getrusage(RUSAGE_CHILDREN, &children);
        summary["max_rss_kib"] = self.ru_maxrss;
        summary["child_max_rss_kib"] = children.ru_maxrss;
#endif
        m_Out.Event(summary);
        if (m_Mode != COutput::Mode::Json || m_Out.OutputClosed())
            Table(rows);
        char tail[64];
        std::snprintf(tail, sizeof(tail), " in %.2f s.", seconds);
        m_Out.Result(std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(meaning[0])))) +
                     meaning.substr(1) + tail);
        return worst;
    }

    // The table, as wide as the terminal at most: the result column gives way
    // first, then the bytes and the seconds go, then each line is cut.
    void Table(std::vector<std::vector<std::string>> rows)
    {
        constexpr size_t RESULT = 2, FIRST_FIGURE = 4;
        const size_t room = m_Columns > 1 ? m_Columns - 1 : 1;
        std::vector<size_t> width(rows[0].size(), 0);
        for (const auto& row : rows)
            for (size_t c = 0; c < row.size(); ++c)
                width[c] = std::max(width[c], row[c].size());
        auto total = [&] {
            size_t sum = 2 * (width.size() - 1);
            for (size_t w : width)
                sum += w;
            return sum;
        };
        if (total() > room)
            width[RESULT] -= std::min(width[RESULT] - rows[0][RESULT].size(), total() - room);
        while (total() > room && width.size() > FIRST_FIGURE) {
            width.pop_back();
            for (auto& row : rows)
                row.pop_back();
        }
        for (const auto& row : rows) {
            std::string text;
            for (size_t c = 0; c < row.size(); ++c) {
                const std::string cell = FitColumns(row[c], width[c]);
                const std::string pad(width[c] - cell.size(), ' ');
                // Words on the left, figures on the right of their column.
                text += c >= FIRST_FIGURE ? pad + cell : cell + (c + 1 < row.size() ? pad : "");
                if (c + 1 < row.size())
                    text += "  ";
            }
            m_Out.Warn(FitColumns(text, room));
        }
    }

    const BatchRequest& m_Request;
    COutput::Mode m_Mode;
    COutput::Detail m_Detail;
    COutput& m_Out;
    std::vector<BoardRun> m_Boards;
    CInbox m_Inbox;
    size_t m_Width = 6;
    size_t m_Columns = 80;
    size_t m_Drawn = 0;
    bool m_Dirty = true;
    Clock::time_point m_LastDraw;
    std::optional<StopCause> m_Stop; // the first stop request
};

// Ends the batch before any board was started.
int Refuse(COutput& out, const BatchRequest& request, int exitCode, const std::string& message)
{
    out.Event({{"event", "summary"},
               {"command", request.command},
               {"result", {{"text", message}}},
               {"exit", exitCode},
               {"exit_name", ExitCodeName(exitCode)},
               {"seconds", 0.0},
               {"boards", Json::array()}});
    out.Warn("error: " + message);
    return exitCode;
}

} // namespace

std::vector<std::string> ChildArguments(int argc, char** argv, const std::string& allFlag)
{
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--serial" || a == "--jobs" || a == "--bench") {
            ++i; // and its value
            continue;
        }
        if (a.rfind("--serial=", 0) == 0 || a.rfind("--jobs=", 0) == 0 || a.rfind("--bench=", 0) == 0)
            continue;
        if (a == allFlag || a == "--json" || a == "--plain" || a == "-q" || a == "--quiet")
            continue;
        args.push_back(a);
    }
    return args;
}

std::string SelfPath(const char* argv0)
{
#ifdef _WIN32
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n > 0 && n < MAX_PATH)
        return std::string(path, n);
#else
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec)
        return exe.string();
#endif
    return argv0 != nullptr ? argv0 : "kazmir";
}

std::string BenchFile(const std::string& benchOption)
{
    if (benchOption == "default")
        return "";
    if (benchOption.empty())
        if (const char* env = std::getenv("KAZSIM_BENCH"); env != nullptr && *env != '\0')
            return env;
    return benchOption;
}

bool BenchSerials(const std::string& benchFile, std::vector<std::string>& serials, std::string& error)
{
#if KAZMIR_CLI_BENCH
    const std::string file = BenchFile(benchFile);
    try {
        const kazsim::BenchDesc desc =
            file.empty() ? kazsim::BenchDesc::Default() : kazsim::BenchDesc::FromJsonFile(file);
        for (const auto& board : desc.Boards)
            serials.push_back(board.Serial);
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
    if (serials.empty()) {
        error = "the bench has no board";
        return false;
    }
    return true;
#else
    (void)benchFile;
    (void)serials;
    error = "--all lists the boards of the virtual bench; the library offers no listing of real boards";
    return false;
#endif
}

int RunBatch(const BatchRequest& request, COutput::Mode mode, COutput::Detail detail, COutput& out)
{
    for (size_t i = 0; i < request.serials.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (request.serials[i] == request.serials[j]) {
                return Refuse(out, request, EXIT_USAGE, "the board " + request.serials[i] + " is named twice");
            }
    if (!request.file.empty())
        if (auto reason = UnreadableReason(request.file)) {
            return Refuse(out, request, EXIT_IMAGE, *reason);
        }
    // Each child is given the whole bench and its board's serial, and leaves
    // that board alone on its bench.
    CBatch batch(request, mode, detail, out);
    return batch.Run();
}

} // namespace kzcli
