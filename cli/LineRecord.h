// The run log's part in program, verify and erase: each board's row, the
// stamped copy of the image a board gets, and the JUnit and CSV reports.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Output.h"
#include "RunLog.h"
#include "Stamp.h"
#include "StampImage.h"

namespace kzcli {

struct LineOptions {
    kzlog::LogSettings log;          // --log, --station, --no-log, --require-log
    std::vector<std::string> stamps; // --stamp, as given
    std::string junit, csv;          // --junit FILE, --csv FILE
};

class CLineRecord {
public:
    CLineRecord(const LineOptions& options, COutput& out) : m_Options(options), m_Out(out) {}

    // Reads the --stamp arguments; the sentence when they are refused.
    std::optional<std::string> Configure();

    // One board in this process: its summary event fills and logs its row.
    void Watch(const std::string& serial);
    // A batch parent: its summary's boards give the reports' rows.
    void WatchBatch();

    // The image is open (libraryPath: the file the library reads): its
    // digest and firmware record for the row, and with stamps the board's
    // copy. The path the library is to read, or the sentence why the board
    // is refused before anything is written.
    std::optional<std::string> PrepareImage(const std::string& command, const std::string& file,
                                            const std::string& libraryPath, std::string& usePath);

    // The process's exit code: a run that --require-log fails ends with 1.
    int ExitCode(int code) const { return code == 0 && m_LogFailed ? 1 : code; }

private:
    void OnSummary(Json& summary);
    void OnBatchSummary(const Json& summary);
    void WriteReports(const std::vector<kzlog::RunRecord>& rows, const std::string& command);

    LineOptions m_Options;
    COutput& m_Out;
    std::vector<kzlog::StampRule> m_Stamps;
    kzlog::RunRecord m_Row;
    kzlog::CStampedImage m_Stamped;
    bool m_LogFailed = false;
};

// The child's command line in a batch: without the report options, which
// the parent writes for every board.
std::vector<std::string> WithoutReports(const std::vector<std::string>& args);

// The SHA-256 of a file, as sha256sum prints it; "" when it cannot be read.
std::string ImageSha256(const std::string& path);

} // namespace kzcli
