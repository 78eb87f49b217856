// The export table of KAZMIR.dll as the Windows loader sees it: every name
// and every ordinal resolves, to the same entry, and nothing else does.
#include "KazmirModule.h"

#include <set>

using namespace hosttest;

TEST(ExportTable, NamesAndOrdinalsGiveTheSameEntries)
{
    CKazmirModule kazmir;
    ASSERT_NE(kazmir.Handle(), nullptr) << "LoadLibraryA(KAZMIR.dll) failed with " << kazmir.LoadError();
    std::set<FARPROC> entries;
    for (const Export& entry : Exports()) {
        FARPROC byOrdinal = kazmir.ProcByOrdinal(entry.Ordinal);
        FARPROC byName = kazmir.ProcByName(entry.Name);
        ASSERT_NE(byOrdinal, nullptr) << entry.Name;
        EXPECT_EQ(byOrdinal, byName) << entry.Name << " at " << entry.Ordinal;
        entries.insert(byOrdinal);
    }
    // kzmBGIinitSer is kzmCCLinitSer under a second name and ordinal.
    EXPECT_EQ(kazmir.ProcByOrdinal(21), kazmir.ProcByOrdinal(11));
    EXPECT_EQ(entries.size(), Exports().size() - 1);
}

TEST(ExportTable, UnassignedOrdinalsAndUnknownNamesDoNotResolve)
{
    CKazmirModule kazmir;
    ASSERT_NE(kazmir.Handle(), nullptr);
    for (WORD ordinal : {1, 9, 13, 19, 26, 999, 1002, 1009, 1011, 2199, 2206, 2299, 2303, 4000}) {
        SetLastError(0);
        EXPECT_EQ(kazmir.ProcByOrdinal(ordinal), nullptr) << ordinal;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND)) << ordinal;
    }
    for (const char* name : {"kzmFLDInit", "DllMain", "LibraryEntry", "EnsureInitialized", "g_Prog"})
        EXPECT_EQ(kazmir.ProcByName(name), nullptr) << name;
}
