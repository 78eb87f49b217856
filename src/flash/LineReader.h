// CLineReader: reads a text file line by line the way the C runtime's text
// mode on Windows does (a carriage return before a line feed is dropped, a
// Ctrl-Z ends the file), through one large buffer and without copying lines.
#pragma once

#include "device/KazApi.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

class CLineReader {
public:
    // Longest line, its line feed included, that the image reader takes whole:
    // what fits a 4096-byte line buffer with its NUL. A longer record line is
    // malformed; a longer line of any other kind is skipped like a comment.
    static constexpr uint32_t MAX_LINE = 4095;
    // The buffer holds up to 256 KiB of the file at a time; a small file gets
    // a buffer of its own size.
    static constexpr size_t BUFFER_SIZE = 256u << 10;
    static constexpr size_t MIN_BUFFER_SIZE = 8u << 10;

    enum : uint32_t {
        LINE_OK = 0,       // a line of at most MAX_LINE characters
        LINE_TOO_LONG = 1, // a longer line, skipped whole; only its first character is given
        LINE_END = 2,      // end of the file (or a read error)
    };

    CLineReader();
    ~CLineReader();
    CLineReader(const CLineReader&) = delete;
    CLineReader& operator=(const CLineReader&) = delete;

    // 0, or 0x80004005 when the file cannot be opened or no buffer can be had.
    KZRESULT Open(const char* fileName);
    // Reads from memory instead (the bytes must outlive the reader).
    KZRESULT OpenMemory(const void* data, size_t size);
    // Back to the first line; 0x80004005 when nothing is open or seeking fails.
    KZRESULT Rewind();
    void Close();
    bool IsOpen() const { return m_pFile != nullptr || m_pMemory != nullptr; }

    // The next line: *line points at its characters (valid until the next
    // call), *length is its length as a C string would have it (up to the
    // first NUL byte; the line feed, after text-mode translation, included
    // when no NUL byte comes first). For LINE_TOO_LONG *line points at the
    // line's first character and *length is 1.
    uint32_t NextLine(const char** line, uint32_t* length)
    {
        // The common case inline: a whole line in the buffer, no NUL byte in
        // it, short enough.
        const size_t avail = m_nEnd - m_nPos;
        if (avail != 0) {
            const char* start = m_pBuffer + m_nPos;
            const auto* lf = static_cast<const char*>(std::memchr(start, '\n', avail < WINDOW ? avail : WINDOW));
            if (lf != nullptr) {
                const size_t next = static_cast<size_t>(lf - m_pBuffer) + 1;
                size_t full = next - m_nPos;
                if (next <= m_nNextNul && full <= MAX_LINE + 1) {
                    if (full >= 2 && lf[-1] == '\r') {
                        // CR LF reads as LF: the line ends one character earlier.
                        m_pBuffer[next - 2] = '\n';
                        --full;
                    }
                    if (full <= MAX_LINE) {
                        m_nPos = next;
                        *line = start;
                        *length = static_cast<uint32_t>(full);
                        return LINE_OK;
                    }
                }
            }
        }
        return NextLineSlow(line, length);
    }

private:
    // Enough to see the line feed of a line of MAX_LINE characters written
    // with CR LF.
    static constexpr size_t WINDOW = MAX_LINE + 2;

    uint32_t NextLineSlow(const char** line, uint32_t* length);
    void Fill();
    size_t ReadSource(char* to, size_t count);
    bool AllocBuffer(uint64_t sourceSize);

    FILE* m_pFile;
    const uint8_t* m_pMemory;
    size_t m_nMemorySize;
    size_t m_nMemoryPos;
    char* m_pBuffer;
    size_t m_nCapacity;
    size_t m_nPos;      // first unread byte
    size_t m_nEnd;      // end of the bytes in the buffer
    size_t m_nNextNul;  // first NUL byte at or after m_nPos, or m_nEnd
    bool m_bSourceEnd;  // the source has nothing more (end, error or Ctrl-Z)
    char m_cLongFirst;  // first character of the last over-long line
};
