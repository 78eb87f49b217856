// A board's raw flash, kept in memory and, when the bench names a file,
// written through to that file on every change so that the next run of a
// host program finds what this one wrote.
#include "Sim.h"

#include <cstdio>
#include <fstream>

namespace kazsim::detail {

void CFlashStore::Open(const FlashDesc& desc)
{
    m_Data.assign(desc.Size(), 0xFF);
    m_File.clear();
    m_bDirty = false;
    if (desc.File.empty())
        return;

    std::ifstream in(desc.File, std::ios::binary);
    if (in) {
        // An existing file is used as it is: a shorter one is taken as the
        // flash's first bytes (the rest erased), a longer one's tail is kept
        // in the file but not seen.
        in.read(reinterpret_cast<char*>(m_Data.data()), static_cast<std::streamsize>(m_Data.size()));
        if (in.bad())
            throw BenchError("flash file " + desc.File + ": cannot be read");
        uint64_t have = static_cast<uint64_t>(in.gcount());
        in.close();
        m_File = desc.File;
        if (have < m_Data.size())
            Persist(static_cast<uint32_t>(have), static_cast<uint32_t>(m_Data.size() - have));
    } else {
        std::ofstream out(desc.File, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(m_Data.data()), static_cast<std::streamsize>(m_Data.size()));
        out.close();
        if (!out)
            throw BenchError("flash file " + desc.File + ": cannot be created");
        m_File = desc.File;
    }
    if (m_bDirty)
        throw BenchError("flash file " + desc.File + ": cannot be written");
}

void CFlashStore::Close()
{
    FlushAll();
    m_File.clear();
}

void CFlashStore::Persist(uint32_t offset, uint32_t length)
{
    if (m_File.empty() || length == 0)
        return;
    std::fstream file(m_File, std::ios::binary | std::ios::in | std::ios::out);
    if (file) {
        file.seekp(offset);
        file.write(reinterpret_cast<const char*>(m_Data.data() + offset), length);
        file.flush();
    }
    if (!file) {
        // Kept for the next flush; the bench goes on with its memory copy.
        if (!m_bDirty)
            std::fprintf(stderr, "kazsim: flash file %s: write failed, retried at the next flush\n", m_File.c_str());
        m_bDirty = true;
    }
}

void CFlashStore::FlushAll()
{
    if (m_File.empty() || !m_bDirty)
        return;
    std::ofstream out(m_File, std::ios::binary | std::ios::in | std::ios::out);
    if (!out)
        out.open(m_File, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(m_Data.data()), static_cast<std::streamsize>(m_Data.size()));
    out.close();
    m_bDirty = !out;
    if (m_bDirty)
        std::fprintf(stderr, "kazsim: flash file %s: write failed\n", m_File.c_str());
}

} // namespace kazsim::detail
