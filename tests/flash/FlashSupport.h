// Helpers of the flash tests: the bench's FLD object, report lines, images
// and temporary files.
#pragma once

#include "device/KazApi.h"
#include "flash/FlashProg.h"
#include "flash/ImageFile.h"
#include "frame/Reporter.h"
#include "kazsim/Bench.h"
#include "device/SimSupport.h"
#include "support/HexLine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace flashtest {

// A bench of one board with this flash; its FLD object, as the controller
// fetches it (the caller holds the one reference).
inline IKazFlashLoader* BenchFld(std::vector<uint32_t> sectors, uint32_t base = 0)
{
    kazsim::BenchDesc desc = kazsim::BenchDesc::Default();
    desc.Boards[0].State = kazsim::STATE_FLASH_LOADER;
    desc.Boards[0].Flash.SectorSizes = std::move(sectors);
    desc.Boards[0].Flash.BaseAddress = base;
    kazsim::Bench::Reset(desc);
    InitializeServer(); // as kzmInitialize does before any mode
    return kztest::OpenModeObject<IKazFlashLoader>(0, KAZ_CLSID_FLD, KAZ_IID_FLD);
}

inline std::vector<uint8_t> Flash()
{
    return kazsim::Bench::FlashContents(0);
}

// The programmer with its inner steps and range open to the tests.
class CTestFlashProg : public CFlashProg {
public:
    using CFlashProg::FindFwInfoOnFlash;
    using CFlashProg::SetRange;
    uint16_t FirstSector() const { return m_wFirstSector; }
    uint16_t EndSector() const { return m_wEndSector; }
    uint32_t FirstOffset() const { return m_dwFirstOffset; }
};

// Every report line, from construction on.
struct ReportLine {
    uint8_t Kind;
    std::string Text;
    bool operator==(const ReportLine&) const = default;
};
inline std::ostream& operator<<(std::ostream& os, const ReportLine& l)
{
    return os << int(l.Kind) << " \"" << l.Text << '"';
}

class CReportRecorder {
public:
    CReportRecorder()
    {
        CReporter::Get()->SetCallback(this, &Callback);
        Lines.clear();
    }
    ~CReportRecorder()
    {
        CReporter::Get()->SetCallback(nullptr, [](void*, uint8_t, const char*) {});
    }
    std::vector<ReportLine> Lines;

private:
    static void Callback(void* self, uint8_t kind, const char* text)
    {
        if (self != nullptr)
            static_cast<CReportRecorder*>(self)->Lines.push_back({kind, text});
    }
};

// A file of its own in the temporary folder, removed at the end.
class CTempFile {
public:
    explicit CTempFile(const std::string& text)
    {
        static int counter = 0;
        m_Path = (std::filesystem::temp_directory_path() /
                  ("kzm_flash_" + std::to_string(getpid()) + "_" + std::to_string(counter++) + ".hex"))
                     .string();
        std::ofstream(m_Path, std::ios::binary) << text;
    }
    ~CTempFile() { std::remove(m_Path.c_str()); }
    const char* Path() const { return m_Path.c_str(); }

private:
    std::string m_Path;
};

// A 50-byte firmware-information record followed by its marker.
inline std::vector<uint8_t> FwInfoBytes(const char* name, uint32_t kind, uint32_t address, const char* device = "KZ")
{
    FW_INFO info{};
    info.Version[0] = 1;
    info.Kind = kind;
    info.Address = address;
    std::snprintf(info.Name, sizeof(info.Name), "%s", name);
    std::snprintf(info.Device, sizeof(info.Device), "%s", device);
    std::vector<uint8_t> bytes(sizeof(info) + 9);
    std::memcpy(bytes.data(), &info, sizeof(info));
    std::memcpy(bytes.data() + sizeof(info), "$FW-INFO$", 9);
    return bytes;
}

struct Block {
    uint32_t Start, End;
    std::vector<uint8_t> Bytes;
    bool operator==(const Block&) const = default;
};
inline std::ostream& operator<<(std::ostream& os, const Block& b)
{
    return os << "[" << std::hex << b.Start << ", " << b.End << ")" << std::dec;
}

inline std::vector<Block> BlocksOf(CImageFile& image)
{
    std::vector<Block> blocks;
    for (uint32_t i = 0; i < image.GetBlockCount(); ++i) {
        uint32_t s = 0, e = 0;
        const uint8_t* d = nullptr;
        image.GetBlock(i, &s, &e, &d);
        blocks.push_back({s, e, std::vector<uint8_t>(d, d + (e - s))});
    }
    return blocks;
}

struct Loaded {
    KZMRESULT Result;
    std::vector<Block> Blocks;
};

// Loads the text from memory and from a file; both must agree.
inline Loaded LoadText(const std::string& text)
{
    CImageFile fromMemory, fromFile;
    const KZMRESULT memory = fromMemory.LoadMemory(text.data(), text.size());
    CTempFile file(text);
    const KZMRESULT disk = fromFile.Load(file.Path());
    EXPECT_EQ(memory, disk);
    Loaded loaded{disk, disk == 0 ? BlocksOf(fromFile) : std::vector<Block>{}};
    EXPECT_EQ(loaded.Blocks, memory == 0 ? BlocksOf(fromMemory) : std::vector<Block>{});
    return loaded;
}

} // namespace flashtest
