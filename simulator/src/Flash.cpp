// A board's raw flash, kept in memory and, when the bench names a file, in
// that file, so that the next run of a host program finds what this one
// wrote. The file is held under an exclusive lock while this process uses the
// board, so that two processes never mix their changes in one file.
#include "Sim.h"

#include <algorithm>
#include <cstdio>

namespace kazsim::detail {

void CFlashStore::Describe(const FlashDesc& desc)
{
    Release();
    m_Data.assign(desc.Size(), 0xFF);
    m_File = desc.File;
}

CFlashStore::Use CFlashStore::Attach(std::string* error)
{
    if (m_File.empty() || m_pLocked)
        return Use::Ready;
    auto file = std::make_unique<CLockedFile>();
    switch (file->Open(m_File, error)) {
    case CLockedFile::Status::InUse:
        return Use::InUse;
    case CLockedFile::Status::Failed:
        *error = "flash file " + m_File + ": cannot be opened: " + *error;
        return Use::Failed;
    case CLockedFile::Status::Locked:
        break;
    }
    // What other processes wrote is seen now. A shorter file is taken as the
    // flash's first bytes, the rest erased (and written out at once); a
    // longer one's tail is kept in the file but not seen.
    size_t have = 0;
    uint64_t size = 0;
    if (!file->ReadAt(0, m_Data.data(), m_Data.size(), &have) || !file->Size(&size)) {
        *error = "flash file " + m_File + ": cannot be read";
        return Use::Failed;
    }
    std::fill(m_Data.begin() + static_cast<std::ptrdiff_t>(have), m_Data.end(), uint8_t{0xFF});
    m_pLocked = std::move(file);
    m_bDirty = false;
    if (size < m_Data.size() && !WriteRange(static_cast<uint32_t>(have), static_cast<uint32_t>(m_Data.size() - have))) {
        m_pLocked.reset();
        *error = "flash file " + m_File + ": cannot be written";
        return Use::Failed;
    }
    return Use::Ready;
}

CFlashStore::Use CFlashStore::Claim(std::string* error)
{
    Use use = Attach(error);
    if (use == Use::Ready)
        m_bClaimed = true;
    return use;
}

void CFlashStore::Release()
{
    FlushAll();
    m_pLocked.reset();
    m_bClaimed = false;
}

bool CFlashStore::WriteRange(uint32_t offset, uint32_t length)
{
    return m_pLocked->WriteAt(offset, m_Data.data() + offset, length);
}

void CFlashStore::Persist(uint32_t offset, uint32_t length)
{
    if (!m_pLocked || length == 0)
        return;
    if (!WriteRange(offset, length)) {
        // Kept for the next flush; the bench goes on with its memory copy.
        if (!m_bDirty)
            std::fprintf(stderr, "kazsim: flash file %s: write failed, retried at the next flush\n", m_File.c_str());
        m_bDirty = true;
    }
}

void CFlashStore::EraseAll()
{
    std::fill(m_Data.begin(), m_Data.end(), uint8_t{0xFF});
    if (!m_pLocked)
        return;
    m_bDirty = !m_pLocked->Truncate(m_Data.size()) || !WriteRange(0, static_cast<uint32_t>(m_Data.size()));
    if (m_bDirty)
        std::fprintf(stderr, "kazsim: flash file %s: erase failed, retried at the next flush\n", m_File.c_str());
}

void CFlashStore::FlushAll()
{
    if (!m_pLocked || !m_bDirty)
        return;
    m_bDirty = !WriteRange(0, static_cast<uint32_t>(m_Data.size()));
    if (m_bDirty)
        std::fprintf(stderr, "kazsim: flash file %s: write failed\n", m_File.c_str());
}

} // namespace kazsim::detail
