// Program, verify, erase and the firmware-information scan through the
// exports, checked against the bench's flash.
#include "E2eFixture.h"
#include "support/HexLine.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

using namespace e2e;

// A firmware-information record: version 1.2.3.4, device version 9.0.0.0.
FW_INFO Info(const char* name, uint32_t kind, uint32_t address, const char* device = "KZ-BENCH")
{
    FW_INFO info{};
    std::memcpy(info.Version, "\1\2\3\4", 4);
    info.Kind = kind;
    info.Address = address;
    std::memcpy(info.Name, name, std::min(std::strlen(name) + 1, sizeof(info.Name)));
    std::strcpy(info.Device, device);
    info.DeviceVersion[0] = 9;
    return info;
}

// size bytes of a pattern with the record at offset 200 and its marker after it.
std::vector<uint8_t> ImageWith(const FW_INFO& info, size_t size = 600)
{
    std::vector<uint8_t> image(size);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 7 + 3);
    std::memcpy(image.data() + 200, &info, sizeof(info));
    std::memcpy(image.data() + 250, "$FW-INFO$", 9);
    return image;
}

// The bytes at an address (within one 64 KiB page) as an Intel-HEX file of
// the test's own; its path.
std::string WriteHex(uint32_t address, const std::vector<uint8_t>& bytes)
{
    static int files = 0;
    const std::string path =
        (std::filesystem::temp_directory_path() /
         ("kazmir-e2e-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
          ::testing::UnitTest::GetInstance()->current_test_info()->name() + std::to_string(files++) + ".hex"))
            .string();
    std::ofstream(path, std::ios::binary) << HexImage(address, bytes);
    return path;
}

TEST_F(E2eTest, FlashThroughTheExports)
{
    int board = AddBoard(1);
    ASSERT_EQ(kzmFLDinit(TIMEOUT_MS, DEVICE_ID_ANY, nullptr), 0u);
    const FW_INFO info = Info("E2E-FW", 0, 0);
    const std::vector<uint8_t> image = ImageWith(info);
    const std::string path = WriteHex(0, image);
    auto flash = [board](size_t offset, size_t count) {
        std::vector<uint8_t> all = kazsim::Bench::FlashContents(board);
        return std::vector<uint8_t>(all.begin() + offset, all.begin() + offset + count);
    };

    FW_INFO found;
    std::memset(&found, 0xEE, sizeof(found));
    EXPECT_EQ(kzmFLDscanFwInfo(&found), 0u);
    EXPECT_EQ(found.Kind, 0xEEEEEEEEu) << "an erased flash has no record; the output stays";
    kazsim::ClearCallLog();
    EXPECT_EQ(kzmFLDprogram("/nonexistent/image.hex"), KZM_E_FAIL);
    for (const kazsim::Call& call : kazsim::CallLog())
        EXPECT_NE(call.Name.rfind("Fld.", 0), 0u) << call.Name;

    kazsim::Bench::SetFlash(board, 0x3000, std::vector<uint8_t>(16, 0xAB));
    kazsim::Bench::SetFlash(board, 0x4000, std::vector<uint8_t>(16, 0xCD)); // sector 1
    g_Reports.clear();
    ASSERT_EQ(kzmFLDprogram(path.c_str()), 0u);
    EXPECT_EQ(flash(0, image.size()), image);
    EXPECT_EQ(flash(image.size(), 16), std::vector<uint8_t>(16, 0xFF));
    EXPECT_EQ(flash(0x3000, 16), std::vector<uint8_t>(16, 0xAB)) << "read-modify-write lost a byte";
    EXPECT_EQ(flash(0x4000, 16), std::vector<uint8_t>(16, 0xCD)) << "a sector outside the range was touched";
    EXPECT_TRUE(std::any_of(g_Reports.begin(), g_Reports.end(), [](const Report& r) {
        return r.Text == "        E2E-FW\tV01.02.03.04 \tFLASH \t< KZ-BENCH V09.00.00.00 >";
    }));

    EXPECT_EQ(kzmFLDverify(path.c_str()), 0u);
    kazsim::Bench::SetFlash(board, 0x1000, {0x00}); // outside the image, inside the range
    EXPECT_EQ(kzmFLDverify(path.c_str()), 0u);
    EXPECT_EQ(kzmFLDscanFwInfo(&found), 0u);
    EXPECT_EQ(std::memcmp(&found, &info, sizeof(FW_INFO)), 0);
    kazsim::Bench::SetFlash(board, 599, {static_cast<uint8_t>(~image[599])});
    EXPECT_EQ(kzmFLDverify(path.c_str()), KZM_E_VERIFY);

    g_Reports.clear();
    EXPECT_EQ(kzmFLDerase(), 0u);
    EXPECT_EQ(flash(0, 0x4000), std::vector<uint8_t>(0x4000, 0xFF));
    ASSERT_EQ(g_Reports.size(), 2u);
    EXPECT_EQ(g_Reports[0].Text, "    erase sector 00/01 ");
    EXPECT_EQ(g_Reports[1].Text, "    erase sector 00/01 OK");
    ResetAndExpectNothingLeft(Mode::Fld);
    std::filesystem::remove(path);
}

