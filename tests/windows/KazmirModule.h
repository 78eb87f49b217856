// KAZMIR.dll as a host loads it: LoadLibraryA, then every entry point looked
// up at run time, by ordinal or by name. Shared by the host tests of both
// Windows builds.
#pragma once

#include "kazmir.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

namespace hosttest {

struct Export {
    WORD Ordinal;
    const char* Name;
};

// The library's export table.
inline const std::vector<Export> EXPORTS = {
    {1000, "kzmInitialize"}, {1001, "kzmGetVersion"}, {1010, "kzmRegisterCallback"},
    {2200, "kzmFLDinit"},    {2201, "kzmFLDreset"},   {2202, "kzmFLDprogram"},
    {2203, "kzmFLDverify"},  {2204, "kzmFLDerase"},   {2205, "kzmFLDscanFwInfo"},
    {2300, "kzmBALinit"},    {2301, "kzmBALinitSer"}, {2302, "kzmBALreset"},
    {10, "kzmCCLinit"},      {11, "kzmCCLinitSer"},   {12, "kzmCCLreset"},
    {20, "kzmBGIinit"},      {21, "kzmBGIinitSer"},   {22, "kzmBGIreset"},
    {23, "kzmBGIsend"},      {24, "kzmBGIreceive"},   {25, "kzmBGIgetMsgLen"},
};

// Function types of the exports, as a host declares them.
using PfnNoArgs = KZMRESULT (*)();
using PfnGetVersion = KZMRESULT (*)(uint32_t*, uint32_t*, uint32_t*, uint32_t*);
using PfnRegisterCallback = KZMRESULT (*)(void*, ReportCallback);
using PfnInit = KZMRESULT (*)(uint32_t, uint64_t, uint64_t*);

// KAZMIR.dll loaded for the lifetime of the object (unless unloaded before).
class CKazmirModule {
public:
    CKazmirModule() : m_hModule(LoadLibraryA("KAZMIR.dll")), m_LoadError(m_hModule ? 0 : GetLastError()) {}
    ~CKazmirModule() { Unload(); }
    CKazmirModule(const CKazmirModule&) = delete;
    CKazmirModule& operator=(const CKazmirModule&) = delete;

    HMODULE Handle() const { return m_hModule; }
    DWORD LoadError() const { return m_LoadError; }
    void Unload()
    {
        if (m_hModule)
            FreeLibrary(m_hModule);
        m_hModule = nullptr;
    }
    FARPROC ProcByOrdinal(WORD ordinal) const
    {
        return GetProcAddress(m_hModule, reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(ordinal)));
    }
    FARPROC ProcByName(const char* name) const { return GetProcAddress(m_hModule, name); }
    // An export by ordinal as the given function type; fails the test when missing.
    template <class F>
    F Ordinal(WORD ordinal) const
    {
        FARPROC proc = ProcByOrdinal(ordinal);
        EXPECT_NE(proc, nullptr) << "ordinal " << ordinal;
        return reinterpret_cast<F>(reinterpret_cast<void*>(proc));
    }

private:
    HMODULE m_hModule;
    DWORD m_LoadError;
};

} // namespace hosttest
