#include "flash/ImageReader.h"

#include "flash/HexDigits.h"

uint32_t CImageReader::NextRecordAny(RECORD* record)
{
    if (m_pObserver != nullptr)
        return NextRecordObserved(record);
    record->dwCount = 0;
    record->dwAddress = 0;
    record->pDigits = nullptr;
    uint32_t status = RECORD_OK;
    for (;;) {
        const char* line = nullptr;
        uint32_t length = 0;
        if (NextLine(&line, &length) == CLineReader::LINE_END)
            return RECORD_MALFORMED;
        if (ParseLine(line, length, record, &status))
            return status;
    }
}

CImageReader::CImageReader() : m_dwExtension(0), m_pObserver(nullptr), m_dwLineNumber(0), m_bShortcut(false) {}

KZMRESULT CImageReader::Start(KZMRESULT result)
{
    m_dwExtension = 0;
    m_dwLineNumber = 0;
    m_bShortcut = CHexDigits::GetLevel() != CHexDigits::LEVEL_SCALAR;
    return result;
}

uint8_t CImageReader::HexByte(char high, char low)
{
    return CRecordLine::HexPair(high, low);
}

uint32_t CImageReader::ParseHexRecord(const char* line, uint32_t length, uint32_t* extension, RECORD* record)
{
    return CRecordLine::ParseHex(line, length, extension, record);
}

uint32_t CImageReader::ParseSRecord(const char* line, uint32_t length, RECORD* record)
{
    return CRecordLine::ParseS(line, length, record);
}

// The same reading, with every line reported.
uint32_t CImageReader::NextRecordObserved(RECORD* record)
{
    return NextRecordReported(*m_pObserver, record);
}

void CImageReader::ReportUnreadLines()
{
    if (m_pObserver == nullptr || !m_pObserver->WantsUnreadLines())
        return;
    if (m_Lines.StoppedAtCtrlZ() && !m_Lines.ResumeAfterCtrlZ())
        return;
    const char* line = nullptr;
    uint32_t length = 0;
    while (m_Lines.NextLine(&line, &length) == CLineReader::LINE_OK) {
        ++m_dwLineNumber;
        Notify(*m_pObserver, IImageObserver::LINE_UNREAD, line, length, 0, nullptr);
    }
}

uint32_t CImageReader::ReadDataRecord(uint32_t* length, uint8_t* data, uint32_t* address)
{
    const uint32_t capacity = *length;
    *length = 0;
    RECORD record;
    const uint32_t status = NextRecord(&record);
    if (status != RECORD_OK)
        return status;
    // A record holds at most 255 bytes; the buffer is meant to hold 4096.
    if (record.dwCount > capacity || data == nullptr)
        return RECORD_MALFORMED;
    DecodeData(record.pDigits, record.dwCount, data);
    *length = record.dwCount;
    *address = record.dwAddress;
    return RECORD_OK;
}
