// Everything the kazmir command shows: the library's reports turned into
// progress bars (terminal), plain lines (pipe or file) or JSON events, and the
// host's own lines.
//
// Human text goes to the error stream, JSON events to the output stream, so
// that `kazmir --json program x.hex | jq` sees only JSON.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "ImageCheck.h"
#include "ImageWords.h"
#include "Progress.h"
#include "Terminal.h"
#include "Reports.h"

namespace kzcli {

using namespace kzhost;    // the host kit's check, input and result texts
using namespace kzsupport; // the terminal, children and stop requests

// JSON objects keep their keys in the order they were written ("event" first).
using Json = nlohmann::ordered_json;

// Version of the --json output's schema (cli/README.md), on every event. A
// change that can break a reader of the events raises it.
constexpr int JSON_SCHEMA = 2;

// Safe to use from several threads: a stop request is reported from a
// thread of its own while the library's reports arrive.
class COutput {
public:
    enum class Mode { Bars, Plain, Json };
    enum class Detail { Quiet, Normal, Verbose };

    COutput(Mode mode, Detail detail, FILE* out = stdout, FILE* err = stderr, bool unicode = true);
    ~COutput();
    COutput(const COutput&) = delete;
    COutput& operator=(const COutput&) = delete;

    // The report callback's target.
    void OnReport(uint8_t kind, const char* text);
    static void Callback(void* context, uint8_t kind, const char* text);

    // Flash layout and sector range, when known, give the bars their totals and
    // bytes.
    void SetLayout(const FlashLayout& layout)
    {
        std::lock_guard<std::recursive_mutex> lock(m_Lock);
        m_Progress.SetLayout(layout);
    }
    void SetRange(unsigned firstSector, unsigned endSector)
    {
        std::lock_guard<std::recursive_mutex> lock(m_Lock);
        m_Progress.SetRange(firstSector, endSector);
    }
    void ClearRange()
    {
        std::lock_guard<std::recursive_mutex> lock(m_Lock);
        m_Progress.ClearRange();
    }
    // While set, the library's sector reads are shown as the verify phase.
    void SetVerifying(bool verifying)
    {
        std::lock_guard<std::recursive_mutex> lock(m_Lock);
        m_Decoder.SetVerifying(verifying);
    }

    // The flash layout the library reported while opening the flash loader.
    std::optional<FlashLayout> TraceLayout() const
    {
        std::lock_guard<std::recursive_mutex> lock(m_Lock);
        return m_TraceLayout;
    }

    // Ends the running bar; called before the host prints its own lines.
    void EndPhase();
    // What the calls so far did (a copy: the reports go on arriving).
    CProgress Progress() const
    {
        std::lock_guard<std::recursive_mutex> lock(m_Lock);
        return m_Progress;
    }
    size_t PhaseCount() const
    {
        std::lock_guard<std::recursive_mutex> lock(m_Lock);
        return m_Progress.Phases().size();
    }
    void ClearPhases()
    {
        std::lock_guard<std::recursive_mutex> lock(m_Lock);
        EndPhase();
        m_Progress.Clear();
    }

    // Host lines (error stream): Say in Normal and Verbose, Result always,
    // Warn always. In Json mode Say and Result are dropped (events carry it)
    // and Warn still goes to the error stream; once the output stream is
    // closed, Result goes to the error stream too.
    void Say(const std::string& text);
    void Result(const std::string& text);
    void Warn(const std::string& text);
    void Verbose(const std::string& text);
    // A line on the error stream that leaves the running phase open: its
    // bar is drawn again below it, and its counts go on.
    void Note(const std::string& text);

    // One JSON event (Json mode only).
    void Event(Json event);
    // One line of what a command produces (a report, a record, a handle) on
    // the output stream.
    void Print(const std::string& line);

    // Called once when a write to the output stream fails because its reader
    // closed it (EPIPE); nothing more is written there after that.
    void OnOutputClosed(std::function<void()> closed) { m_OnClosed = std::move(closed); }
    bool OutputClosed() const
    {
        std::lock_guard<std::recursive_mutex> lock(m_Lock);
        return m_OutClosed;
    }
    // Sees every summary event, in any mode, before it is written (the run log).
    void SetSummaryHook(std::function<void(Json&)> hook) { m_SummaryHook = std::move(hook); }

    // Bars as wide as this many columns instead of the terminal's (tests).
    void SetColumns(unsigned columns) { m_Columns = columns; }

    bool IsJson() const { return m_Mode == Mode::Json; }
    bool Quiet() const { return m_Detail == Detail::Quiet; }
    Detail GetDetail() const { return m_Detail; }

private:
    void OnEvent(const DecodedEvent& event);
    void BeginPhase(const DecodedEvent& event);
    void OnSector(const DecodedEvent& event);
    void Draw(bool final, const std::string& end = "");
    void ClearBarLine();
    void HumanLine(const std::string& text);
    void WriteOut(const std::string& line);

    Mode m_Mode;
    Detail m_Detail;
    FILE* m_Out;
    FILE* m_Err;
    bool m_Unicode;
    unsigned m_Columns = 0; // 0: ask the terminal at each redraw
    std::optional<FlashLayout> m_TraceLayout;
    CReportDecoder m_Decoder;
    CProgress m_Progress;
    std::set<std::string> m_MessagesShown; // library messages shown once
    bool m_BarShown = false;
    std::chrono::steady_clock::time_point m_LastDraw;
    bool m_OutClosed = false;
    std::function<void()> m_OnClosed;
    mutable std::recursive_mutex m_Lock;
    std::function<void(Json&)> m_SummaryHook;
};

// A device id or handle: "0x0000000000000101".
std::string HandleText(uint64_t handle);

} // namespace kzcli
