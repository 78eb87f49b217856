// CImageReader: the records of a firmware image file (Intel HEX and Motorola
// S-records, both kinds in one file), one data record at a time.
#pragma once

#include "kazmir.h"
#include "flash/HexDigits.h"
#include "flash/LineReader.h"

#include <cstdint>

// Watches the reader: each line as the reader took it and each data record
// as decoded. For checks and listings on top of the library's own reading;
// a reader without an observer pays nothing for it.
class IImageObserver {
public:
    enum : uint32_t {
        LINE_RECORD = 0,    // a record the reader took (data or not)
        LINE_SKIPPED = 1,   // no record (empty line, comment): skipped
        LINE_MALFORMED = 2, // a record line the reader refused: reading stops here
        LINE_END = 3,       // an end record: reading stops here
        LINE_TEXT_STOP = 4, // a Ctrl-Z: text mode ends the file here
        LINE_UNREAD = 5,    // a line after the stop (only for observers that ask for them)
    };
    struct LINE {
        uint32_t dwNumber; // 1 for the first line; each split part counts as a line
        uint64_t qwOffset; // where the line begins in the file
        uint32_t dwKind;   // LINE_...
        bool bRemainder;   // the rest of a longer line, split after MAX_LINE characters
        bool bSplit;       // MAX_LINE characters without a line end: the rest follows as the next line
        const char* pText; // the characters as read (CR LF as LF), valid during the call
        uint32_t dwLength; // as a C string would have it
        uint32_t dwType;   // record type as decoded (Intel type byte, S-record digit); LINE_RECORD only
    };
    // A data record, right after its line: its address as decoded (address
    // extension included) and its data digits, which
    // CImageReader::DecodeData turns into the bytes the library loads.
    struct RECORD_DATA {
        uint32_t dwAddress;
        uint32_t dwCount;
        const char* pDigits;
    };
    virtual void OnLine(const LINE& line) = 0;
    virtual void OnRecord(const LINE& line, const RECORD_DATA& record) = 0;
    // Whether the lines after the stop are wanted too (as LINE_UNREAD).
    virtual bool WantsUnreadLines() const { return false; }

protected:
    ~IImageObserver() = default;
};

class CImageReader {
public:
    // Status of a record: go on, the end of the image, or a malformed line.
    static constexpr uint32_t RECORD_OK = 0;
    static constexpr uint32_t RECORD_END = 38;       // ERROR_HANDLE_EOF
    static constexpr uint32_t RECORD_MALFORMED = 30; // ERROR_READ_FAULT
    static constexpr uint32_t DATA_CAPACITY = 4096;

    // One record as parsed: its data bytes are still digits in the line.
    struct RECORD {
        uint32_t dwCount;    // number of data bytes (0 for a record without data)
        uint32_t dwAddress;  // address of the first data byte
        const char* pDigits; // 2 * dwCount hexadecimal digits
    };

    CImageReader();

    // Two characters to one byte: a character counts c - '0' below 'A' and
    // c - 55 from 'A' on (characters taken as unsigned 8-bit codes), the first
    // shifted left by 4 and or-ed with the second, in 8 bits. Nothing is
    // checked, so lower-case digits give wrong bytes.
    static uint8_t HexByte(char high, char low);
    // Decodes count bytes from 2 * count digits (out must not overlap them),
    // by the same arithmetic, 16 or 32 digits a step where the CPU can.
    static void DecodeData(const char* digits, uint32_t count, uint8_t* out) { CHexDigits::Decode(digits, count, out); }
    // One line (length as a C string, line feed included) of each kind.
    // ParseHexRecord reads and updates the address extension.
    static uint32_t ParseHexRecord(const char* line, uint32_t length, uint32_t* extension, RECORD* record);
    static uint32_t ParseSRecord(const char* line, uint32_t length, RECORD* record);

    KZMRESULT Open(const char* fileName) { return Start(m_Lines.Open(fileName)); }
    KZMRESULT OpenMemory(const void* data, size_t size) { return Start(m_Lines.OpenMemory(data, size)); }
    // Back to the first record, extension 0.
    KZMRESULT Rewind() { return Start(m_Lines.Rewind()); }
    void Close() { m_Lines.Close(); }

    // Reads lines until a record yields data (RECORD_OK, dwCount >= 1) or a
    // status other than RECORD_OK comes; the end of the file is
    // RECORD_MALFORMED. Lines that are no record are skipped.
    uint32_t NextRecord(RECORD* record);
    // The same with the data decoded: *length goes in as the capacity of data
    // and comes back as the number of data bytes (0 unless RECORD_OK).
    uint32_t ReadDataRecord(uint32_t* length, uint8_t* data, uint32_t* address);

    uint32_t GetExtension() const { return m_dwExtension; }

    // Set for one pass; null for none.
    void SetObserver(IImageObserver* observer) { m_pObserver = observer; }
    // After a stop: reports the lines that were not read to an observer that
    // wants them, reading on past a Ctrl-Z.
    void ReportUnreadLines();

private:
    // Extension 0, line 0, the digit path of this pass.
    KZMRESULT Start(KZMRESULT result);
    uint32_t NextRecordObserved(RECORD* record);
    // A line as the record loop sees it; true when reading stops after it
    // (data, or a status other than RECORD_OK).
    bool ParseLine(const char* line, uint32_t length, RECORD* record, uint32_t* status);
    // The next line, as CLineReader::NextLine gives it.
    uint32_t NextLine(const char** line, uint32_t* length);
    void Notify(uint32_t kind, const char* line, uint32_t length, uint32_t type, const RECORD* record);

    CLineReader m_Lines;
    uint32_t m_dwExtension;
    IImageObserver* m_pObserver;
    uint32_t m_dwLineNumber;
    // With the vector paths: record lines are taken whole from the line
    // buffer when their byte count tells where they end, instead of by a
    // search for the line feed.
    bool m_bShortcut;
};
