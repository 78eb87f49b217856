// CLineReader: reads a text file line by line the way the C runtime's text
// mode on Windows does (a carriage return before a line feed is dropped, a
// Ctrl-Z ends the file), through one large buffer and without copying lines.
#pragma once

#include "kazmir.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

class CLineReader {
public:
    // Most characters one read takes, its line feed included: what fits a
    // 4096-byte line buffer with its NUL. Whatever follows on a longer line is
    // read as the next line.
    static constexpr uint32_t MAX_LINE = 4095;
    // The buffer holds up to 256 KiB of the file at a time; a small file gets
    // a buffer of its own size.
    static constexpr size_t BUFFER_SIZE = 256u << 10;
    static constexpr size_t MIN_BUFFER_SIZE = 8u << 10;

    enum : uint32_t {
        LINE_OK = 0,  // a line (or the first MAX_LINE characters of a longer one)
        LINE_END = 2, // end of the file (or a read error)
    };

    CLineReader();
    ~CLineReader();
    CLineReader(const CLineReader&) = delete;
    CLineReader& operator=(const CLineReader&) = delete;

    // 0, or 0x80004005 when the file cannot be opened or no buffer can be had.
    KZMRESULT Open(const char* fileName);
    // Reads from memory instead (the bytes must outlive the reader).
    KZMRESULT OpenMemory(const void* data, size_t size);
    // Back to the first line; 0x80004005 when nothing is open or seeking fails.
    KZMRESULT Rewind();
    void Close();
    bool IsOpen() const { return m_pFile != nullptr || m_pMemory != nullptr; }

    // The next line: *line points at its characters (valid until the next
    // call), *length is its length as a C string would have it (up to the
    // first NUL byte; the line feed, after text-mode translation, included
    // when no NUL byte comes first).
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
                if (next <= m_nNextNul) {
                    if (full >= 2 && lf[-1] == '\r') {
                        // CR LF reads as LF: the line ends one character earlier.
                        m_pBuffer[next - 2] = '\n';
                        --full;
                    }
                    // Only a line of MAX_LINE characters and its plain line
                    // feed is longer: the slow path splits it.
                    if (full <= MAX_LINE) {
                        m_qwLineOffset = m_qwBufferOffset + m_nPos;
                        m_nPos = next;
                        m_bRemainder = m_bSplitPending;
                        m_bSplitPending = false;
                        *line = start;
                        *length = static_cast<uint32_t>(full);
                        return LINE_OK;
                    }
                }
            }
        }
        return NextLineSlow(line, length);
    }

    // For a caller that can tell where a line ends by itself (a record's
    // length): the unread characters in the buffer up to the next NUL byte,
    // to look at; TakeLine then takes the line as NextLine would have, its
    // last character a line feed there or a carriage return before one.
    const char* PeekBuffered(size_t* count) const
    {
        const size_t clean = m_nNextNul < m_nEnd ? m_nNextNul : m_nEnd;
        *count = clean - m_nPos;
        return m_pBuffer + m_nPos;
    }
    // length: the line's characters with its line feed (at most MAX_LINE,
    // no line feed before the last); crlf: a carriage return stands in the
    // last place, its line feed right after it.
    void TakeLine(size_t length, bool crlf)
    {
        m_qwLineOffset = m_qwBufferOffset + m_nPos;
        if (crlf)
            m_pBuffer[m_nPos + length - 1] = '\n';
        m_nPos += length + (crlf ? 1 : 0);
        m_bRemainder = m_bSplitPending;
        m_bSplitPending = false;
    }

    // Where the last line began in the file (bytes from its start), and
    // whether it is the rest of a longer line split after MAX_LINE characters.
    uint64_t GetLineOffset() const { return m_qwLineOffset; }
    bool IsRemainder() const { return m_bRemainder; }
    // Whether reading stopped at a Ctrl-Z (text mode's end of file), and
    // where in the file it stands.
    bool StoppedAtCtrlZ() const { return m_bCtrlZ; }
    uint64_t GetCtrlZOffset() const { return m_qwCtrlZOffset; }
    // After a stop at a Ctrl-Z: reads on right after it, with Ctrl-Z taken as
    // a plain character from then on (for those who want to see what text
    // mode leaves unread). False when the source cannot seek there.
    bool ResumeAfterCtrlZ();

private:
    // Enough to see the line feed of a line of MAX_LINE characters written
    // with CR LF.
    static constexpr size_t WINDOW = MAX_LINE + 1;

    uint32_t NextLineSlow(const char** line, uint32_t* length);
    void ResetState();
    void Fill();
    size_t ReadSource(char* to, size_t count);
    bool AllocBuffer(uint64_t sourceSize);

    FILE* m_pFile;
    const uint8_t* m_pMemory;
    size_t m_nMemorySize;
    size_t m_nMemoryPos;
    char* m_pBuffer;
    size_t m_nCapacity;
    size_t m_nPos;        // first unread byte
    size_t m_nEnd;        // end of the bytes in the buffer
    size_t m_nNextNul;    // first NUL byte at or after m_nPos, or m_nEnd
    bool m_bSourceEnd;    // the source has nothing more (end, error or Ctrl-Z)
    bool m_bRemainder;    // the last line continued a split one
    bool m_bSplitPending; // the next line is the rest of a split one
    bool m_bCtrlZ;
    bool m_bIgnoreCtrlZ;
    uint64_t m_qwBufferOffset; // file offset of m_pBuffer[0]
    uint64_t m_qwLineOffset;
    uint64_t m_qwCtrlZOffset;
};
