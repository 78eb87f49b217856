// libFuzzer target: the image reader's vector paths against its scalar path.
// Every input is decoded (and tested and summed as the check does) as digits
// in runs of every length the paths treat apart, and read as an image, on each digit path the CPU has; the bytes,
// the records, the status, the result, the blocks and what an observer sees
// must be those of the scalar path, and the scalar bytes those of the digit
// rule.
#include "flash/HexDigits.h"
#include "flash/ImageFile.h"
#include "flash/ImageReader.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

[[noreturn]] void Fail(const char* what, uint32_t level)
{
    std::fprintf(stderr, "fuzz_image_digits: %s (digit path %u)\n", what, level);
    std::abort();
}

// The digits of the input cut into runs of the given length.
std::vector<uint8_t> DecodeRuns(const uint8_t* data, size_t size, uint32_t run)
{
    std::vector<uint8_t> bytes(size / 2);
    for (size_t at = 0; at < bytes.size(); at += run) {
        const uint32_t n = static_cast<uint32_t>(bytes.size() - at < run ? bytes.size() - at : run);
        CImageReader::DecodeData(reinterpret_cast<const char*>(data) + 2 * at, n, bytes.data() + at);
    }
    return bytes;
}

// The check's helpers over the same runs: the digit test, the searches for
// a pair and a character, and the sums, which must be those of the bytes;
// the digit test and decoding in one must agree with the two apart.
std::vector<uint32_t> CheckRuns(const uint8_t* data, size_t size, uint32_t run, uint32_t level)
{
    const char* text = reinterpret_cast<const char*>(data);
    std::vector<uint32_t> out;
    static uint8_t s_Bytes[4096], s_Upper[4096];
    for (size_t at = 0; at + 2 * run <= size; at += 2 * run) {
        const bool upper = CHexDigits::UpperDigits(text + at, 2 * run);
        out.push_back(upper);
        out.push_back(CHexDigits::LacksPair(text + at, run, '2', '4'));
        out.push_back(CHexDigits::Lacks(text + at, 2 * run, '$'));
        const uint32_t sum = CHexDigits::DecodeSum(text + at, run, s_Bytes);
        uint32_t bytes = 0;
        for (uint32_t i = 0; i < run; ++i)
            bytes += s_Bytes[i];
        if (sum != bytes)
            Fail("a sum is not that of the bytes", level);
        out.push_back(sum);
        uint32_t upperSum = 0;
        if (CHexDigits::DecodeSumUpper(text + at, run, s_Upper, &upperSum) != upper)
            Fail("the digit test in one with the decoding judges the digits otherwise", level);
        if (upper && (upperSum != sum || std::memcmp(s_Upper, s_Bytes, run) != 0))
            Fail("the decoding with the digit test gives other bytes or another sum", level);
    }
    return out;
}

// Every event of a load, as bytes.
class CEventLog final : public IImageObserver {
public:
    std::vector<uint8_t> Events;
    void OnLine(const LINE& line) override
    {
        const uint32_t fields[] = {line.dwNumber, line.dwKind,   line.bRemainder,
                                   line.bSplit,   line.dwLength, line.dwType};
        Append(fields, sizeof(fields));
        Append(&line.qwOffset, sizeof(line.qwOffset));
        Append(line.pText, line.dwLength);
    }
    void OnRecord(const LINE&, const RECORD_DATA& record) override
    {
        Append(&record.dwAddress, sizeof(record.dwAddress));
        Append(&record.dwCount, sizeof(record.dwCount));
        Append(record.pDigits, 2 * record.dwCount);
    }
    bool WantsUnreadLines() const override { return true; }

private:
    void Append(const void* data, size_t size)
    {
        const auto* bytes = static_cast<const uint8_t*>(data);
        Events.insert(Events.end(), bytes, bytes + size);
    }
};

struct Reading {
    std::vector<uint8_t> Records; // address, count and bytes of each, in order
    uint32_t Status = 0;
    KZMRESULT Result = 0;
    std::vector<uint8_t> Blocks; // start, end and bytes of each, in list order
    std::vector<uint8_t> Events;
};

void Append(std::vector<uint8_t>& out, const void* data, size_t size)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    out.insert(out.end(), bytes, bytes + size);
}

Reading Read(const uint8_t* data, size_t size)
{
    Reading reading;
    CImageReader reader;
    reader.OpenMemory(data, size);
    static uint8_t record[CImageReader::DATA_CAPACITY];
    uint32_t length = sizeof(record), address = 0;
    while ((reading.Status = reader.ReadDataRecord(&length, record, &address)) == CImageReader::RECORD_OK) {
        Append(reading.Records, &address, sizeof(address));
        Append(reading.Records, &length, sizeof(length));
        Append(reading.Records, record, length);
        length = sizeof(record);
    }
    CImageFile image;
    reading.Result = image.LoadMemory(data, size);
    for (uint32_t i = 0; reading.Result == 0 && i < image.GetBlockCount(); ++i) {
        uint32_t start = 0, end = 0;
        const uint8_t* bytes = nullptr;
        image.GetBlock(i, &start, &end, &bytes);
        Append(reading.Blocks, &start, sizeof(start));
        Append(reading.Blocks, &end, sizeof(end));
        Append(reading.Blocks, bytes, end - start);
    }
    CEventLog log;
    CImageFile observed;
    observed.SetObserver(&log);
    observed.LoadMemory(data, size);
    reading.Events = std::move(log.Events);
    return reading;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const uint32_t RUNS[] = {1, 7, 8, 9, 15, 16, 17, 21, 24, 31, 32, 33, 48, 49, 64, 255, 4096};
    CHexDigits::SetLevel(CHexDigits::LEVEL_SCALAR);
    std::vector<std::vector<uint8_t>> decoded;
    std::vector<std::vector<uint32_t>> checked;
    for (uint32_t run : RUNS) {
        decoded.push_back(DecodeRuns(data, size, run));
        checked.push_back(CheckRuns(data, size, run, CHexDigits::LEVEL_SCALAR));
    }
    for (size_t i = 0; i < size / 2; ++i)
        if (decoded[0][i] !=
            static_cast<uint8_t>((CHexDigits::Value(data[2 * i]) << 4) | CHexDigits::Value(data[2 * i + 1])))
            Fail("the scalar path breaks the digit rule", CHexDigits::LEVEL_SCALAR);
    const Reading scalar = Read(data, size);

    for (uint32_t level = CHexDigits::LEVEL_SCALAR + 1; level <= CHexDigits::CpuLevel(); ++level) {
        CHexDigits::SetLevel(level);
        for (size_t r = 0; r < std::size(RUNS); ++r) {
            if (DecodeRuns(data, size, RUNS[r]) != decoded[r])
                Fail("digits decode other bytes than on the scalar path", level);
            if (CheckRuns(data, size, RUNS[r], level) != checked[r])
                Fail("the check's digit test, pair search or sums differ from the scalar path's", level);
        }
        const Reading vector = Read(data, size);
        if (vector.Records != scalar.Records || vector.Status != scalar.Status)
            Fail("the records differ from the scalar path's", level);
        if (vector.Result != scalar.Result || vector.Blocks != scalar.Blocks)
            Fail("the image differs from the scalar path's", level);
        if (vector.Events != scalar.Events)
            Fail("an observer sees other lines than on the scalar path", level);
    }
    return 0;
}
