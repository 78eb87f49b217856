// The C interface of the host kit (kazmir_host.h) over its C++ pieces. No
// exception leaves it: each function catches and answers with a code.
#include "kazmir_host.h"

#include "ImageCheck.h"
#include "ImageInput.h"
#include "ImageWords.h"
#include "Reports.h"
#include "ResultText.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#ifndef KAZMIR_HOST_VERSION_MAJOR
#define KAZMIR_HOST_VERSION_MAJOR 0
#define KAZMIR_HOST_VERSION_MINOR 0
#define KAZMIR_HOST_VERSION_PATCH 0
#endif

using namespace kzhost;

struct KZH_ANALYSIS {
    ImageAnalysis analysis;
};

struct KZH_PLACEMENT {
    PlacementPlan plan;
    uint32_t blockCount = 0;
};

struct KZH_INPUT {
    CImageInput input;
};

struct KZH_DECODER {
    CReportDecoder decoder;
    std::vector<DecodedEvent> events; // the last call's, whose texts the caller holds
};

namespace {

thread_local std::string t_LastError;

KZMRESULT Failed(KZMRESULT code, std::string text)
{
    t_LastError = std::move(text);
    return code;
}

KZMRESULT Refused(const char* what)
{
    return Failed(KZH_E_ARGUMENT, what);
}

// Runs a call with the thread's last error cleared; out of memory and any
// other exception become codes.
template <typename Fn>
KZMRESULT Guarded(Fn fn)
{
    try {
        t_LastError.clear();
        return fn();
    } catch (const std::bad_alloc&) {
        return Failed(KZH_E_MEMORY, "the system ran out of memory");
    } catch (const std::exception& e) {
        return Failed(KZH_E_INTERNAL, std::string("the host kit failed inside: ") + e.what());
    }
}

void CopyText(char* to, size_t size, const std::string& text)
{
    std::snprintf(to, size, "%s", text.c_str());
}

KZH_FW_INFO FwInfoOf(const FwInfoView& view)
{
    KZH_FW_INFO info{};
    info.found = view.found;
    info.block = view.found ? view.block : -1;
    if (!view.found)
        return info;
    const FW_INFO& r = view.record;
    info.at = view.address;
    info.kind = r.Kind;
    info.address = r.Address;
    info.reserved12 = r.Reserved12;
    info.reserved16 = r.Reserved16;
    std::memcpy(info.version, r.Version, sizeof(info.version));
    std::memcpy(info.deviceVersion, r.DeviceVersion, sizeof(info.deviceVersion));
    CopyText(info.name, sizeof(info.name), view.Name());
    CopyText(info.device, sizeof(info.device), view.Device());
    CopyText(info.versionText, sizeof(info.versionText), view.Version());
    CopyText(info.deviceVersionText, sizeof(info.deviceVersionText), view.DeviceVersion());
    CopyText(info.kindText, sizeof(info.kindText), view.KindText());
    return info;
}

KZH_FINDING FindingOf(const Finding& f)
{
    KZH_FINDING out{};
    out.severity = f.severity == Severity::Error ? KZH_SEVERITY_ERROR : KZH_SEVERITY_WARNING;
    out.issue = static_cast<uint32_t>(f.issue);
    out.issueName = IssueName(f.issue);
    out.line = f.line;
    out.block = f.block;
    out.minor = f.minor;
    out.text = f.text.c_str();
    return out;
}

KZH_RESULT_INFO ResultInfoOf(const ResultRow& row, uint32_t code)
{
    KZH_RESULT_INFO info{};
    info.code = code;
    info.operation = static_cast<uint32_t>(row.op);
    info.name = row.name;
    info.meaning = row.meaning;
    info.exitCode = row.exitCode;
    info.kindName = ExitCodeName(row.exitCode);
    for (uint32_t i = 0; const Kind* kind = KindAt(i); ++i)
        if (kind->exitCode == row.exitCode)
            info.kind = kind->id;
    return info;
}

KZH_EVENT EventOf(const DecodedEvent& e)
{
    KZH_EVENT out{};
    out.type = static_cast<uint32_t>(e.type);
    out.phase = static_cast<uint32_t>(e.phase);
    out.sector = e.sector;
    out.sectorEnd = e.sectorEnd;
    out.status = static_cast<uint32_t>(e.status);
    out.hasAddress = e.address.has_value();
    out.address = e.address.value_or(0);
    out.done = e.done;
    if (e.type == DecodedEvent::Type::FlashLayout) {
        std::memcpy(out.words, e.words, sizeof(out.words));
        out.sectorCount = e.words[2];
        out.base = e.words[4];
    }
    out.text = e.text.c_str();
    return out;
}

KZMRESULT HandEvents(KZH_DECODER* d, std::vector<DecodedEvent> events, KZH_EVENT* out, uint32_t* count)
{
    d->events = std::move(events);
    for (size_t i = 0; i < d->events.size() && i < KZH_EVENTS_MAX; ++i)
        out[i] = EventOf(d->events[i]);
    *count = static_cast<uint32_t>(std::min<size_t>(d->events.size(), KZH_EVENTS_MAX));
    return KZM_OK;
}

// Hands a text out as the words of kazmir_host.h do: whole or not at all.
KZMRESULT HandText(const std::string& value, char* text, size_t size, size_t* needed)
{
    if (text == nullptr && size != 0)
        return Refused("a buffer of a size needs its pointer");
    if (needed != nullptr)
        *needed = value.size() + 1;
    if (value.size() >= size)
        return Failed(KZH_E_SPACE, Fmt("the text takes %zu bytes, the buffer holds %zu", value.size() + 1, size));
    std::memcpy(text, value.c_str(), value.size() + 1);
    return KZM_OK;
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const auto& line : lines)
        text += line + "\n";
    return text;
}

