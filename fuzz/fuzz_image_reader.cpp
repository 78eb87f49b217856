// libFuzzer target for the firmware image reader: every input is read from
// memory, through a real file and with an observer, the readings must agree, the blocks
// must keep their invariants, and the image is programmed and verified on a
// small in-memory flash.
#include "device/KazApi.h"
#include "flash/FlashProg.h"
#include "flash/ImageFile.h"
#include "flash/ImageReader.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Block {
    uint32_t Start, End;
    const uint8_t* Data;
};

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "fuzz_image_reader: %s\n", what);
    std::abort();
}

std::vector<Block> Blocks(CImageFile& image)
{
    std::vector<Block> blocks;
    for (uint32_t i = 0; i < image.GetBlockCount(); ++i) {
        Block block{};
        if (image.GetBlock(i, &block.Start, &block.End, &block.Data) != 0)
            Fail("GetBlock failed below the block count");
        blocks.push_back(block);
    }
    return blocks;
}

void CheckInvariants(CImageFile& image)
{
    std::vector<Block> blocks = Blocks(image);
    if (blocks.empty())
        Fail("a loaded image without blocks");
    uint32_t lowest = 0xFFFFFFFF, highest = 0;
    volatile uint32_t sum = 0;
    for (const Block& b : blocks) {
        if (b.Start >= b.End || b.Data == nullptr)
            Fail("an empty block or one without bytes");
        for (uint32_t i = 0; i < b.End - b.Start; ++i)
            sum = sum + b.Data[i]; // every byte must be readable
        lowest = std::min(lowest, b.Start);
        highest = std::max(highest, b.End);
    }
    std::sort(blocks.begin(), blocks.end(), [](const Block& a, const Block& b) { return a.Start < b.Start; });
    for (size_t i = 1; i < blocks.size(); ++i)
        if (blocks[i - 1].End >= blocks[i].Start)
            Fail("blocks overlap or touch");
    if (image.GetLowestAddress() != lowest || image.GetHighestAddress() != highest)
        Fail("lowest or highest address wrong");
    FW_INFO info;
    image.GetFwInfo(&info);
}

// A flash of four 256-byte sectors at a base address.
class CSmallFlash : public IKazFlashLoader {
public:
    explicit CSmallFlash(uint32_t base) : m_dwBase(base) { std::memset(m_Flash, 0xFF, sizeof(m_Flash)); }
    KZRESULT QueryInterface(const GUID*, void**) override { return 0x80004002; }
    uint32_t AddRef() override { return 2; }
    uint32_t Release() override { return 1; }
    KZRESULT Reserved3() override { return 0x80004001; }
    KZRESULT Reserved4() override { return 0x80004001; }
    KZRESULT Execute(uint32_t, uint32_t) override { return 0; }
    KZRESULT Stop() override { return 0; }
    KZRESULT GetFlashInfo(FLASH_INFO* info) override
    {
        std::memset(info, 0, sizeof(*info));
        info->SectorCount = SECTORS;
        info->BaseAddress = m_dwBase;
        return 0;
    }
    KZRESULT GetSectorInfo(SECTOR_ADDR, SECTOR_INFO* info) override
    {
        info->Size = SECTOR_SIZE;
        info->Reserved = 0;
        return 0;
    }
    KZRESULT EraseSector(SECTOR_ADDR sector) override
    {
        std::memset(At(sector), 0xFF, SECTOR_SIZE);
        return 0;
    }
    KZRESULT ReadSector(SECTOR_ADDR sector, uint8_t* buffer, uint32_t size) override
    {
        if (size != SECTOR_SIZE)
            Fail("partial sector read");
        std::memcpy(buffer, At(sector), size);
        return 0;
    }
    KZRESULT WriteSector(SECTOR_ADDR sector, const uint8_t* data, uint32_t size) override
    {
        if (size != SECTOR_SIZE)
            Fail("partial sector write");
        std::memcpy(At(sector), data, size);
        return 0;
    }

private:
    static constexpr uint32_t SECTORS = 4;
    static constexpr uint32_t SECTOR_SIZE = 256;
    uint8_t* At(SECTOR_ADDR sector)
    {
        if ((sector >> 16) >= SECTORS || (sector & 0xFFFF) != 0)
            Fail("sector out of range");
        return m_Flash + (sector >> 16) * SECTOR_SIZE;
    }
    uint32_t m_dwBase;
    uint8_t m_Flash[SECTORS * SECTOR_SIZE];
};

// Watches a load: lines come in order, never longer than the line buffer,
// and records only from lines the reader took as records.
class CLineCheck final : public IImageObserver {
public:
    void OnLine(const LINE& line) override
    {
        if (line.dwNumber < m_dwLast || line.qwOffset < m_qwOffset)
            Fail("observed lines go back");
        if (line.dwLength > 4095)
            Fail("an observed line is longer than the line buffer");
        m_dwLast = line.dwNumber;
        m_qwOffset = line.qwOffset;
        m_dwKind = line.dwKind;
    }
    void OnRecord(const LINE& line, const RECORD_DATA& record) override
    {
        if (line.dwKind != LINE_RECORD || m_dwKind != LINE_RECORD || record.dwCount == 0 || record.dwCount > 255)
            Fail("a data record from a line that is no record");
    }
    bool WantsUnreadLines() const override { return true; }

private:
    uint32_t m_dwLast = 0, m_dwKind = 0;
    uint64_t m_qwOffset = 0;
};

const std::string& TempPath()
{
    static const std::string path =
        (std::filesystem::temp_directory_path() / ("kzm_fuzz_image_" + std::to_string(::getpid()) + ".hex")).string();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CImageFile fromMemory;
    const KZMRESULT memoryResult = fromMemory.LoadMemory(data, size);

    std::FILE* file = std::fopen(TempPath().c_str(), "wb");
    if (file == nullptr)
        return 0;
    if (size != 0)
        std::fwrite(data, 1, size, file);
    std::fclose(file);
    CImageFile fromFile;
    const KZMRESULT fileResult = fromFile.Load(TempPath().c_str());

    if (memoryResult != fileResult)
        Fail("file and memory readings disagree on the result");
    CImageFile observed;
    CLineCheck check;
    observed.SetObserver(&check);
    if (observed.LoadMemory(data, size) != memoryResult ||
        (memoryResult == 0 && observed.GetBlockCount() != fromMemory.GetBlockCount()))
        Fail("an observed reading differs from the plain one");
    if (fileResult == 0) {
        CheckInvariants(fromFile);
        const std::vector<Block> a = Blocks(fromMemory), b = Blocks(fromFile);
        if (a.size() != b.size())
            Fail("file and memory readings disagree on the blocks");
        for (size_t i = 0; i < a.size(); ++i)
            if (a[i].Start != b[i].Start || a[i].End != b[i].End ||
                std::memcmp(a[i].Data, b[i].Data, a[i].End - a[i].Start) != 0)
                Fail("file and memory readings disagree on a block");
    }

    // Place, program and verify on flashes with and without a base address.
    for (uint32_t base : {0u, 0x08000000u}) {
        CSmallFlash flash(base);
        CFlashProg prog;
        prog.Open(&flash);
        const KZMRESULT programmed = prog.Program(TempPath().c_str());
        const KZMRESULT verified = prog.Verify(TempPath().c_str());
        if (programmed == 0 && verified != 0)
            Fail("a programmed image does not verify");
        prog.Close();
    }
    return 0;
}
