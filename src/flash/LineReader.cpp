#include "flash/LineReader.h"

#include "kazmir.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {
constexpr char CTRL_Z = 0x1A;
}

CLineReader::CLineReader()
    : m_pFile(nullptr), m_pMemory(nullptr), m_nMemorySize(0), m_nMemoryPos(0), m_pBuffer(nullptr), m_nCapacity(0),
      m_nPos(0), m_nEnd(0), m_nNextNul(0), m_bSourceEnd(true), m_bRemainder(false), m_bSplitPending(false),
      m_bCtrlZ(false), m_bIgnoreCtrlZ(false), m_qwBufferOffset(0), m_qwLineOffset(0), m_qwCtrlZOffset(0)
{
}

CLineReader::~CLineReader()
{
    Close();
}

KZMRESULT CLineReader::Open(const char* fileName)
{
    Close();
    if (fileName == nullptr)
        return KZM_E_FAIL;
    // Binary mode on every platform; the text-mode translation is done here,
    // so that a file reads the same everywhere.
    m_pFile = std::fopen(fileName, "rb");
    if (m_pFile == nullptr)
        return KZM_E_FAIL;
    // The file's size, when it can be told, only sizes the buffer. A stream
    // that cannot seek is read from where it stands.
    uint64_t size = BUFFER_SIZE;
    if (std::fseek(m_pFile, 0, SEEK_END) == 0) {
        const long end = std::ftell(m_pFile);
        if (end >= 0)
            size = static_cast<uint64_t>(end);
        if (std::fseek(m_pFile, 0, SEEK_SET) != 0) {
            Close();
            return KZM_E_FAIL;
        }
    }
    if (!AllocBuffer(size)) {
        Close();
        return KZM_E_FAIL;
    }
    ResetState();
    return KZM_OK;
}

KZMRESULT CLineReader::OpenMemory(const void* data, size_t size)
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

void CLineReader::ResetState()
{
    m_nPos = m_nEnd = m_nNextNul = 0;
    m_bSourceEnd = false;
    m_nMemoryPos = 0;
    m_bRemainder = m_bSplitPending = m_bCtrlZ = m_bIgnoreCtrlZ = false;
    m_qwBufferOffset = m_qwLineOffset = m_qwCtrlZOffset = 0;
}

KZMRESULT CLineReader::Rewind()
{
    if (!IsOpen())
        return KZM_E_FAIL;
    ResetState();
    if (m_pFile != nullptr) {
        std::clearerr(m_pFile);
        if (std::fseek(m_pFile, 0, SEEK_SET) != 0) {
            m_bSourceEnd = true;
            return KZM_E_FAIL;
        }
    }
    return KZM_OK;
}

bool CLineReader::ResumeAfterCtrlZ()
{
    if (!m_bCtrlZ || !IsOpen())
        return false;
    const uint64_t offset = m_qwCtrlZOffset + 1;
    if (m_pFile != nullptr) {
        std::clearerr(m_pFile);
        if (offset > static_cast<uint64_t>(LONG_MAX) || std::fseek(m_pFile, static_cast<long>(offset), SEEK_SET) != 0)
            return false;
    } else {
        m_nMemoryPos = static_cast<size_t>(offset);
    }
    m_bIgnoreCtrlZ = true;
    m_bCtrlZ = false;
    m_bSourceEnd = false;
    m_bSplitPending = false;
    m_nPos = m_nEnd = m_nNextNul = 0;
    m_qwBufferOffset = offset;
    return true;
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
    m_bIgnoreCtrlZ = false;
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
        m_qwBufferOffset += m_nPos;
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
        const void* ctrlZ = m_bIgnoreCtrlZ ? nullptr : std::memchr(m_pBuffer + m_nEnd, CTRL_Z, got);
        if (ctrlZ != nullptr) {
            got = static_cast<size_t>(static_cast<const char*>(ctrlZ) - (m_pBuffer + m_nEnd));
            m_bSourceEnd = m_bCtrlZ = true;
            m_qwCtrlZOffset = m_qwBufferOffset + m_nEnd + got;
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
        bool split = false;
        if (lf != nullptr) {
            full = static_cast<size_t>(lf - start) + 1;
            if (full >= 2 && lf[-1] == '\r') {
                // CR LF reads as LF: the line ends one character earlier.
                m_pBuffer[m_nPos + full - 2] = '\n';
                if (full - 1 <= MAX_LINE) {
                    m_qwLineOffset = m_qwBufferOffset + m_nPos;
                    m_nPos += full;
                    --full;
                    goto found;
                }
            }
            if (full > MAX_LINE) {
                // MAX_LINE characters; the line feed starts the next line.
                full = MAX_LINE;
                split = true;
            }
            m_qwLineOffset = m_qwBufferOffset + m_nPos;
            m_nPos += full;
        } else if (avail >= WINDOW || (m_bSourceEnd && avail > MAX_LINE)) {
            // No line end within reach: the first MAX_LINE characters are a
            // line of their own, the rest is read as the next one.
            full = MAX_LINE;
            split = true;
            m_qwLineOffset = m_qwBufferOffset + m_nPos;
            m_nPos += full;
        } else if (m_bSourceEnd) {
            // The last line, without a line feed (a carriage return stays).
            full = avail;
            m_qwLineOffset = m_qwBufferOffset + m_nPos;
            m_nPos = m_nEnd;
        } else {
            Fill();
            continue;
        }
    found:
        m_bRemainder = m_bSplitPending;
        m_bSplitPending = split;
        const size_t lineStart = static_cast<size_t>(start - m_pBuffer);
        size_t cLength = full;
        if (m_nNextNul < lineStart + full) {
            // A NUL byte ends the line as a C string would see it.
            cLength = m_nNextNul - lineStart;
            const void* nul = std::memchr(m_pBuffer + m_nPos, 0, m_nEnd - m_nPos);
            m_nNextNul = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - m_pBuffer) : m_nEnd;
        }
        *line = start;
        *length = static_cast<uint32_t>(cLength);
        return LINE_OK;
    }
}
