// CLineReader: reads a text file line by line the way the C runtime's text
// mode on Windows does (a carriage return before a line feed is dropped, a
// Ctrl-Z ends the file), through one large buffer and without copying lines.
#pragma once

#include "device/KazApi.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

class CLineReader {
public:
    // Longest line, its line feed included, that the image reader takes whole
    // (the reader was designed around a 4096-byte line buffer).
    static constexpr uint32_t MAX_LINE = 4095;
    static constexpr size_t BUFFER_SIZE = 1u << 20;

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
    uint32_t NextLine(const char** line, uint32_t* length);

private:
    void Fill();
    size_t ReadSource(char* to, size_t count);

    FILE* m_pFile;
    const uint8_t* m_pMemory;
    size_t m_nMemorySize;
    size_t m_nMemoryPos;
    char* m_pBuffer;
    size_t m_nPos;      // first unread byte
    size_t m_nEnd;      // end of the bytes in the buffer
    size_t m_nNextNul;  // first NUL byte at or after m_nPos, or m_nEnd
    bool m_bSourceEnd;  // the source has nothing more (end, error or Ctrl-Z)
    char m_cLongFirst;  // first character of the last over-long line
};
