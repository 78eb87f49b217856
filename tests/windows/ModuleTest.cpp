// KAZMIR.dll as the Windows loader and installers see it: every exported
// name and ordinal resolves, to the same entry, and nothing else does; the
// version resource carries the project version the build was made with
// (KAZMIR_VERSION_MAJOR/MINOR/PATCH and KAZMIR_VERSION_TEXT).
#include "KazmirModule.h"

#include <winver.h>

#include <set>

using namespace hosttest;

TEST(ExportTable, NamesAndOrdinalsGiveTheSameEntriesAndNothingElseResolves)
{
    CKazmirModule kazmir;
    ASSERT_NE(kazmir.Handle(), nullptr) << "LoadLibraryA(KAZMIR.dll) failed with " << kazmir.LoadError();
    std::set<FARPROC> entries;
    for (const Export& entry : EXPORTS) {
        FARPROC byOrdinal = kazmir.ProcByOrdinal(entry.Ordinal);
        ASSERT_NE(byOrdinal, nullptr) << entry.Name;
        EXPECT_EQ(byOrdinal, kazmir.ProcByName(entry.Name)) << entry.Name << " at " << entry.Ordinal;
        entries.insert(byOrdinal);
    }
    // kzmBGIinitSer is kzmCCLinitSer under a second name and ordinal.
    EXPECT_EQ(kazmir.ProcByOrdinal(21), kazmir.ProcByOrdinal(11));
    EXPECT_EQ(entries.size(), EXPORTS.size() - 1);
    for (WORD ordinal : {1, 9, 13, 19, 26, 999, 1002, 1009, 1011, 2199, 2206, 2299, 2303, 4000}) {
        SetLastError(0);
        EXPECT_EQ(kazmir.ProcByOrdinal(ordinal), nullptr) << ordinal;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND)) << ordinal;
    }
    for (const char* name : {"kzmFLDInit", "DllMain", "LibraryEntry", "EnsureInitialized", "g_Prog"})
        EXPECT_EQ(kazmir.ProcByName(name), nullptr) << name;
}

TEST(VersionResource, CarriesTheProjectVersionAndTheLibrarysNames)
{
    CKazmirModule kazmir;
    ASSERT_NE(kazmir.Handle(), nullptr);
    char path[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameA(kazmir.Handle(), path, MAX_PATH), 0u);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    ASSERT_GT(size, 0u) << path << " has no version resource (" << GetLastError() << ")";
    std::vector<char> block(size);
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, block.data()));

    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&info), &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(info->dwSignature, 0xFEEF04BDu);
    const DWORD ms = (KAZMIR_VERSION_MAJOR << 16) | KAZMIR_VERSION_MINOR, ls = KAZMIR_VERSION_PATCH << 16;
    EXPECT_EQ(info->dwFileVersionMS, ms);
    EXPECT_EQ(info->dwFileVersionLS, ls);
    EXPECT_EQ(info->dwProductVersionMS, ms);
    EXPECT_EQ(info->dwProductVersionLS, ls);
    EXPECT_EQ(info->dwFileType, static_cast<DWORD>(VFT_DLL));
    EXPECT_EQ(info->dwFileFlags & info->dwFileFlagsMask, 0u); // no debug, pre-release or patched flag

    const std::pair<const char*, std::string> texts[] = {
        {"FileVersion", KAZMIR_VERSION_TEXT},
        {"ProductVersion", KAZMIR_VERSION_TEXT},
        {"OriginalFilename", "KAZMIR.dll"},
        {"InternalName", "KAZMIR"},
        {"ProductName", "Kazmir"},
    };
    for (const auto& [name, expected] : texts) {
        char* value = nullptr;
        const std::string query = std::string("\\StringFileInfo\\040904b0\\") + name;
        ASSERT_TRUE(VerQueryValueA(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length)) << name;
        EXPECT_EQ(std::string(value), expected) << name;
    }
}
