#include "Batch.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#endif

#include "ChildProcess.h"
#include "ResultText.h"
#include "StopRequests.h"

#if KAZMIR_CLI_BENCH
#include "kazsim/BenchSetup.h"
#endif

namespace kzcli {

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Cuts a line to the columns it may take, "..." marking the cut.
std::string FitColumns(const std::string& text, size_t columns)
{
    if (text.size() <= columns)
        return text;
    return columns > 3 ? text.substr(0, columns - 3) + "..." : text.substr(0, columns);
}

// The batch's summary event: its result, and a row per board.
Json SummaryEvent(const std::string& command, const std::string& text, int exit, double seconds, const Json& boards)
{
    return {{"event", "summary"},
            {"command", command},
            {"result", {{"text", text}}},
            {"exit", exit},
            {"exit_name", ExitCodeName(exit)},
            {"seconds", seconds},
            {"boards", boards}};
}

// One board of the batch: its child's progress and, at the end, its summary.
struct BoardRun {
    enum class State { Waiting, Running, Done };
    std::string serial;
    State state = State::Waiting;
    bool ended[2] = {false, false}; // the child's output and error streams
    std::string partial[2];         // their unfinished lines
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

    // A text of the child's summary (a JSON pointer); fallback when it has none.
    std::string Said(const char* path, const char* fallback = "-") const
    {
        const Json::json_pointer at(path);
        return summary.contains(at) && summary[at].is_string() ? summary[at].get<std::string>() : fallback;
    }
    // The result in words, with the library's code.
    std::string Words() const
    {
        const std::string code = Said("/result/code", "");
        if (summary.is_object())
            return Said("/result/text", "") + (code.empty() ? "" : " (" + code + ")");
        return !how.empty() ? how : "kazmir ended without a result (exit " + std::to_string(exit) + ")";
    }
    // The result in brief, for the table and the live lines: the exit's name
    // and the library's code. The sentence is the board's own error line.
    std::string Brief() const
    {
        if (!summary.is_object())
            return std::string(ExitCodeName(exit)) + (how.empty() ? "" : ": " + how);
        const std::string code = Said("/result/code", "");
        return ExitCodeName(exit) + (exit != EXIT_OK && !code.empty() ? " " + code : "");
    }
    uint64_t Bytes() const
    {
        if (summary.is_object() && summary.contains("bytes") && summary["bytes"].is_number_unsigned())
            return summary["bytes"].get<uint64_t>();
        return phaseBytes;
    }
};

// The children that take stop requests: the handler's thread hands them over
// to the batch's own, which alone touches the children.
std::mutex g_StopLock;
CChildren* g_pStopTarget = nullptr; // g_StopLock

class CBatch {
public:
    CBatch(const BatchRequest& request, COutput::Mode mode, COutput::Detail detail, COutput& out)
        : m_Request(request), m_Mode(mode), m_Detail(detail), m_Out(out), m_Boards(request.serials.size())
    {
        for (size_t i = 0; i < m_Boards.size(); ++i) {
            m_Boards[i].serial = request.serials[i];
            m_Width = std::max(m_Width, request.serials[i].size());
        }
        m_Columns = TerminalColumns(stderr);
        std::lock_guard<std::mutex> lock(g_StopLock);
        g_pStopTarget = &m_Children;
    }
    ~CBatch()
    {
        std::lock_guard<std::mutex> lock(g_StopLock);
        g_pStopTarget = nullptr;
    }
    CBatch(const CBatch&) = delete;
    CBatch& operator=(const CBatch&) = delete;

    int Run()
    {
        m_Out.OnOutputClosed([] { OutputClosed(); });
        CatchStopRequests([](StopCause cause) {
            std::lock_guard<std::mutex> lock(g_StopLock);
            if (g_pStopTarget != nullptr)
                g_pStopTarget->NoteStop(cause);
        });
        const auto start = Clock::now();
        const size_t jobs = m_Request.jobs == 0 ? m_Boards.size() : std::min<size_t>(m_Request.jobs, m_Boards.size());
        m_Out.Event(
            {{"event", "batch"}, {"command", m_Request.command}, {"boards", m_Request.serials}, {"jobs", jobs}});
        size_t next = 0, running = 0, finished = 0;
        while (finished < m_Boards.size()) {
            for (; !m_Stop && running < jobs && next < m_Boards.size(); ++next) {
                if (Start(next))
                    ++running;
                else
                    ++finished;
            }
            for (const ChildOutput& output : m_Children.Wait(std::chrono::milliseconds(100))) {
                if (output.child == ChildOutput::STOP)
                    OnStop(static_cast<StopCause>(output.stream));
                else
                    Take(output);
            }
            for (size_t i = 0; i < m_Boards.size(); ++i) {
                const BoardRun& b = m_Boards[i];
                if (b.state == BoardRun::State::Running && b.ended[0] && b.ended[1]) {
                    Finish(i);
                    --running;
                    ++finished;
                }
            }
            // After a stop request no more boards start.
            for (; m_Stop && next < m_Boards.size(); ++next, ++finished) {
                BoardRun& b = m_Boards[next];
                b.state = BoardRun::State::Done;
                b.exit = StopExitCode(*m_Stop);
                b.how = "not started";
            }
            Draw();
        }
        ClearLive();
        return Summary(SecondsSince(start));
    }

private:
    // Every running child gets the request, once per request (a closed
    // output asks once and never hurries a stop already asked for).
    void OnStop(StopCause cause)
    {
        if (cause == StopCause::OutputClosed && m_Stop)
            return;
        size_t running = 0, waiting = 0;
        for (size_t i = 0; i < m_Boards.size(); ++i) {
            running += m_Boards[i].state == BoardRun::State::Running;
            waiting += m_Boards[i].state == BoardRun::State::Waiting;
            if (m_Boards[i].state == BoardRun::State::Running)
                m_Children.Forward(i, cause);
        }
        const bool first = !m_Stop;
        if (first)
            m_Stop = cause;
        const std::string head = cause == StopCause::OutputClosed ? std::string("The output was closed")
                                                                  : "Stopping on " + StopCauseWords(cause);
        std::string text = first ? head + ": passed on to " + std::to_string(running) + " running " +
                                       (running == 1 ? "board" : "boards") +
                                       ", which finish the library call under way and stop" +
                                       (waiting > 0 ? "; " + std::to_string(waiting) + " not started" : "") +
                                       ". A signal more stops them at once."
                                 : head + " again: passed on; the boards stop at once.";
        Print(text);
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
        if (!m_Children.Start(index, m_Request.self, args, error)) {
            b.state = BoardRun::State::Done;
            b.exit = EXIT_FAILURE_;
            b.how = error;
            Line(b, "error: " + error);
            b.saidError = true;
            return false;
        }
        b.state = BoardRun::State::Running;
        return true;
    }

