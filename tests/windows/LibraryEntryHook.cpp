// Test programs that link the library's code into themselves on Windows: the
// loader calls DllMain only for DLLs, so the program runs the entry hook
// itself around main, as the loader does for KAZMIR.dll (attach before the
// first export is called, detach at exit).
#include "frame/Init.h"

namespace {

struct CEntryHook {
    CEntryHook() { LibraryEntry(nullptr, DLL_PROCESS_ATTACH, nullptr); }
    ~CEntryHook() { LibraryEntry(nullptr, DLL_PROCESS_DETACH, nullptr); }
    CEntryHook(const CEntryHook&) = delete;
    CEntryHook& operator=(const CEntryHook&) = delete;
} s_EntryHook;

} // namespace
