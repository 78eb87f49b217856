// The flash loader object: layout, whole-sector operations and NOR semantics.
#include "SimTestSupport.h"

using namespace simtest;
using kazsim::Bench;

namespace {

class FlashTest : public BenchTest {
protected:
    void SetUp() override
    {
        kazsim::BenchDesc desc = kazsim::BenchDesc::Default();
        desc.Boards[0].State = kazsim::STATE_FLASH_LOADER;
        desc.Boards[0].Flash.BaseAddress = 0x00F00000;
        Bench::Reset(desc);
        m_Fld = static_cast<IKazFlashLoader*>(OpenMode(Bench::BoardInfo(0).DeviceId, CLSID_FLD, IID_FLD));
        ASSERT_NE(m_Fld, nullptr);
    }
    void TearDown() override
    {
        if (m_Fld)
            m_Fld->Release();
        BenchTest::TearDown();
    }
    IKazFlashLoader* m_Fld = nullptr;
};

} // namespace

TEST_F(FlashTest, NothingWorksBeforeExecuteOrAfterStop)
{
    FLASH_INFO info = {};
    SECTOR_INFO sector = {};
    EXPECT_EQ(m_Fld->GetFlashInfo(&info), kazsim::SIM_E_NOT_READY);
    EXPECT_EQ(m_Fld->EraseSector(MakeSectorAddr(0)), kazsim::SIM_E_NOT_READY);
    ASSERT_EQ(m_Fld->Execute(0, 0), 0u);
    EXPECT_EQ(m_Fld->GetSectorInfo(MakeSectorAddr(0), &sector), 0u);
    ASSERT_EQ(m_Fld->Stop(), 0u);
    EXPECT_EQ(m_Fld->GetSectorInfo(MakeSectorAddr(0), &sector), kazsim::SIM_E_NOT_READY);
}

TEST_F(FlashTest, LayoutMatchesTheDescription)
{
    ASSERT_EQ(m_Fld->Execute(0, 0), 0u);
    FLASH_INFO info = {};
    ASSERT_EQ(m_Fld->GetFlashInfo(&info), 0u);
    EXPECT_EQ(info.SectorCount, 8u);
    EXPECT_EQ(info.BaseAddress, 0x00F00000u);
    EXPECT_EQ(info.Word4, 0x0001u);
    EXPECT_EQ(info.Word6, 0x22F6u);
    EXPECT_EQ(info.Word10, 0x0010u);
    const uint32_t sizes[] = {0x4000, 0x4000, 0x4000, 0x4000, 0x10000, 0x20000, 0x20000, 0x20000};
    uint32_t offset = 0;
    for (uint16_t i = 0; i < 8; ++i) {
        SECTOR_INFO sector = {};
        ASSERT_EQ(m_Fld->GetSectorInfo(MakeSectorAddr(i), &sector), 0u);
        EXPECT_EQ(sector.Size, sizes[i]);
        EXPECT_EQ(sector.Offset, offset);
        offset += sizes[i];
    }
    SECTOR_INFO sector = {};
    EXPECT_EQ(m_Fld->GetSectorInfo(MakeSectorAddr(8), &sector), kazsim::SIM_E_INVALIDARG);
    EXPECT_EQ(m_Fld->GetSectorInfo(MakeSectorAddr(1) | 4, &sector), kazsim::SIM_E_INVALIDARG);
    EXPECT_EQ(Bench::FlashContents(0).size(), 0x80000u);
}

