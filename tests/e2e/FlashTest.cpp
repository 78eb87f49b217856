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

// 600 bytes from address 0 with a firmware-information record at 200, as an
// Intel-HEX file.
std::string WriteImage(std::vector<uint8_t>& image, FW_INFO& info)
{
    image.resize(600);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 7 + 3);
    info = FW_INFO{};
    std::memcpy(info.Version, "\1\2\3\4", 4);
    std::strcpy(info.Name, "E2E-FW");
    std::strcpy(info.Device, "KZ-BENCH");
    info.DeviceVersion[0] = 9;
    std::memcpy(image.data() + 200, &info, sizeof(info));
    std::memcpy(image.data() + 250, "$FW-INFO$", 9);
    std::string path = (std::filesystem::temp_directory_path() /
                        ("kazmir-e2e-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + ".hex"))
                           .string();
    std::ofstream out(path, std::ios::binary);
    auto hex = [&out](size_t byte) {
        char text[4];
        std::snprintf(text, sizeof(text), "%02X", static_cast<unsigned>(byte & 0xFF));
        out << text;
    };
    for (size_t offset = 0; offset < image.size(); offset += 16) {
        const size_t count = std::min<size_t>(16, image.size() - offset);
        size_t sum = count + (offset >> 8) + offset;
        out << ':';
        for (size_t byte : {count, offset >> 8, offset, size_t{0}})
            hex(byte);
        for (size_t i = offset; i < offset + count; sum += image[i++])
            hex(image[i]);
        hex(0x100 - (sum & 0xFF));
        out << '\n';
    }
    out << ":00000001FF\n";
    return path;
}

TEST_F(E2eTest, FlashThroughTheExports)
{
    int board = AddBoard(1);
    ASSERT_EQ(kzmFLDinit(TIMEOUT_MS, DEVICE_ID_ANY, nullptr), 0u);
    std::vector<uint8_t> image;
    FW_INFO info;
    const std::string path = WriteImage(image, info);
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

} // namespace