// The firmware-information record on a flash with a base: a big-endian
// record places the image by its converted address, the scan gives the
// record's bytes as they stand, and every kind gets its listing line.
TEST_F(E2eTest, FirmwareInformationOnAFlashWithABase)
{
    kazsim::BoardDesc desc = Board(1);
    desc.Flash.SectorSizes.assign(4, 0x4000);
    desc.Flash.BaseAddress = 0x08000000;
    const int board = kazsim::Bench::AddBoard(desc);
    ASSERT_EQ(kzmFLDinit(TIMEOUT_MS, DEVICE_ID_ANY, nullptr), 0u);
    FW_INFO bigEndian = Info("BE-FW", 0, 0x00400008, "eMB-K 740"); // 0x08004000 read big-endian
    const std::vector<uint8_t> image = ImageWith(bigEndian);
    const std::string path = WriteHex(0x08004000, image);
    ASSERT_EQ(kzmFLDprogram(path.c_str()), 0u);
    const std::vector<uint8_t> flash = kazsim::Bench::FlashContents(board);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin() + 0x4000));
    EXPECT_EQ(flash[0x4000 + image.size()], 0xFF);
    FW_INFO found{};
    EXPECT_EQ(kzmFLDscanFwInfo(&found), 0u);
    EXPECT_EQ(std::memcmp(&found, &bigEndian, sizeof(found)), 0) << "the scan converts nothing";
    const std::string I = "        ";
    const struct {
        FW_INFO Record;
        std::string Listing; // "" none
    } cases[] = {
        {bigEndian, I + "BE-FW\tV01.02.03.04 \tFLASH \t< eMB-K 740 V09.00.00.00 >"},
        {Info("BOOT-FW", 0x80, 0), I + "BOOT-FW\tV01.02.03.04 \tFLASH (BOOT) \t< KZ-BENCH V09.00.00.00 >"},
        {Info("RAM-FW", 1, 0), I + "RAM-FW\tV01.02.03.04 \tRAM \t< KZ-BENCH V09.00.00.00 >"},
        {Info("\0HIDDEN", 0, 0x08004000), ""},
    };
    for (const auto& c : cases) {
        const std::string file = WriteHex(0x08004000, ImageWith(c.Record));
        g_Reports.clear();
        kzmFLDverify(file.c_str());
        std::vector<std::string> lines;
        for (const Report& r : g_Reports)
            if (r.Kind == REPORT_MESSAGE)
                lines.push_back(r.Text);
        std::vector<std::string> expected = {"Scan file ...", "    Firmware informations ( in the hexfile) ..."};
        if (!c.Listing.empty())
            expected.push_back(c.Listing);
        EXPECT_EQ(lines, expected);
        std::filesystem::remove(file);
    }
    ResetAndExpectNothingLeft(Mode::Fld);
    std::filesystem::remove(path);
}

} // namespace
