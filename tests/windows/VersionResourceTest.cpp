// The version resource of KAZMIR.dll, read the way Explorer and installers
// read it (version.dll), against the project version the build was made with.
#include "KazmirModule.h"

#include <winver.h>

#include <cstdio>

using namespace hosttest;

namespace {

// KAZMIR_VERSION_MAJOR/MINOR/PATCH and KAZMIR_VERSION_TEXT come from the
// project version in CMakeLists.txt.
class VersionResource : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(m_Kazmir.Handle(), nullptr);
        std::string path = m_Kazmir.Path();
        DWORD ignored = 0;
        DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
        ASSERT_GT(size, 0u) << path << " has no version resource (" << GetLastError() << ")";
        m_Block.resize(size);
        ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, m_Block.data()));
    }

    std::string Text(const char* name)
    {
        char query[128];
        std::snprintf(query, sizeof(query), "\\StringFileInfo\\040904b0\\%s", name);
        char* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueA(m_Block.data(), query, reinterpret_cast<void**>(&value), &length) || !value)
            return "(missing)";
        return std::string(value);
    }

    CKazmirModule m_Kazmir;
    std::vector<char> m_Block;
};

} // namespace

TEST_F(VersionResource, FixedPartCarriesTheProjectVersion)
{
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(m_Block.data(), "\\", reinterpret_cast<void**>(&info), &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(info->dwSignature, 0xFEEF04BDu);
    const DWORD ms = (KAZMIR_VERSION_MAJOR << 16) | KAZMIR_VERSION_MINOR;
    const DWORD ls = KAZMIR_VERSION_PATCH << 16;
    EXPECT_EQ(info->dwFileVersionMS, ms);
    EXPECT_EQ(info->dwFileVersionLS, ls);
    EXPECT_EQ(info->dwProductVersionMS, ms);
    EXPECT_EQ(info->dwProductVersionLS, ls);
    EXPECT_EQ(info->dwFileType, static_cast<DWORD>(VFT_DLL));
    EXPECT_EQ(info->dwFileFlags & info->dwFileFlagsMask, 0u); // no debug, pre-release or patched flag
}

TEST_F(VersionResource, TextsNameTheLibraryAndItsVersion)
{
    EXPECT_EQ(Text("FileVersion"), KAZMIR_VERSION_TEXT);
    EXPECT_EQ(Text("ProductVersion"), KAZMIR_VERSION_TEXT);
    EXPECT_EQ(Text("OriginalFilename"), "KAZMIR.dll");
    EXPECT_EQ(Text("InternalName"), "KAZMIR");
    EXPECT_EQ(Text("ProductName"), "Kazmir");
    EXPECT_NE(Text("FileDescription"), "(missing)");
}
