// Helpers of the flash tests: an FLD object of the tests' own with a flash in
// memory and failure injection, a report recorder, and temporary image files.
#pragma once

#include "device/KazApi.h"
#include "frame/Reporter.h"
#include "kazmir.h"

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace flashtest {

// One call the FLD object received.
struct FldCall {
    std::string Name;
    uint16_t Sector = 0;
    uint32_t Size = 0;
};

class CFakeFlashLoader : public IKazFlashLoader {
public:
    explicit CFakeFlashLoader(std::vector<uint32_t> sectorSizes, uint32_t base = 0, uint8_t fill = 0xFF)
        : m_Sizes(std::move(sectorSizes)), m_dwBase(base)
    {
        uint64_t total = 0;
        for (uint32_t size : m_Sizes)
            total += size;
        m_Flash.assign(static_cast<size_t>(total), fill);
        m_wReportedCount = static_cast<uint16_t>(m_Sizes.size());
    }

    // Failure injection: the operation fails with code (for one sector only
    // when sector is given).
    void FailExecute(KZRESULT code) { m_dwExecuteFail = code; }
    void FailGetFlashInfo(KZRESULT code) { m_dwInfoFail = code; }
    void FailSectorInfo(uint16_t sector, KZRESULT code) { m_SectorInfoFail[sector] = code; }
    void FailErase(uint16_t sector, KZRESULT code) { m_EraseFail[sector] = code; }
    void FailRead(uint16_t sector, KZRESULT code) { m_ReadFail[sector] = code; }
    void FailWrite(uint16_t sector, KZRESULT code) { m_WriteFail[sector] = code; }
    // Reports a different sector count than the sizes given.
    void ReportSectorCount(uint16_t count) { m_wReportedCount = count; }

    std::vector<uint8_t>& Flash() { return m_Flash; }
    const std::vector<FldCall>& Calls() const { return m_Calls; }
    std::vector<std::string> CallNames() const
    {
        std::vector<std::string> names;
        for (const FldCall& call : m_Calls) {
            std::string name = call.Name; // appended to: g++ 12 -O3 misreads "a" + b as overlapping
            if (call.Name.find("Sector") != std::string::npos)
                name.append(" ").append(std::to_string(call.Sector));
            names.push_back(name);
        }
        return names;
    }
    void ClearCalls() { m_Calls.clear(); }
    uint32_t References() const { return m_dwRefs; }
    uint32_t OverReleases() const { return m_dwOverReleases; }
    bool Started() const { return m_bStarted; }
    uint32_t SectorOffset(uint16_t sector) const
    {
        uint32_t offset = 0;
        for (uint16_t i = 0; i < sector; ++i)
            offset += m_Sizes[i];
        return offset;
    }

    KZRESULT QueryInterface(const GUID*, void**) override { return 0x80004001; } // not implemented
    uint32_t AddRef() override { return ++m_dwRefs; }
    uint32_t Release() override
    {
        m_Calls.push_back({"Release"});
        if (m_dwRefs == 0) {
            ++m_dwOverReleases;
            return 0;
        }
        return --m_dwRefs;
    }
    KZRESULT Reserved3() override { return 0x80004001; } // not implemented
    KZRESULT Reserved4() override { return 0x80004001; } // not implemented
    KZRESULT Execute(uint32_t arg1, uint32_t arg2) override
    {
        m_Calls.push_back({"Execute", 0, arg1 | arg2});
        if (m_dwExecuteFail != 0)
            return m_dwExecuteFail;
        m_bStarted = true;
        return KZM_OK;
    }
    KZRESULT Stop() override
    {
        m_Calls.push_back({"Stop"});
        m_bStarted = false;
        return KZM_OK;
    }
    KZRESULT GetFlashInfo(FLASH_INFO* info) override
    {
        m_Calls.push_back({"GetFlashInfo"});
        if (m_dwInfoFail != 0)
            return m_dwInfoFail;
        std::memset(info, 0xEE, sizeof(*info)); // bytes past the first 16 are the server's
        info->Reserved0 = 0;
        info->Word4 = 0x0001;
        info->Word6 = 0x22F6;
        info->SectorCount = m_wReportedCount;
        info->Word10 = 0x0010;
        info->BaseAddress = m_dwBase;
        return KZM_OK;
    }
    KZRESULT GetSectorInfo(SECTOR_ADDR sector, SECTOR_INFO* info) override
    {
        const uint16_t s = static_cast<uint16_t>(sector >> 16);
        m_Calls.push_back({"GetSectorInfo", s});
        if (auto it = m_SectorInfoFail.find(s); it != m_SectorInfoFail.end())
            return it->second;
        if ((sector & 0xFFFF) != 0 || s >= m_Sizes.size())
            return KZM_E_INVALIDARG;
        info->Size = m_Sizes[s];
        info->Reserved = 0xDEADBEEF;
        return KZM_OK;
    }
    KZRESULT EraseSector(SECTOR_ADDR sector) override
    {
        const uint16_t s = static_cast<uint16_t>(sector >> 16);
        m_Calls.push_back({"EraseSector", s});
        if (auto it = m_EraseFail.find(s); it != m_EraseFail.end())
            return it->second;
        if (!m_bStarted || (sector & 0xFFFF) != 0 || s >= m_Sizes.size())
            return KZM_E_INVALIDARG;
        std::memset(m_Flash.data() + SectorOffset(s), 0xFF, m_Sizes[s]);
        return KZM_OK;
    }
    KZRESULT ReadSector(SECTOR_ADDR sector, uint8_t* buffer, uint32_t size) override
    {
        const uint16_t s = static_cast<uint16_t>(sector >> 16);
        m_Calls.push_back({"ReadSector", s, size});
        if (auto it = m_ReadFail.find(s); it != m_ReadFail.end())
            return it->second;
        if (!m_bStarted || (sector & 0xFFFF) != 0 || s >= m_Sizes.size() || size != m_Sizes[s])
            return KZM_E_INVALIDARG;
        std::memcpy(buffer, m_Flash.data() + SectorOffset(s), size);
        return KZM_OK;
    }
    KZRESULT WriteSector(SECTOR_ADDR sector, const uint8_t* data, uint32_t size) override
    {
        const uint16_t s = static_cast<uint16_t>(sector >> 16);
        m_Calls.push_back({"WriteSector", s, size});
        if (auto it = m_WriteFail.find(s); it != m_WriteFail.end())
            return it->second;
        if (!m_bStarted || (sector & 0xFFFF) != 0 || s >= m_Sizes.size() || size != m_Sizes[s])
            return KZM_E_INVALIDARG;
        // Flash semantics: writing can only clear bits of an erased sector.
        uint8_t* to = m_Flash.data() + SectorOffset(s);
        for (uint32_t i = 0; i < size; ++i)
            to[i] &= data[i];
        return KZM_OK;
    }

private:
    std::vector<uint32_t> m_Sizes;
    uint32_t m_dwBase;
    uint16_t m_wReportedCount;
    std::vector<uint8_t> m_Flash;
    std::vector<FldCall> m_Calls;
    uint32_t m_dwRefs = 1; // the reference handed to the programmer
    uint32_t m_dwOverReleases = 0;
    bool m_bStarted = false;
    KZRESULT m_dwExecuteFail = 0;
    KZRESULT m_dwInfoFail = 0;
    std::map<uint16_t, KZRESULT> m_SectorInfoFail, m_EraseFail, m_ReadFail, m_WriteFail;
};

// Every report line the library sends, from the moment of construction.
struct ReportLine {
    uint8_t Kind;
    std::string Text;
    bool operator==(const ReportLine&) const = default;
};

class CReportRecorder {
public:
    CReportRecorder()
    {
        CReporter::Get()->SetCallback(this, &CReportRecorder::Callback);
        m_Lines.clear(); // the registration's probe call
    }
    ~CReportRecorder() { CReporter::Get()->SetCallback(nullptr, &CReportRecorder::Drop); }
    const std::vector<ReportLine>& Lines() const { return m_Lines; }
    void Clear() { m_Lines.clear(); }

private:
    static void Callback(void* context, uint8_t kind, const char* text)
    {
        if (context != nullptr)
            static_cast<CReportRecorder*>(context)->m_Lines.push_back({kind, text});
    }
    static void Drop(void*, uint8_t, const char*) {}
    std::vector<ReportLine> m_Lines;
};

std::ostream& operator<<(std::ostream& os, const ReportLine& line);

// A folder of its own under the system's temporary folder, removed at the end.
class CTempDir {
public:
    CTempDir();
    ~CTempDir();
    const std::filesystem::path& Path() const { return m_Path; }
    // Writes bytes as they are (binary) and gives the file's path.
    std::string Write(const std::string& name, const std::string& bytes) const;

private:
    std::filesystem::path m_Path;
};

// Builds image text.
std::string HexRecord(uint8_t type, uint16_t address, const std::vector<uint8_t>& data);
std::string HexData(uint16_t address, const std::vector<uint8_t>& data);
std::string HexExtLinear(uint16_t upper);
std::string SRecord(int type, uint32_t address, const std::vector<uint8_t>& data);
inline const char* HEX_END = ":00000001FF\n";

// A 50-byte firmware-information record followed by its marker.
std::vector<uint8_t> FwInfoBytes(const char* name, uint32_t kind, uint32_t address, const char* device,
                                 bool bigEndian = false);

// Intel HEX text of a byte image at a base address, 16 bytes a line, with
// type-04 records where the upper address changes.
std::string HexImage(uint32_t base, const std::vector<uint8_t>& bytes);

} // namespace flashtest

