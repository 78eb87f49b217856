#include "flash/LineReader.h"

#include "kazmir.h"

#include <cstdlib>
#include <cstring>

namespace {
constexpr char CTRL_Z = 0x1A;
}

CLineReader::CLineReader()
    : m_pFile(nullptr), m_pMemory(nullptr), m_nMemorySize(0), m_nMemoryPos(0), m_pBuffer(nullptr), m_nCapacity(0), m_nPos(0),
      m_nEnd(0), m_nNextNul(0), m_bSourceEnd(true), m_cLongFirst(0)
{
}

CLineReader::~CLineReader()
{
    Close();
}

KZRESULT CLineReader::Open(const char* fileName)
{
    Close();
    if (fileName == nullptr)
        return KZM_E_FAIL;
    // Binary mode on every platform; the text-mode translation is done here,
    // so that a file reads the same everywhere.
    m_pFile = std::fopen(fileName, "rb");
    if (m_pFile == nullptr)
        return KZM_E_FAIL;
    // The file's size, when it can be told, only sizes the buffer.
    uint64_t size = BUFFER_SIZE;
    if (std::fseek(m_pFile, 0, SEEK_END) == 0) {
        const long end = std::ftell(m_pFile);
        if (end >= 0)
            size = static_cast<uint64_t>(end);
    }
    if (!AllocBuffer(size)) {
        Close();
        return KZM_E_FAIL;
    }
    return Rewind();
}

KZRESULT CLineReader::OpenMemory(const void* data, size_t size)
{
    Close();
    if (data == nullptr && size != 0)
        return KZM_E_FAIL;
    if (!AllocBuffer(size))
        return KZM_E_FAIL;
    static const uint8_t s_Empty = 0;
    m_pMemory = data != nullptr ? static_cast<const uint8_t*>(data) : &s_Empty;
    m_nMemorySize = size;
    return Rewind();
}

bool CLineReader::AllocBuffer(uint64_t sourceSize)
{
    // Room for the whole source and its end, within the limits; never less
    // than a line's window.
    uint64_t capacity = sourceSize + 1;
    if (capacity > BUFFER_SIZE)
        capacity = BUFFER_SIZE;
    if (capacity < MIN_BUFFER_SIZE)
        capacity = MIN_BUFFER_SIZE;
    m_nCapacity = static_cast<size_t>(capacity);
    m_pBuffer = static_cast<char*>(std::malloc(m_nCapacity));
    return m_pBuffer != nullptr;
}

KZRESULT CLineReader::Rewind()
{
    if (!IsOpen())
        return KZM_E_FAIL;
    m_nPos = m_nEnd = m_nNextNul = 0;
    m_bSourceEnd = false;
    m_nMemoryPos = 0;
    if (m_pFile != nullptr) {
        std::clearerr(m_pFile);
        if (std::fseek(m_pFile, 0, SEEK_SET) != 0) {
            m_bSourceEnd = true;
            return KZM_E_FAIL;
        }
    }
    return KZM_OK;
}

void CLineReader::Close()
{
    if (m_pFile != nullptr)
        std::fclose(m_pFile);
    m_pFile = nullptr;
    m_pMemory = nullptr;
    m_nMemorySize = m_nMemoryPos = 0;
    std::free(m_pBuffer);
    m_pBuffer = nullptr;
    m_nCapacity = 0;
    m_nPos = m_nEnd = m_nNextNul = 0;
    m_bSourceEnd = true;
}

size_t CLineReader::ReadSource(char* to, size_t count)
{
    if (m_pFile != nullptr)
        return std::fread(to, 1, count, m_pFile);
    size_t left = m_nMemorySize - m_nMemoryPos;
    if (count > left)
        count = left;
    if (count != 0)
        std::memcpy(to, m_pMemory + m_nMemoryPos, count);
    m_nMemoryPos += count;
    return count;
}

void CLineReader::Fill()
{
    if (m_nPos != 0) {
        std::memmove(m_pBuffer, m_pBuffer + m_nPos, m_nEnd - m_nPos);
        m_nEnd -= m_nPos;
        m_nPos = 0;
    }
    if (!m_bSourceEnd && m_nEnd < m_nCapacity) {
        size_t wanted = m_nCapacity - m_nEnd;
        size_t got = ReadSource(m_pBuffer + m_nEnd, wanted);
        // A short read is the end of the file or a read error: either way
        // nothing more comes.
        if (got < wanted)
            m_bSourceEnd = true;
        // Text mode: Ctrl-Z ends the file.
        if (const void* ctrlZ = std::memchr(m_pBuffer + m_nEnd, CTRL_Z, got)) {
            got = static_cast<size_t>(static_cast<const char*>(ctrlZ) - (m_pBuffer + m_nEnd));
            m_bSourceEnd = true;
        }
        m_nEnd += got;
    }
    const void* nul = std::memchr(m_pBuffer + m_nPos, 0, m_nEnd - m_nPos);
    m_nNextNul = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - m_pBuffer) : m_nEnd;
}

uint32_t CLineReader::NextLineSlow(const char** line, uint32_t* length)
{
    if (m_pBuffer == nullptr)
        return LINE_END;
    for (;;) {
        const size_t avail = m_nEnd - m_nPos;
        if (avail == 0 && m_bSourceEnd)
            return LINE_END;
        const size_t scan = avail < WINDOW ? avail : WINDOW;
        const char* start = m_pBuffer + m_nPos;
        const char* lf = static_cast<const char*>(std::memchr(start, '\n', scan));
        size_t full = 0;
        if (lf != nullptr) {
            full = static_cast<size_t>(lf - start) + 1;
            m_nPos += full;
            if (full >= 2 && lf[-1] == '\r') {
                // CR LF reads as LF: the line ends one character earlier.
                m_pBuffer[m_nPos - 2] = '\n';
                --full;
            }
        } else if (avail >= WINDOW) {
            // Longer than any line we take: skip it to its line feed.
            m_cLongFirst = *start;
            for (;;) {
                const char* skipLf =
                    static_cast<const char*>(std::memchr(m_pBuffer + m_nPos, '\n', m_nEnd - m_nPos));
                if (skipLf != nullptr) {
                    m_nPos = static_cast<size_t>(skipLf - m_pBuffer) + 1;
                    break;
                }
                m_nPos = m_nEnd;
                if (m_bSourceEnd)
                    break;
                Fill();
            }
            if (m_nNextNul < m_nPos) {
                const void* nul = std::memchr(m_pBuffer + m_nPos, 0, m_nEnd - m_nPos);
                m_nNextNul = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - m_pBuffer) : m_nEnd;
            }
            *line = &m_cLongFirst;
            *length = 1;
            return LINE_TOO_LONG;
        } else if (m_bSourceEnd) {
            // The last line, without a line feed (a carriage return stays).
            full = avail;
            m_nPos = m_nEnd;
        } else {
            Fill();
            continue;
        }

        const size_t lineStart = static_cast<size_t>(start - m_pBuffer);
        size_t cLength = full;
        if (m_nNextNul < lineStart + full) {
            // A NUL byte ends the line as a C string would see it.
            cLength = m_nNextNul - lineStart;
            const void* nul = std::memchr(m_pBuffer + m_nPos, 0, m_nEnd - m_nPos);
            m_nNextNul = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - m_pBuffer) : m_nEnd;
        }
        if (full > MAX_LINE) {
            m_cLongFirst = *start;
            *line = &m_cLongFirst;
            *length = 1;
            return LINE_TOO_LONG;
        }
        *line = start;
        *length = static_cast<uint32_t>(cLength);
        return LINE_OK;
    }
}
