// CImageReader: the records of a firmware image file (Intel HEX and Motorola
// S-records, both kinds in one file), one data record at a time.
#pragma once

#include "device/KazApi.h"
#include "flash/LineReader.h"

#include <cstdint>

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
    // Decodes count bytes from 2 * count digits.
    static void DecodeData(const char* digits, uint32_t count, uint8_t* out);
    // One line (length as a C string, line feed included) of each kind.
    // ParseHexRecord reads and updates the address extension.
    static uint32_t ParseHexRecord(const char* line, uint32_t length, uint32_t* extension, RECORD* record);
    static uint32_t ParseSRecord(const char* line, uint32_t length, RECORD* record);

    KZRESULT Open(const char* fileName) { return Start(m_Lines.Open(fileName)); }
    KZRESULT OpenMemory(const void* data, size_t size) { return Start(m_Lines.OpenMemory(data, size)); }
    // Back to the first record, extension 0.
    KZRESULT Rewind() { return Start(m_Lines.Rewind()); }
    void Close() { m_Lines.Close(); }

    // Reads lines until a record yields data (RECORD_OK, dwCount >= 1) or a
    // status other than RECORD_OK comes; the end of the file is
    // RECORD_MALFORMED. Lines that are no record are skipped.
    uint32_t NextRecord(RECORD* record);
    // The same with the data decoded: *length goes in as the capacity of data
    // and comes back as the number of data bytes (0 unless RECORD_OK).
    uint32_t ReadDataRecord(uint32_t* length, uint8_t* data, uint32_t* address);

    uint32_t GetExtension() const { return m_dwExtension; }

private:
    KZRESULT Start(KZRESULT result)
    {
        m_dwExtension = 0;
        return result;
    }

    CLineReader m_Lines;
    uint32_t m_dwExtension;
};