#include "flash/FlashProg.h"

namespace flashtest {

// The programmer with its inner steps and state open to the tests.
class CTestFlashProg : public CFlashProg {
public:
    using CFlashProg::AllocRange;
    using CFlashProg::CopyToRange;
    using CFlashProg::FindFwInfoOnFlash;
    using CFlashProg::ListFwInfo;
    using CFlashProg::LoadImage;
    using CFlashProg::PrepareRange;
    using CFlashProg::ReadRange;
    using CFlashProg::SetRange;
    using CFlashProg::WriteRange;

    bool SectorsKnown() const { return m_bSectorsKnown != 0; }
    bool RangeValid() const { return m_bRangeValid != 0; }
    uint16_t FirstSector() const { return m_wFirstSector; }
    uint16_t EndSector() const { return m_wEndSector; }
    uint32_t FirstOffset() const { return m_dwFirstOffset; }
    uint32_t StartOffset() const { return m_dwStartOffset; }
    uint32_t RangeSize() const { return m_dwRangeSize; }
    bool UseBase() const { return m_bUseBase != 0; }
    uint32_t Base() const { return m_dwBase; }
    bool HasImage() const { return m_pImage != nullptr; }
    CImageFile* Image() const { return m_pImage; }
    bool HasRangeBuffers() const { return m_pRangeBuf != nullptr || m_pFlashCopy != nullptr; }
    const uint8_t* RangeBuffer() const { return m_pRangeBuf; }
};

} // namespace flashtest
