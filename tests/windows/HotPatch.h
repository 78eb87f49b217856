// Watching calls into a system DLL from inside the process: the entry of a
// function is overwritten with a jump to a hook, which puts the original bytes
// back around each call of the original. Enough for a single-threaded test
// host to see which Setup-API and kernel32 functions a library reaches.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <cstring>

namespace hosttest {

class CHotPatch {
public:
    CHotPatch() = default;
    ~CHotPatch() { Uninstall(); }
    CHotPatch(const CHotPatch&) = delete;
    CHotPatch& operator=(const CHotPatch&) = delete;

    // Redirects target to hook; false when the code cannot be changed.
    bool Install(void* target, void* hook)
    {
        if (!target || m_pTarget)
            return false;
        m_pTarget = static_cast<uint8_t*>(target);
        std::memcpy(m_Original, m_pTarget, PATCH_SIZE);
        // movabs rax, hook ; jmp rax
        m_Jump[0] = 0x48;
        m_Jump[1] = 0xB8;
        uint64_t address = reinterpret_cast<uint64_t>(hook);
        std::memcpy(m_Jump + 2, &address, sizeof(address));
        m_Jump[10] = 0xFF;
        m_Jump[11] = 0xE0;
        if (!Write(m_Jump)) {
            m_pTarget = nullptr;
            return false;
        }
        return true;
    }
    void Uninstall()
    {
        if (m_pTarget)
            Write(m_Original);
        m_pTarget = nullptr;
    }

    // Calls the original function with the patch taken out for the call.
    template <class F, class... A>
    auto CallOriginal(A... args)
    {
        Write(m_Original);
        auto result = reinterpret_cast<F>(static_cast<void*>(m_pTarget))(args...);
        DWORD error = GetLastError();
        Write(m_Jump);
        SetLastError(error);
        return result;
    }

private:
    static constexpr size_t PATCH_SIZE = 12;

    bool Write(const uint8_t* bytes)
    {
        DWORD error = GetLastError();
        DWORD old = 0;
        if (!VirtualProtect(m_pTarget, PATCH_SIZE, PAGE_EXECUTE_READWRITE, &old))
            return false;
        std::memcpy(m_pTarget, bytes, PATCH_SIZE);
        VirtualProtect(m_pTarget, PATCH_SIZE, old, &old);
        FlushInstructionCache(GetCurrentProcess(), m_pTarget, PATCH_SIZE);
        SetLastError(error);
        return true;
    }

    uint8_t* m_pTarget = nullptr;
    uint8_t m_Original[PATCH_SIZE] = {};
    uint8_t m_Jump[PATCH_SIZE] = {};
};

} // namespace hosttest