    // Bytes of a child's stream, split into lines: JSON events on the output,
    // on the error stream its warnings, findings and its error line, each
    // shown once here.
    void Take(const ChildOutput& output)
    {
        BoardRun& b = m_Boards[output.child];
        std::string& text = b.partial[output.stream];
        text += output.data;
        if (output.data.empty()) { // the end: a last line without its newline counts too
            b.ended[output.stream] = true;
            if (!text.empty())
                text += '\n';
        }
        size_t from = 0;
        for (size_t nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1) {
            const std::string line = text.substr(from, nl - from);
            if (output.stream == 0) {
                OnEvent(b, line);
            } else if (!line.empty()) {
                b.saidError = b.saidError || line.rfind("error: ", 0) == 0;
                Line(b, line);
            }
        }
        text.erase(0, from);
    }

    void OnEvent(BoardRun& b, const std::string& line)
    {
        const Json event = Json::parse(line, nullptr, false); // discarded when it is no JSON
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

    void Finish(size_t index)
    {
        BoardRun& b = m_Boards[index];
        b.exit = m_Children.Reap(index, b.how);
        b.seconds = SecondsSince(b.start);
        b.state = BoardRun::State::Done;
        // A failure is told by the board's own error line; one without it
        // (a child that ended without a word) is told here.
        if (b.exit != EXIT_OK && !b.saidError)
            Line(b, "error: " + b.Words());
        else if (m_Mode == COutput::Mode::Plain && b.exit == EXIT_OK)
            Line(b, "done: " + b.Words());
        m_Dirty = true;
    }

    // A line of one board.
    void Line(const BoardRun& b, const std::string& text)
    {
        Print(b.serial + std::string(m_Width - b.serial.size() + 2, ' ') + text);
    }

    // A line above the live lines on a terminal, else on its own.
    void Print(const std::string& text)
    {
        ClearLive();
        std::fprintf(stderr, "%s\n", text.c_str());
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
            return (b.exit == EXIT_OK ? "done: " : "FAILED: ") + b.Brief();
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

    void Draw()
    {
        if (!Live())
            return;
        const auto now = Clock::now();
        if (!m_Dirty && now - m_LastDraw < std::chrono::milliseconds(100))
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
        m_Drawn = m_Boards.size();
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
            rows.push_back(
                {b.serial, b.Said("/device_id"), b.Brief(), b.Said("/flash_holds"), secs, std::to_string(b.Bytes())});
            // The board's own result; in words when its run gave none.
            const Json result = b.summary.contains("/result/text"_json_pointer) ? b.summary["/result"_json_pointer]
                                                                                : Json{{"text", b.Words()}};
            Json row = {{"serial", b.serial}};
            if (b.Said("/device_id") != "-")
                row["device_id"] = b.Said("/device_id");
            row.update({{"result", result},
                        {"exit", b.exit},
                        {"exit_name", ExitCodeName(b.exit)},
                        {"seconds", b.seconds},
                        {"bytes", b.Bytes()}});
            if (b.Said("/flash_holds") != "-")
                row["flash_holds"] = b.Said("/flash_holds");
            // The board's row of the run log, for the reports.
            if (b.summary.is_object() && b.summary.contains("run"))
                row["run"] = b.summary["run"];
            boards.push_back(row);
        }
        const std::string& verb = m_Request.done;
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
        Json summary = SummaryEvent(m_Request.command, meaning, worst, seconds, boards);
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
    CChildren m_Children;
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
    out.Event(SummaryEvent(request.command, message, exitCode, 0.0, Json::array()));
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

#if KAZMIR_CLI_BENCH
std::string BenchFile(const std::string& benchOption)
{
    return kazsim::BenchFile(benchOption);
}

bool BenchSerials(const std::string& benchOption, std::vector<std::string>& serials, std::string& error)
{
    return kazsim::BenchSerials(benchOption, serials, error);
}
#else
std::string BenchFile(const std::string& benchOption)
{
    return benchOption;
}

bool BenchSerials(const std::string&, std::vector<std::string>&, std::string& error)
{
    error = "--all lists the boards of the virtual bench; the library offers no listing of real boards";
    return false;
}
#endif

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
