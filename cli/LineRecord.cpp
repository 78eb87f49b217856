#include "LineRecord.h"

#include <cstdio>

#include "Digest.h"
#include "Format.h"
#include "Session.h"
#include "ImageCheck.h"
#include "Report.h"
#include "ResultText.h"
#if KAZMIR_CLI_BENCH
#include "VirtualBench.h"
#endif

namespace kzcli {

namespace {

std::string LogStateDir()
{
#if KAZMIR_CLI_BENCH
    return kazsim::StateDir();
#else
    return std::string();
#endif
}

} // namespace

std::optional<std::string> CLineRecord::Configure()
{
    for (const std::string& text : m_Options.stamps) {
        std::string error;
        auto stamp = kzlog::ParseStamp(text, error);
        if (!stamp)
            return "--stamp " + text + ": " + error;
        m_Stamps.push_back(*stamp);
    }
    if (auto clash = kzlog::CheckStampSet(m_Stamps))
        return *clash;
    if (!m_Stamps.empty() && m_Options.log.off)
        for (const auto& stamp : m_Stamps)
            if (stamp.source == kzlog::StampSource::Counter)
                return "--stamp " + stamp.SourceText() + " takes its values from the log's counters: drop --no-log";
    return std::nullopt;
}

void CLineRecord::Watch(const std::string& serial)
{
    m_Row.serial = serial;
    m_Row.started = kzlog::UtcNow();
    m_Row.bench = KAZMIR_CLI_BENCH != 0;
    m_Out.SetSummaryHook([this](Json& summary) { OnSummary(summary); });
}

void CLineRecord::WatchBatch()
{
    m_Out.SetSummaryHook([this](Json& summary) { OnBatchSummary(summary); });
}

std::optional<std::string> CLineRecord::PrepareImage(const std::string& command, const std::string& file,
                                                     const std::string& libraryPath, std::string& usePath)
{
    usePath = libraryPath;
    m_Row.command = command;
    m_Row.image = kzlog::AbsolutePath(file);
    std::string error;
    if (auto digest = kzlog::DigestFile(file, error)) {
        m_Row.imageSize = digest->size;
        m_Row.imageSha256 = digest->sha256;
    }
    const ImageAnalysis image = AnalyseImageFile(libraryPath);
    if (image.fwInfo.found) {
        m_Row.fwName = image.fwInfo.Name();
        m_Row.fwVersion = image.fwInfo.Version();
    }
    if (m_Stamps.empty())
        return std::nullopt;
    if (command != "program")
        return "--stamp works with program only";
    std::unique_ptr<kzlog::CRunLog> log;
    for (const auto& stamp : m_Stamps)
        if (stamp.source == kzlog::StampSource::Counter && !log) {
            const std::string target =
                m_Options.log.target.empty() ? kzlog::DefaultLogPath(LogStateDir()) : m_Options.log.target;
            log = kzlog::CRunLog::Open(target, error);
            if (!log)
                return "the stamps' counters cannot be read: " + error;
        }
    auto values = kzlog::ResolveStamps(m_Stamps, m_Row.serial, log.get(), error);
    if (!values)
        return error;
    if (auto refused = m_Stamped.Make(libraryPath, *values))
        return *refused;
    m_Row.stamps = *values;
    usePath = m_Stamped.Path();
    m_Out.Event({{"event", "stamps"}, {"stamps", kzlog::StampsToJson(*values)}});
    for (const auto& v : *values)
        m_Out.Say("Stamp " + kzlog::AddressText(v.address) + " (" + v.format + ", " + v.source + "): " + v.value);
    return std::nullopt;
}

void CLineRecord::OnSummary(Json& summary)
{
    const std::string command = summary.value("command", std::string());
    if (!kzlog::IsLoggedCommand(command))
        return;
    const kzlog::RunRecord row = kzlog::RowFromSummary(m_Row, summary, m_Options.log.station);
    if (auto warning = kzlog::RecordRun(m_Options.log, LogStateDir(), row)) {
        if (m_Options.log.required) {
            m_LogFailed = true;
            if (row.exitCode == 0) {
                summary["exit"] = 1;
                summary["exit_name"] = ExitCodeName(1);
            }
            summary["log_error"] = *warning;
            m_Out.Warn("error: " + *warning + " (--require-log)");
        } else
            m_Out.Warn("warning: " + *warning);
    }
    summary["run"] = kzlog::ToJson(row);
    WriteReports({row}, command);
}

void CLineRecord::OnBatchSummary(const Json& summary)
{
    const std::string command = summary.value("command", std::string());
    if (kzlog::IsLoggedCommand(command) && summary.contains("boards"))
        WriteReports(kzlog::RowsFromBatch(summary, KAZMIR_CLI_BENCH != 0), command);
}

void CLineRecord::WriteReports(const std::vector<kzlog::RunRecord>& rows, const std::string& command)
{
    for (const auto& failed : kzlog::WriteReports(rows, "kazmir " + command, m_Options.junit, m_Options.csv))
        m_Out.Warn("warning: " + failed);
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

std::string ImageSha256(const std::string& path)
{
    std::string error;
    const auto digest = kzlog::DigestFile(path, error);
    return digest ? digest->sha256 : std::string();
}

} // namespace kzcli