TEST_F(FlashTest, ProgrammingOnlyClearsBits)
{
    ASSERT_EQ(m_Fld->Execute(0, 0), 0u);
    const uint16_t number = 5; // 128 KiB at 0x20000
    std::vector<uint8_t> data(0x20000, 0xF0);
    data[0] = 0x12;
    ASSERT_EQ(m_Fld->WriteSector(MakeSectorAddr(number), data.data(), 0x20000), 0u);
    std::vector<uint8_t> flash = Bench::FlashContents(0);
    EXPECT_EQ(flash[0x1FFFF], 0xFF); // the sector before is untouched
    EXPECT_EQ(flash[0x20000], 0x12);
    EXPECT_EQ(flash[0x3FFFF], 0xF0);
    EXPECT_EQ(flash[0x40000], 0xFF);

    // Writing again without an erase shows: 0xF0 & 0x0F.
    std::fill(data.begin(), data.end(), 0x0F);
    ASSERT_EQ(m_Fld->WriteSector(MakeSectorAddr(number), data.data(), 0x20000), 0u);
    std::vector<uint8_t> back(0x20000);
    ASSERT_EQ(m_Fld->ReadSector(MakeSectorAddr(number), back.data(), 0x20000), 0u);
    EXPECT_EQ(back[1], 0x00);
    EXPECT_EQ(back[0], 0x02);

    ASSERT_EQ(m_Fld->EraseSector(MakeSectorAddr(number)), 0u);
    ASSERT_EQ(m_Fld->ReadSector(MakeSectorAddr(number), back.data(), 0x20000), 0u);
    EXPECT_EQ(std::count(back.begin(), back.end(), 0xFF), 0x20000);
}

TEST_F(FlashTest, WholeSectorsOnly)
{
    ASSERT_EQ(m_Fld->Execute(0, 0), 0u);
    std::vector<uint8_t> buffer(0x10000, 0);
    EXPECT_EQ(m_Fld->ReadSector(MakeSectorAddr(0), buffer.data(), 0x3FFF), kazsim::SIM_E_INVALIDARG);
    EXPECT_EQ(m_Fld->ReadSector(MakeSectorAddr(0), buffer.data(), 0x4001), kazsim::SIM_E_INVALIDARG);
    EXPECT_EQ(m_Fld->WriteSector(MakeSectorAddr(4), buffer.data(), 0x4000), kazsim::SIM_E_INVALIDARG);
    EXPECT_EQ(m_Fld->ReadSector(MakeSectorAddr(0), nullptr, 0x4000), kazsim::SIM_E_POINTER);
    EXPECT_EQ(m_Fld->EraseSector(MakeSectorAddr(9)), kazsim::SIM_E_INVALIDARG);
    // Refused writes changed nothing.
    std::vector<uint8_t> flash = Bench::FlashContents(0);
    EXPECT_EQ(std::count(flash.begin(), flash.end(), 0xFF), static_cast<std::ptrdiff_t>(flash.size()));
}

TEST_F(FlashTest, ContentSetByTheBenchIsReadBack)
{
    Bench::SetFlash(0, 0x4000 - 2, {0xA1, 0xA2, 0xA3, 0xA4});
    ASSERT_EQ(m_Fld->Execute(0, 0), 0u);
    std::vector<uint8_t> buffer(0x4000);
    ASSERT_EQ(m_Fld->ReadSector(MakeSectorAddr(1), buffer.data(), 0x4000), 0u);
    EXPECT_EQ(buffer[0], 0xA3);
    EXPECT_EQ(buffer[1], 0xA4);
    EXPECT_EQ(buffer[2], 0xFF);
    EXPECT_THROW(Bench::SetFlash(0, 0x7FFFF, {1, 2}), std::out_of_range);
}

TEST_F(FlashTest, FlashOutlivesRestartsButTheObjectDoesNot)
{
    ASSERT_EQ(m_Fld->Execute(0, 0), 0u);
    std::vector<uint8_t> data(0x4000, 0x5A);
    ASSERT_EQ(m_Fld->WriteSector(MakeSectorAddr(2), data.data(), 0x4000), 0u);
    Bench::Restart(0, kazsim::STATE_FLASH_LOADER);
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(m_Fld->EraseSector(MakeSectorAddr(2)), kazsim::SIM_E_GONE);
    auto* fresh = static_cast<IKazFlashLoader*>(OpenMode(Bench::BoardInfo(0).DeviceId, CLSID_FLD, IID_FLD));
    ASSERT_NE(fresh, nullptr);
    ASSERT_EQ(fresh->Execute(0, 0), 0u);
    std::vector<uint8_t> back(0x4000);
    ASSERT_EQ(fresh->ReadSector(MakeSectorAddr(2), back.data(), 0x4000), 0u);
    EXPECT_EQ(back, data);
    fresh->Release();
}
