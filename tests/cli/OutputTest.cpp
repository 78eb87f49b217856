// The library's report lines turned into progress and JSON events, and
// progress bars fitted to the terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

#include "Output.h"
#include "kazmir.h"

using namespace kzcli;

namespace {

// One stream captured in a temporary file (open_memstream is not portable).
struct CapturedStream {
    std::filesystem::path Path =
        std::filesystem::temp_directory_path() / ("kazmir-output-" + std::to_string(std::random_device{}()) + ".txt");
    FILE* File = std::fopen(Path.string().c_str(), "w+b");
    ~CapturedStream()
    {
        if (File)
            std::fclose(File);
        std::error_code ignored;
        std::filesystem::remove(Path, ignored);
    }
    std::string Text()
    {
        std::fflush(File);
        const long end = std::ftell(File);
        std::string text(static_cast<size_t>(end < 0 ? 0 : end), '\0');
        std::rewind(File);
        text.resize(std::fread(text.data(), 1, text.size(), File));
        std::fseek(File, 0, SEEK_END);
        return text;
    }
};

// Captures what a COutput writes to its two streams.
struct Captured {
    CapturedStream outStream;
    CapturedStream errStream;
    FILE* out = outStream.File;
    FILE* err = errStream.File;
    std::string Out() { return outStream.Text(); }
    std::string Err() { return errStream.Text(); }
    std::vector<nlohmann::json> Events()
    {
        std::vector<nlohmann::json> events;
        const std::string text = Out();
        size_t pos = 0;
        while (pos < text.size()) {
            const size_t nl = text.find('\n', pos);
            events.push_back(nlohmann::json::parse(text.substr(pos, nl - pos)));
            pos = nl + 1;
        }
        return events;
    }
};

// The report sequence of a program over sectors 2 and 3 of end 4, with the
// library's indentation (indent 2 = four blanks), the erase of sector 3 failing.
void FeedProgramWithFailedErase(COutput& out)
{
    out.OnReport(REPORT_TEST, "test");
    out.OnReport(REPORT_TRACE, "    0001, 22f6, 0004, 0010, 00000000");
    out.OnReport(REPORT_NEWLINE, "\r\n");
    out.OnReport(REPORT_MESSAGE, "Scan file ...");
    for (unsigned s : {2u, 3u}) {
        char line[96];
        std::snprintf(line, sizeof(line), "    read sector %02u/04 (address: 0x%08x)", s, s * 0x1000);
        out.OnReport(REPORT_PROGRESS, line);
        std::snprintf(line, sizeof(line), "    read sector %02u/04 (address: 0x%08x) OK", s, s * 0x1000);
        out.OnReport(REPORT_PROGRESS, line);
    }
    out.OnReport(REPORT_PROGRESS, "    erase sector 02/04 ");
    out.OnReport(REPORT_PROGRESS, "    erase sector 02/04 OK");
    out.OnReport(REPORT_PROGRESS, "    erase sector 03/04 ");
    out.OnReport(REPORT_MESSAGE, "    erase sector 03/04 FAILED");
    out.OnReport(REPORT_NEWLINE, "\r\n");
}

size_t Columns(const std::string& text)
{
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

} // namespace

TEST(JsonEvents, EachSectorAndPhaseBecomesAnEvent)
{
    Captured c;
    std::vector<nlohmann::json> events;
    {
        COutput out(COutput::Mode::Json, COutput::Detail::Normal, c.out, c.err);
        FlashLayout layout;
        layout.sectorSizes = {0x1000, 0x1000, 0x1000, 0x1000};
        out.SetLayout(layout);
        out.SetRange(2, 4);
        FeedProgramWithFailedErase(out);
        ASSERT_TRUE(out.TraceLayout());
        EXPECT_EQ(out.TraceLayout()->sectorCount, 4u);
        out.EndPhase();
        ASSERT_EQ(out.Progress().Phases().size(), 2u);
        EXPECT_EQ(out.Progress().Phases()[0].bytes, 0x2000u);
        EXPECT_TRUE(out.Progress().Phases()[1].failed);
    }
    events = c.Events();
    std::vector<std::string> kinds;
    for (const auto& e : events) {
        std::string kind = e["event"].get<std::string>();
        if (e.contains("state"))
            kind.append(":").append(e["state"].get<std::string>());
        kinds.push_back(kind);
    }
    const std::vector<std::string> expected = {"message",     "phase:begin", "sector", "sector",    "phase:end",
                                               "phase:begin", "sector",      "sector", "phase:end", "message"};
    EXPECT_EQ(kinds, expected);
    EXPECT_EQ(events[2]["phase"], "read");
    EXPECT_EQ(events[2]["sector"], 2);
    EXPECT_EQ(events[2]["of"], 4);
    EXPECT_EQ(events[2]["result"], "ok");
    EXPECT_EQ(events[3]["done"], 2);
    EXPECT_EQ(events[3]["total"], 2);
    EXPECT_EQ(events[4]["bytes"], 0x2000);
    EXPECT_EQ(events[7]["phase"], "erase");
    EXPECT_EQ(events[7]["result"], "failed");
    EXPECT_EQ(events[8]["result"], "failed");
    EXPECT_TRUE(c.Err().empty()) << "JSON mode keeps human text off unless asked";
}

TEST(PlainLines, OneLinePerPhaseAndTracesOnlyWhenVerbose)
{
    Captured c;
    {
        COutput out(COutput::Mode::Plain, COutput::Detail::Normal, c.out, c.err);
        FeedProgramWithFailedErase(out);
    }
    const std::string err = c.Err();
    EXPECT_NE(err.find("read: 2 of 2 sectors"), std::string::npos) << err;
    EXPECT_NE(err.find("erase: 1 of 2 sectors"), std::string::npos) << err;
    EXPECT_NE(err.find("FAILED"), std::string::npos);
    EXPECT_EQ(err.find("22f6"), std::string::npos) << "trace lines only with -v";
    EXPECT_TRUE(c.Out().empty());

    Captured v;
    {
        COutput out(COutput::Mode::Plain, COutput::Detail::Verbose, v.out, v.err);
        FeedProgramWithFailedErase(out);
    }
    EXPECT_NE(v.Err().find("22f6"), std::string::npos);
    EXPECT_NE(v.Err().find("read sector 3/4 ok"), std::string::npos) << v.Err();

    Captured q;
    {
        COutput out(COutput::Mode::Bars, COutput::Detail::Quiet, q.out, q.err);
        FeedProgramWithFailedErase(out);
        out.Result("done");
    }
    EXPECT_EQ(q.Err(), "done\n");
}

TEST(Bars, ProgressIsDrawnInPlaceAndEndsWithTheTotals)
{
    Captured c;
    {
        COutput out(COutput::Mode::Bars, COutput::Detail::Normal, c.out, c.err, false);
        out.SetRange(0, 2);
        out.OnReport(REPORT_PROGRESS, "    write sector 00/02 (address: 0x00000000)");
        out.OnReport(REPORT_PROGRESS, "    write sector 00/02 (address: 0x00000000) OK");
        out.OnReport(REPORT_PROGRESS, "    write sector 01/02 (address: 0x00004000)");
        out.OnReport(REPORT_PROGRESS, "    write sector 01/02 (address: 0x00004000) OK");
    }
    const std::string err = c.Err();
    EXPECT_NE(err.find("\r\033[K"), std::string::npos);
    EXPECT_NE(err.find("[##############################] 2/2 sectors"), std::string::npos) << err;
    EXPECT_EQ(err.back(), '\n');
}

TEST(Bars, EveryLineFitsTheTerminalAndShrinksTheBarFirst)
{
    PhaseStats s{ReportPhase::Write, 0, 128, 64, false, 64ull << 20, 1.5};
    for (unsigned columns : {10u, 24u, 40u, 60u, 80u, 200u})
        for (bool failed : {false, true})
            for (const char* end : {"", "  12.34 s"}) {
                s.failed = failed;
                const std::string line = BarLine(s, true, columns, end);
                EXPECT_LE(Columns(line), columns - 1) << columns << ": " << line;
                if (columns >= 60) {
                    EXPECT_NE(line.find("64/128 sectors"), std::string::npos) << line;
                    EXPECT_NE(line.find(end), std::string::npos) << line;
                    EXPECT_EQ(line.find("FAILED") != std::string::npos, failed) << line;
                }
            }
    s.failed = false;
    const std::string wide = BarLine(s, false, 200, "");
    EXPECT_NE(wide.find("[###############---------------] 64/128 sectors  64.0 MiB  42.7 MiB/s"), std::string::npos)
        << wide;
    EXPECT_EQ(BarLine(s, false, 48, ""), "write  [######-------] 64/128 sectors  64.0 MiB") << "the rate goes first";
}