// The inverse of FwInfoOf: the record the structure was filled from.
FwInfoView FwInfoViewOf(const KZH_FW_INFO& info)
{
    FwInfoView view;
    view.found = info.found != 0;
    view.block = info.block;
    view.address = info.at;
    view.record.Kind = info.kind;
    view.record.Address = info.address;
    view.record.Reserved12 = info.reserved12;
    view.record.Reserved16 = info.reserved16;
    std::memcpy(view.record.Version, info.version, sizeof(info.version));
    std::memcpy(view.record.DeviceVersion, info.deviceVersion, sizeof(info.deviceVersion));
    std::memcpy(view.record.Name, info.name, sizeof(view.record.Name));
    std::memcpy(view.record.Device, info.device, sizeof(view.record.Device));
    return view;
}

KZMRESULT Analysed(ImageAnalysis analysis, KZH_ANALYSIS** out)
{
    if (!analysis.readable)
        return Failed(KZH_E_UNREADABLE,
                      analysis.findings.empty() ? "the file cannot be read" : analysis.findings.front().text);
    *out = new KZH_ANALYSIS{std::move(analysis)};
    return KZM_OK;
}

} // namespace

extern "C" {

KZMRESULT kzhGetVersion(uint32_t* major, uint32_t* minor, uint32_t* patch)
{
    t_LastError.clear();
    if (major != nullptr)
        *major = KAZMIR_HOST_VERSION_MAJOR;
    if (minor != nullptr)
        *minor = KAZMIR_HOST_VERSION_MINOR;
    if (patch != nullptr)
        *patch = KAZMIR_HOST_VERSION_PATCH;
    return KZM_OK;
}

const char* kzhLastError(void)
{
    return t_LastError.c_str();
}

KZMRESULT kzhResultInfo(uint32_t code, uint32_t operation, KZH_RESULT_INFO* info)
{
    return Guarded([&] {
        if (info == nullptr || operation > KZH_OP_SECTORS)
            return Refused("kzhResultInfo needs a known operation and somewhere to put the row");
        *info = ResultInfoOf(LookupResult(code, static_cast<Operation>(operation)), code);
        return KZM_OK;
    });
}

KZMRESULT kzhResultRow(uint32_t index, KZH_RESULT_INFO* info)
{
    return Guarded([&] {
        const ResultRow* row = ResultRowAt(index);
        if (info == nullptr || row == nullptr)
            return Refused("no row of the result table has this index");
        *info = ResultInfoOf(*row, row->code);
        return KZM_OK;
    });
}

KZMRESULT kzhKindInfo(uint32_t kind, KZH_KIND_INFO* info)
{
    return Guarded([&] {
        const Kind* k = KindAt(kind);
        if (info == nullptr || k == nullptr)
            return Refused("no failure kind has this number");
        *info = {k->id, k->name, k->meaning, k->exitCode};
        return KZM_OK;
    });
}

KZMRESULT kzhDecodeFwInfo(const FW_INFO* stored, KZH_FW_INFO* info)
{
    return Guarded([&] {
        if (stored == nullptr || info == nullptr)
            return Refused("kzhDecodeFwInfo needs a record and somewhere to put it");
        *info = FwInfoOf(FlashFwInfo(*stored));
        return KZM_OK;
    });
}

KZMRESULT kzhAnalyseFile(const char* path, KZH_ANALYSIS** analysis)
{
    return Guarded([&] {
        if (path == nullptr || analysis == nullptr)
            return Refused("kzhAnalyseFile needs a path and somewhere to put the analysis");
        return Analysed(AnalyseImageFile(path), analysis);
    });
}

KZMRESULT kzhAnalyseMemory(const void* data, size_t size, KZH_ANALYSIS** analysis)
{
    return Guarded([&] {
        if ((data == nullptr && size != 0) || analysis == nullptr)
            return Refused("kzhAnalyseMemory needs the bytes and somewhere to put the analysis");
        return Analysed(AnalyseImageText(std::string_view(static_cast<const char*>(data), size)), analysis);
    });
}

void kzhAnalysisFree(KZH_ANALYSIS* analysis)
{
    delete analysis;
}

KZMRESULT kzhAnalysisSummary(const KZH_ANALYSIS* analysis, KZH_SUMMARY* summary)
{
    return Guarded([&] {
        if (analysis == nullptr || summary == nullptr)
            return Refused("kzhAnalysisSummary needs an analysis and somewhere to put its summary");
        const ImageAnalysis& a = analysis->analysis;
        KZH_SUMMARY s{};
        s.accepted = a.Accepted();
        s.errors = static_cast<uint32_t>(a.Errors());
        s.warnings = static_cast<uint32_t>(a.findings.size() - a.Errors());
        s.formats = (a.hasIntel ? KZH_FORMAT_INTEL_HEX : 0u) | (a.hasSRecords ? KZH_FORMAT_SRECORDS : 0u);
        s.lines = a.lines;
        s.dataRecords = a.dataRecords;
        s.dataBytes = a.dataBytes;
        s.loaded = a.loaded;
        s.endLine = a.endLine;
        s.stopLine = a.libraryStopLine;
        s.recordsNotRead = a.recordsNotRead;
        s.blockCount = static_cast<uint32_t>(a.blocks.size());
        s.findingCount = static_cast<uint32_t>(a.findings.size());
        s.lowest = a.Lowest();
        s.highest = a.Highest();
        s.stopReason = a.stopReason.c_str();
        s.formatName = a.FormatName();
        *summary = s;
        return KZM_OK;
    });
}

KZMRESULT kzhAnalysisFinding(const KZH_ANALYSIS* analysis, uint32_t index, KZH_FINDING* finding)
{
    return Guarded([&] {
        if (analysis == nullptr || finding == nullptr || index >= analysis->analysis.findings.size())
            return Refused("the analysis has no finding of this index");
        *finding = FindingOf(analysis->analysis.findings[index]);
        return KZM_OK;
    });
}

KZMRESULT kzhAnalysisBlock(const KZH_ANALYSIS* analysis, uint32_t index, KZH_BLOCK* block)
{
    return Guarded([&] {
        if (analysis == nullptr || block == nullptr || index >= analysis->analysis.blocks.size())
            return Refused("the analysis has no block of this index");
        const ImageBlock& b = analysis->analysis.blocks[index];
        *block = {b.start, b.end};
        return KZM_OK;
    });
}

KZMRESULT kzhAnalysisFwInfo(const KZH_ANALYSIS* analysis, KZH_FW_INFO* info)
{
    return Guarded([&] {
        if (analysis == nullptr || info == nullptr)
            return Refused("kzhAnalysisFwInfo needs an analysis and somewhere to put the record");
        *info = FwInfoOf(analysis->analysis.fwInfo);
        return KZM_OK;
    });
}

const char* kzhIssueName(uint32_t issue)
{
    return issue <= KZH_ISSUE_SPLIT_LINE ? IssueName(static_cast<Issue>(issue)) : "unknown";
}

KZMRESULT kzhPlace(const KZH_ANALYSIS* analysis, const KZH_FLASH* flash, KZH_PLACEMENT** placement)
{
    return Guarded([&] {
        if (analysis == nullptr || flash == nullptr || placement == nullptr || flash->sectorCount > 0xFFFF)
            return Refused("kzhPlace needs an analysis, a flash of at most 65535 sectors and somewhere to put the "
                           "placement");
        FlashLayout layout;
        layout.base = flash->base;
        layout.sectorCount = static_cast<uint16_t>(flash->sectorCount);
        if (flash->sectorSizes != nullptr)
            layout.sectorSizes.assign(flash->sectorSizes, flash->sectorSizes + flash->sectorCount);
        layout.flashSize = flash->flashSize;
        auto* p = new KZH_PLACEMENT{PreviewPlacement(analysis->analysis, layout)};
        p->blockCount = static_cast<uint32_t>(p->plan.blocks.size());
        *placement = p;
        return KZM_OK;
    });
}

void kzhPlacementFree(KZH_PLACEMENT* placement)
{
    delete placement;
}

KZMRESULT kzhPlacementInfo(const KZH_PLACEMENT* placement, KZH_PLACEMENT_INFO* info)
{
    return Guarded([&] {
        if (placement == nullptr || info == nullptr)
            return Refused("kzhPlacementInfo needs a placement and somewhere to put its summary");
        const PlacementPlan& p = placement->plan;
        KZH_PLACEMENT_INFO i{};
        i.accepted = p.Accepted();
        i.libraryResult = p.result;
        i.placed = p.Placed();
        if (i.placed) {
            i.firstSector = p.firstSector;
            i.lastSector = p.endSector - 1u;
            i.startOffset = p.startOffset;
            i.rangeStart = p.rangeStart;
            i.rangeSize = p.rangeSize;
            i.bytesWritten = p.bytesWritten;
            i.bytesKept = p.bytesKept;
        }
        i.blockCount = placement->blockCount;
        i.findingCount = static_cast<uint32_t>(p.findings.size());
        i.explanation = p.explanation.c_str();
        *info = i;
        return KZM_OK;
    });
}

KZMRESULT kzhPlacementFinding(const KZH_PLACEMENT* placement, uint32_t index, KZH_FINDING* finding)
{
    return Guarded([&] {
        if (placement == nullptr || finding == nullptr || index >= placement->plan.findings.size())
            return Refused("the placement has no finding of this index");
        *finding = FindingOf(placement->plan.findings[index]);
        return KZM_OK;
    });
}

KZMRESULT kzhPlacementBlock(const KZH_PLACEMENT* placement, uint32_t index, KZH_PLACED_BLOCK* block)
{
    return Guarded([&] {
        if (placement == nullptr || block == nullptr || index >= placement->blockCount)
            return Refused("the placement has no block of this index");
        const BlockPlacement& b = placement->plan.blocks[index];
        *block = {b.flashOffset, b.written};
        return KZM_OK;
    });
}

KZMRESULT kzhAnalysisText(const KZH_ANALYSIS* analysis, const char* file, char* text, size_t size, size_t* needed)
{
    return Guarded([&] {
        if (analysis == nullptr)
            return Refused("kzhAnalysisText needs an analysis");
        const ImageAnalysis& a = analysis->analysis;
        const std::string name = file != nullptr ? file : a.path.empty() ? "image" : a.path;
        return HandText(Joined(ImageReport(name, a)), text, size, needed);
    });
}

KZMRESULT kzhAnalysisFindingsText(const KZH_ANALYSIS* analysis, uint32_t flags, char* text, size_t size, size_t* needed)
{
    return Guarded([&] {
        if (analysis == nullptr || (flags & ~KZH_TEXT_ERRORS) != 0)
            return Refused("kzhAnalysisFindingsText needs an analysis and known flags");
        const auto& findings = analysis->analysis.findings;
        return HandText(Joined(FindingLines(findings, flags & KZH_TEXT_ERRORS, "")), text, size, needed);
    });
}

KZMRESULT kzhPlacementFindingsText(const KZH_PLACEMENT* placement, uint32_t flags, char* text, size_t size,
                                   size_t* needed)
{
    return Guarded([&] {
        if (placement == nullptr || (flags & ~KZH_TEXT_ERRORS) != 0)
            return Refused("kzhPlacementFindingsText needs a placement and known flags");
        const auto& findings = placement->plan.findings;
        return HandText(Joined(FindingLines(findings, flags & KZH_TEXT_ERRORS, "")), text, size, needed);
    });
}

KZMRESULT kzhPlacementText(const KZH_PLACEMENT* placement, char* text, size_t size, size_t* needed)
{
    return Guarded([&] {
        if (placement == nullptr)
            return Refused("kzhPlacementText needs a placement");
        return HandText(Joined(PlacementLines(placement->plan, "")), text, size, needed);
    });
}

KZMRESULT kzhPlacementRangeText(const KZH_PLACEMENT* placement, char* text, size_t size, size_t* needed)
{
    return Guarded([&] {
        if (placement == nullptr || !placement->plan.Placed())
            return Refused("kzhPlacementRangeText needs a placement that worked out a sector range");
        return HandText(SectorRangeText(placement->plan), text, size, needed);
    });
}

KZMRESULT kzhFwInfoText(const KZH_FW_INFO* info, char* text, size_t size, size_t* needed)
{
    return Guarded([&] {
        if (info == nullptr)
            return Refused("kzhFwInfoText needs a record");
        return HandText(FwInfoLine(FwInfoViewOf(*info)), text, size, needed);
    });
}

KZMRESULT kzhInputOpen(const char* path, const uint32_t* base, KZH_INPUT** input)
{
    return Guarded([&] {
        if (path == nullptr || input == nullptr)
            return Refused("kzhInputOpen needs a path and somewhere to put the input");
        auto made = std::make_unique<KZH_INPUT>();
        if (auto why = made->input.Open(path, base != nullptr ? std::optional<uint32_t>(*base) : std::nullopt))
            return Failed(made->input.Result(), *why);
        *input = made.release();
        return KZM_OK;
    });
}

void kzhInputFree(KZH_INPUT* input)
{
    delete input;
}

KZMRESULT kzhInputInfo(const KZH_INPUT* input, KZH_INPUT_INFO* info)
{
    return Guarded([&] {
        if (input == nullptr || info == nullptr)
            return Refused("kzhInputInfo needs an input and somewhere to put its summary");
        const CImageInput& in = input->input;
        *info = {static_cast<uint32_t>(in.Format()), in.Segments(), in.Bytes(), in.LibraryPath().c_str(),
                 in.Description().c_str()};
        return KZM_OK;
    });
}

KZMRESULT kzhWriteFilled(const char* path, uint32_t address, uint32_t size, uint8_t value)
{
    return Guarded([&] {
        if (path == nullptr)
            return Refused("kzhWriteFilled needs a path");
        if (auto why = WriteFilledImage(path, address, size, value))
            return Failed(KZH_E_WRITE, *why);
        return KZM_OK;
    });
}

KZMRESULT kzhDecoderNew(KZH_DECODER** decoder)
{
    return Guarded([&] {
        if (decoder == nullptr)
            return Refused("kzhDecoderNew needs somewhere to put the decoder");
        *decoder = new KZH_DECODER;
        return KZM_OK;
    });
}

void kzhDecoderFree(KZH_DECODER* decoder)
{
    delete decoder;
}

KZMRESULT kzhDecoderSetVerifying(KZH_DECODER* decoder, uint32_t verifying)
{
    return Guarded([&] {
        if (decoder == nullptr)
            return Refused("kzhDecoderSetVerifying needs a decoder");
        decoder->decoder.SetVerifying(verifying != 0);
        return KZM_OK;
    });
}

KZMRESULT kzhDecoderFeed(KZH_DECODER* decoder, uint8_t kind, const char* text, KZH_EVENT* events, uint32_t* count)
{
    return Guarded([&] {
        if (decoder == nullptr || events == nullptr || count == nullptr)
            return Refused("kzhDecoderFeed needs a decoder, room for the events and for their count");
        return HandEvents(decoder, decoder->decoder.Feed(kind, text != nullptr ? text : ""), events, count);
    });
}

KZMRESULT kzhDecoderEnd(KZH_DECODER* decoder, KZH_EVENT* events, uint32_t* count)
{
    return Guarded([&] {
        if (decoder == nullptr || events == nullptr || count == nullptr)
            return Refused("kzhDecoderEnd needs a decoder, room for the events and for their count");
        return HandEvents(decoder, decoder->decoder.End(), events, count);
    });
}

} // extern "C"
