// Program, verify, erase and the firmware-information scan through the
// exports, checked against the bench's flash.
#include "E2eFixture.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

using namespace e2e;

std::string HexRecord(uint8_t type, uint16_t address, const uint8_t* data, size_t count)
{
    char buffer[16];
    std::string line = ":";
    uint8_t sum = static_cast<uint8_t>(count + (address >> 8) + (address & 0xFF) + type);
    std::snprintf(buffer, sizeof(buffer), "%02X%04X%02X", static_cast<unsigned>(count), address, type);
    line += buffer;
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(buffer, sizeof(buffer), "%02X", data[i]);
        line += buffer;
        sum = static_cast<uint8_t>(sum + data[i]);
    }
    std::snprintf(buffer, sizeof(buffer), "%02X\n", static_cast<uint8_t>(-sum) & 0xFF);
    return line + buffer;
}

// An image from address 0 with a firmware-information record inside.
std::vector<uint8_t> MakeImage(FW_INFO* info)
{
    std::vector<uint8_t> image(600);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 7 + 3);
    std::memset(info, 0, sizeof(*info));
    const uint8_t version[4] = {1, 2, 3, 4};
    std::memcpy(info->Version, version, 4);
    info->Kind = 0;
    info->Address = 0;
    std::strcpy(info->Name, "E2E-FW");
    std::strcpy(info->Device, "KZ-BENCH");
    info->DeviceVersion[0] = 9;
    std::memcpy(image.data() + 200, info, sizeof(*info));
    std::memcpy(image.data() + 250, "$FW-INFO$", 9);
    return image;
}

std::string WriteHex(const std::vector<uint8_t>& image)
{
    std::string path = (std::filesystem::temp_directory_path() /
                        ("kazmir-e2e-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                         ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".hex"))
                           .string();
    std::ofstream out(path, std::ios::binary);
    for (size_t offset = 0; offset < image.size(); offset += 16) {
        size_t count = std::min<size_t>(16, image.size() - offset);
        out << HexRecord(0, static_cast<uint16_t>(offset), image.data() + offset, count);
    }
    out << ":00000001FF\n";
    return path;
}

class FlashE2e : public E2eTest {
protected:
    void SetUp() override
    {
        E2eTest::SetUp();
        m_Board = AddBoard(1);
        ASSERT_EQ(kzmFLDinit(TIMEOUT_MS, DEVICE_ID_ANY, nullptr), 0u);
        m_Image = MakeImage(&m_Info);
        m_Path = WriteHex(m_Image);
        Reports().clear();
    }
    void TearDown() override
    {
        EXPECT_EQ(kzmFLDreset(), 0u);
        ExpectNothingLeft();
        std::filesystem::remove(m_Path);
    }
    std::vector<uint8_t> Flash(size_t offset, size_t count)
    {
        std::vector<uint8_t> all = kazsim::Bench::FlashContents(m_Board);
        return std::vector<uint8_t>(all.begin() + offset, all.begin() + offset + count);
    }

    int m_Board = -1;
    FW_INFO m_Info = {};
    std::vector<uint8_t> m_Image;
    std::string m_Path;
};

TEST_F(FlashE2e, ProgramKeepsTheRestOfTheSectorAndVerifies)
{
    kazsim::Bench::SetFlash(m_Board, 0x3000, std::vector<uint8_t>(16, 0xAB));
    kazsim::Bench::SetFlash(m_Board, 0x4000, std::vector<uint8_t>(16, 0xCD)); // sector 1

    ASSERT_EQ(kzmFLDprogram(m_Path.c_str()), 0u);
    EXPECT_EQ(Flash(0, m_Image.size()), m_Image);
    EXPECT_EQ(Flash(m_Image.size(), 16), std::vector<uint8_t>(16, 0xFF));
    EXPECT_EQ(Flash(0x3000, 16), std::vector<uint8_t>(16, 0xAB)) << "read-modify-write lost a byte";
    EXPECT_EQ(Flash(0x4000, 16), std::vector<uint8_t>(16, 0xCD)) << "a sector outside the range was touched";
    EXPECT_EQ(kzmFLDverify(m_Path.c_str()), 0u);

    bool listed = false;
    for (const Report& report : Reports())
        listed = listed || report.Text == "        E2E-FW\tV01.02.03.04 \tFLASH \t< KZ-BENCH V09.00.00.00 >";
    EXPECT_TRUE(listed);
}

TEST_F(FlashE2e, VerifySeesChangesInsideTheImageOnly)
{
    ASSERT_EQ(kzmFLDprogram(m_Path.c_str()), 0u);
    kazsim::Bench::SetFlash(m_Board, 0x1000, {0x00}); // outside the image, inside the range
    EXPECT_EQ(kzmFLDverify(m_Path.c_str()), 0u);
    kazsim::Bench::SetFlash(m_Board, 17, {static_cast<uint8_t>(~m_Image[17])});
    EXPECT_EQ(kzmFLDverify(m_Path.c_str()), KZM_E_VERIFY);
}

TEST_F(FlashE2e, ScanFindsTheRecordAndEraseClearsSectorZero)
{
    FW_INFO found;
    std::memset(&found, 0xEE, sizeof(found));
    EXPECT_EQ(kzmFLDscanFwInfo(&found), 0u);
    EXPECT_EQ(found.Kind, 0xEEEEEEEEu) << "an erased flash has no record; the output stays";

    ASSERT_EQ(kzmFLDprogram(m_Path.c_str()), 0u);
    EXPECT_EQ(kzmFLDscanFwInfo(&found), 0u);
    EXPECT_EQ(std::memcmp(&found, &m_Info, sizeof(FW_INFO)), 0);

    Reports().clear();
    EXPECT_EQ(kzmFLDerase(), 0u);
    EXPECT_EQ(Flash(0, 0x4000), std::vector<uint8_t>(0x4000, 0xFF));
    ASSERT_EQ(Reports().size(), 2u);
    EXPECT_EQ(Reports()[0].Text, "    erase sector 00/01 ");
    EXPECT_EQ(Reports()[1].Text, "    erase sector 00/01 OK");
    EXPECT_EQ(kzmFLDverify(m_Path.c_str()), KZM_E_VERIFY);
}

TEST_F(FlashE2e, MissingFileIsRefusedAndTouchesNoSector)
{
    kazsim::ClearCallLog();
    EXPECT_EQ(kzmFLDprogram("/nonexistent/image.hex"), KZM_E_FAIL);
    for (const kazsim::Call& call : kazsim::CallLog())
        EXPECT_NE(call.Name.rfind("Fld.", 0), 0u) << call.Name;
}

} // namespace
