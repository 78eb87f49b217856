// A board's raw flash, in memory or, when the bench names a file, in that
// file, so that the next run of a host program finds what this one wrote. The
// file is held under an exclusive lock while this process uses the board, so
// that two processes never mix their changes in one file. Every read goes to
// the file and every change is written through before the operation reports
// success: what the bench says it stored is what the file holds.
#include "Sim.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace kazsim::detail {

namespace {

constexpr uint32_t FILL_CHUNK = 0x10000; // erased bytes written at a time

} // namespace

bool SameFile(const std::string& a, const std::string& b)
{
    namespace fs = std::filesystem;
    std::error_code ea, eb;
    if (fs::equivalent(a, b, ea))
        return true;
    const fs::path ca = fs::weakly_canonical(fs::absolute(a, ea), ea);
    const fs::path cb = fs::weakly_canonical(fs::absolute(b, eb), eb);
    if (ea || eb)
        return a == b;
#ifdef _WIN32
    return EqualNoCase(ca.string(), cb.string());
#else
    return ca == cb;
#endif
}

void CFlashStore::Describe(const FlashDesc& desc)
{
    Release();
    m_Data = {};
    m_Size = desc.Size();
    m_File = desc.File;
}

CFlashStore::Use CFlashStore::Attach(std::string* error, bool create)
{
    if (m_File.empty() || m_pLocked)
        return Use::Ready;
    auto file = std::make_unique<CLockedFile>();
    switch (file->Open(m_File, create, error)) {
    case CLockedFile::Status::Missing:
        return Use::Ready; // reads erased until the first write creates it
    case CLockedFile::Status::InUse:
        return Use::InUse;
    case CLockedFile::Status::Failed:
        *error = "flash file " + m_File + ": " + *error;
        return Use::Failed;
    case CLockedFile::Status::Locked:
        break;
    }
    m_pLocked = std::move(file);
    return Use::Ready;
}

uint32_t CFlashStore::Claim(std::string* error, bool create)
{
    switch (Attach(error, create)) {
    case Use::Ready:
        m_bClaimed = true;
        return 0;
    case Use::InUse:
        *error = "flash file " + m_File + " is in use by another process";
        return SIM_E_IN_USE;
    case Use::Failed:
        break;
    }
    return SIM_E_ACCESS_DENIED;
}

void CFlashStore::Release()
{
    m_pLocked.reset();
    m_bClaimed = false;
}

std::vector<uint8_t>& CFlashStore::Memory()
{
    if (m_Data.size() != m_Size)
        m_Data.assign(m_Size, 0xFF);
    return m_Data;
}

uint32_t CFlashStore::Fault(uint32_t code, const char* what, uint64_t from, uint64_t to, const std::string& reason,
                            std::string* error) const
{
    char range[64];
    std::snprintf(range, sizeof(range), " bytes 0x%" PRIX64 " to 0x%" PRIX64 ": ", from, to - 1);
    *error = "flash file " + m_File + ": cannot " + what + range + reason;
    std::fprintf(stderr, "kazsim: %s\n", error->c_str());
    return code;
}

uint32_t CFlashStore::Fill(uint64_t from, uint64_t to, const char* what, std::string* error)
{
    if (from >= to)
        return 0;
    const std::vector<uint8_t> erased(static_cast<size_t>(std::min<uint64_t>(to - from, FILL_CHUNK)), 0xFF);
    for (uint64_t at = from; at < to; at += erased.size()) {
        const size_t length = static_cast<size_t>(std::min<uint64_t>(to - at, erased.size()));
        std::string reason;
        if (!m_pLocked->WriteAt(at, erased.data(), length, &reason))
            return Fault(SIM_E_WRITE_FAULT, what, at, at + length, reason, error);
    }
    return 0;
}

uint32_t CFlashStore::Read(uint32_t offset, uint8_t* data, uint32_t size, std::string* error)
{
    if (m_File.empty()) {
        std::memcpy(data, Memory().data() + offset, size);
        return 0;
    }
    if (uint32_t code = Claim(error))
        return code;
    size_t got = 0;
    std::string reason;
    if (m_pLocked && !m_pLocked->ReadAt(offset, data, size, &got, &reason))
        return Fault(SIM_E_READ_FAULT, "read", offset, uint64_t{offset} + size, reason, error);
    std::fill(data + got, data + size, uint8_t{0xFF}); // beyond the end of a short file: erased
    return 0;
}

uint32_t CFlashStore::Erase(uint32_t offset, uint32_t size, std::string* error)
{
    if (m_File.empty()) {
        std::fill_n(Memory().begin() + offset, size, uint8_t{0xFF});
        return 0;
    }
    if (uint32_t code = Claim(error, true))
        return code;
    uint64_t length = 0;
    if (!m_pLocked->Size(&length))
        return Fault(SIM_E_WRITE_FAULT, "erase", offset, uint64_t{offset} + size, "its size is unknown", error);
    // What lies beyond the file's end reads erased already.
    return Fill(offset, std::min<uint64_t>(uint64_t{offset} + size, length), "erase", error);
}

uint32_t CFlashStore::Write(uint32_t offset, const uint8_t* data, uint32_t size, bool program, std::string* error)
{
    if (m_File.empty()) {
        uint8_t* target = Memory().data() + offset;
        if (!program) {
            std::memcpy(target, data, size);
            return 0;
        }
        // NOR flash: programming only clears bits; only an erase sets them.
        uint32_t i = 0;
        for (; i + 8 <= size; i += 8) {
            uint64_t now = 0, bits = 0;
            std::memcpy(&now, target + i, 8);
            std::memcpy(&bits, data + i, 8);
            now &= bits;
            std::memcpy(target + i, &now, 8);
        }
        for (; i < size; ++i)
            target[i] = static_cast<uint8_t>(target[i] & data[i]);
        return 0;
    }
    if (uint32_t code = Claim(error, true))
        return code;
    uint64_t length = 0;
    if (!m_pLocked->Size(&length))
        return Fault(SIM_E_WRITE_FAULT, "write", offset, uint64_t{offset} + size, "its size is unknown", error);
    // The first write makes the file hold the whole flash.
    if (length < m_Size)
        if (uint32_t code = Fill(length, m_Size, "write", error))
            return code;
    std::vector<uint8_t> bytes(data, data + size);
    if (program)
        if (uint32_t code = Read(offset, bytes.data(), size, error))
            return code;
    if (program)
        for (uint32_t i = 0; i < size; ++i)
            bytes[i] = static_cast<uint8_t>(bytes[i] & data[i]);
    std::string reason;
    if (!m_pLocked->WriteAt(offset, bytes.data(), size, &reason))
        return Fault(SIM_E_WRITE_FAULT, "write", offset, uint64_t{offset} + size, reason, error);
    return 0;
}

bool CFlashStore::Sync()
{
    return !m_pLocked || m_pLocked->Sync();
}

} // namespace kazsim::detail
