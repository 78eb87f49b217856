// A production line's record of its boards, for any host that programs,
// verifies or erases them: each board's row in the run log, the stamped copy
// of the image a board gets, and the JUnit and CSV reports. The host feeds it
// the board's serial, the image it opened and the summary that ends the
// board's command; the record's own lines go back through the host's output.
#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Digest.h"
#include "ImageCheck.h"
#include "RunLog.h"
#include "Stamp.h"
#include "StampImage.h"

namespace kzlog {

// What a host's options say about its line's record.
struct LineSettings {
    LogSettings log;                 // the run log (--log, --station, --no-log, --require-log)
    std::vector<std::string> stamps; // ADDRESS=FORMAT:SOURCE each (--stamp), as given
    std::string junit, csv;          // the report files (--junit, --csv); "" for none
};

// The host around the record: where its default log lives, and where the
// record's lines and events go.
struct LineHost {
    std::string stateDir;                         // the default log's folder (DefaultLogPath)
    bool bench = false;                           // the boards are the virtual bench's
    std::function<void(const std::string&)> say;  // a line of the run: the stamps' values
    std::function<void(const std::string&)> warn; // a warning, or an error of --require-log
    std::function<void(Json)> event;              // an event: the stamps
};

class CLineRecord {
public:
    CLineRecord(LineSettings settings, LineHost host) : m_Settings(std::move(settings)), m_Host(std::move(host)) {}

    // Reads the stamps; the sentence when they are refused, before any board.
    std::optional<std::string> Configure();

    // One board in this process: its row starts now.
    void Begin(const std::string& serial);

    // The image is open (libraryPath: the file the library reads): its
    // digest for the row starts beside the host's check, and with stamps the
    // board's copy is made. The path the library is to read, or the sentence
    // why the board is refused before anything is written.
    std::optional<std::string> PrepareImage(const std::string& command, const std::string& file,
                                            const std::string& libraryPath, std::string& usePath);
    // The host's check of the file the library reads: the row's firmware
    // record comes from it (no second pass over the file), and the digest
    // is waited for.
    void ImageChecked(const kzhost::ImageAnalysis& image);

    // The summary event that ends the board's command (IsLoggedCommand; the
    // others are let be): the row goes to the log and the reports, and into
    // the summary as "run". A row that --require-log needs and the log did
    // not take turns a success into exit 1 and adds "log_error".
    void OnSummary(Json& summary);
    // A batch's summary: its boards' rows go to the reports; each board's own
    // process logged its row, and a board that gave no summary is logged here.
    void OnBatchSummary(const Json& summary);

    // The process's exit code: a run that --require-log fails ends with 1.
    int ExitCode(int code) const { return code == 0 && m_bLogFailed ? 1 : code; }

private:
    void WriteReports(const std::vector<RunRecord>& rows, const std::string& command);
    // The digest and firmware record not had yet: waited for and looked up
    // (both with m_ImageLock held).
    void FinishImage();
    // The image goes to the host's check now (PrepareImage's success).
    std::optional<std::string> Checking();
    void TakeFwInfo(const kzhost::ImageAnalysis& image);

    LineSettings m_Settings;
    LineHost m_Host;
    std::vector<StampRule> m_Stamps;
    RunRecord m_Row;
    CStampedImage m_Stamped;
    // The image's part of the row, which a stop request's summary may read
    // from another thread; no output is written while it is held.
    std::mutex m_ImageLock;
    std::future<std::optional<FileDigest>> m_Digest; // of the image, while it runs
    std::string m_FwPath;                            // the file whose firmware record the row still needs
    bool m_bChecking = false;                        // the host's check of the image has not ended
    static constexpr std::chrono::seconds STOP_DIGEST_WAIT{1};
    bool m_bLogFailed = false;
};

// A host that runs itself once per board of a batch hands each child its
// arguments without the report options (--junit, --csv): the parent writes
// the reports for every board.
std::vector<std::string> WithoutReports(const std::vector<std::string>& args);

} // namespace kzlog
