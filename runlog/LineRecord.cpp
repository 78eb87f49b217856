#include "LineRecord.h"

#include <future>

#include "Digest.h"
#include "ImageCheck.h"
#include "Report.h"
#include "ResultText.h"

namespace kzlog {

std::optional<std::string> CLineRecord::Configure()
{
    for (const std::string& text : m_Settings.stamps) {
        std::string error;
        auto stamp = ParseStamp(text, error);
        if (!stamp)
            return error; // ParseStamp names the option and its text
        m_Stamps.push_back(*stamp);
    }
    if (auto clash = CheckStampSet(m_Stamps))
        return *clash;
    if (!m_Stamps.empty() && m_Settings.log.off)
        for (const auto& stamp : m_Stamps)
            if (stamp.source == StampSource::Counter)
                return "--stamp " + stamp.SourceText() + " takes its values from the log's counters: drop --no-log";
    return std::nullopt;
}

void CLineRecord::Begin(const std::string& serial)
{
    m_Row.serial = serial;
    m_Row.started = UtcNow();
    m_Row.bench = m_Host.bench;
}

std::optional<std::string> CLineRecord::PrepareImage(const std::string& command, const std::string& file,
                                                     const std::string& libraryPath, std::string& usePath)
{
    usePath = libraryPath;
    std::string error;
    {
        std::lock_guard<std::mutex> lock(m_ImageLock);
        m_Row.command = command;
        m_Row.image = AbsolutePath(file);
        // The digest reads the file on its own, beside the check.
        m_Digest = std::async(std::launch::async, [file] {
            std::string unused;
            return DigestFile(file, unused);
        });
        m_FwPath = libraryPath;
    }
    if (m_Stamps.empty())
        return Checking();
    if (command != "program")
        return "--stamp works with program only";
    std::unique_ptr<CRunLog> log;
    for (const auto& stamp : m_Stamps)
        if (stamp.source == StampSource::Counter && !log) {
            const std::string& target = m_Settings.log.target;
            log = CRunLog::Open(target.empty() ? DefaultLogPath(m_Host.stateDir) : target, error);
            if (!log)
                return "the stamps' counters cannot be read: " + error;
        }
    auto values = ResolveStamps(m_Stamps, m_Row.serial, log.get(), error);
    if (!values)
        return error;
    if (auto refused = m_Stamped.Make(libraryPath, *values))
        return *refused;
    usePath = m_Stamped.Path();
    {
        std::lock_guard<std::mutex> lock(m_ImageLock);
        m_Row.stamps = *values;
        // The check reads the stamped copy: the record is the image's own.
        TakeFwInfo(kzhost::LoadedImage(libraryPath));
    }
    m_Host.event({{"event", "stamps"}, {"stamps", StampsToJson(*values)}});
    for (const auto& v : *values)
        m_Host.say("Stamp " + AddressText(v.address) + " (" + v.format + ", " + v.source + "): " + v.value);
    return Checking();
}

std::optional<std::string> CLineRecord::Checking()
{
    std::lock_guard<std::mutex> lock(m_ImageLock);
    m_bChecking = true;
    return std::nullopt;
}

void CLineRecord::TakeFwInfo(const kzhost::ImageAnalysis& image)
{
    m_FwPath.clear();
    if (image.fwInfo.found) {
        m_Row.fwName = image.fwInfo.Name();
        m_Row.fwVersion = image.fwInfo.Version();
    }
}

void CLineRecord::ImageChecked(const kzhost::ImageAnalysis& image)
{
    std::lock_guard<std::mutex> lock(m_ImageLock);
    m_bChecking = false;
    if (!m_FwPath.empty())
        TakeFwInfo(image);
    FinishImage();
}

void CLineRecord::FinishImage()
{
    if (m_bChecking) {
        // A stop request's summary while the check reads the image: the
        // stop is not held up by another pass over the file, nor for long
        // by the digest; the row then lacks what is not had.
        m_FwPath.clear();
        if (m_Digest.valid() && m_Digest.wait_for(STOP_DIGEST_WAIT) != std::future_status::ready)
            return;
    }
    if (!m_FwPath.empty())
        TakeFwInfo(kzhost::LoadedImage(m_FwPath));
    if (!m_Digest.valid())
        return;
    if (auto done = m_Digest.get()) {
        m_Row.imageSize = done->size;
        m_Row.imageSha256 = done->sha256;
    }
}

void CLineRecord::OnSummary(Json& summary)
{
    // A stop request's summary comes from another thread, maybe while the
    // command is still reading its image: the row as far as it is known.
    RunRecord known;
    {
        std::lock_guard<std::mutex> lock(m_ImageLock);
        FinishImage();
        known = m_Row;
    }
    const std::string command = summary.value("command", std::string());
    if (!IsLoggedCommand(command))
        return;
    const RunRecord row = RowFromSummary(known, summary, m_Settings.log.station);
    if (auto warning = RecordRun(m_Settings.log, m_Host.stateDir, row)) {
        if (m_Settings.log.required) {
            m_bLogFailed = true;
            if (row.exitCode == 0) {
                summary["exit"] = 1;
                summary["exit_name"] = kzhost::ExitCodeName(1);
            }
            summary["log_error"] = *warning;
            m_Host.warn("error: " + *warning + " (--require-log)");
        } else
            m_Host.warn("warning: " + *warning);
    }
    summary["run"] = ToJson(row);
    WriteReports({row}, command);
}

void CLineRecord::OnBatchSummary(const Json& summary)
{
    const std::string command = summary.value("command", std::string());
    if (!IsLoggedCommand(command) || !summary.contains("boards"))
        return;
    const std::vector<RunRecord> rows = RowsFromBatch(summary, m_Host.bench);
    // A board whose process ended without its summary (killed, or never
    // started after a stop) logged no row of its own: the batch logs what it
    // knows of it, so that the line's record misses no board.
    const Json& boards = summary["boards"];
    for (size_t i = 0; i < rows.size() && i < boards.size(); ++i)
        if (!boards[i].contains("run"))
            if (auto warning = RecordRun(m_Settings.log, m_Host.stateDir, rows[i]))
                m_Host.warn("warning: " + *warning);
    WriteReports(rows, command);
}

void CLineRecord::WriteReports(const std::vector<RunRecord>& rows, const std::string& command)
{
    for (const auto& failed : kzlog::WriteReports(rows, "kazmir " + command, m_Settings.junit, m_Settings.csv))
        m_Host.warn("warning: " + failed);
}

std::vector<std::string> WithoutReports(const std::vector<std::string>& args)
{
    std::vector<std::string> kept;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--junit" || a == "--csv") {
            ++i;
            continue;
        }
        if (a.rfind("--junit=", 0) == 0 || a.rfind("--csv=", 0) == 0)
            continue;
        kept.push_back(a);
    }
    return kept;
}

} // namespace kzlog
