// Image files as users' toolchains make them. Intel HEX and S-record files go
// to the library as they are; a raw binary (placed at a base address) and the
// loadable segments of an ELF file are written as an S-record file into a
// private temporary folder first, which goes again with the input. The
// bytes stream from the file into the S-record file: converting holds
// neither the image nor its text in memory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "TempFolder.h"

namespace kzhost {

enum class ImageFormat { Records, Binary, Elf }; // values as KZH_INPUT_*

// One run of bytes at its load address.
struct LoadSegment {
    uint32_t address = 0;
    std::vector<uint8_t> bytes;
};

// The one S-record writer: an S0 header, S3 data records of at most 32
// bytes, an S7 end record; checksums and upper-case digits as the strict
// check wants them. Into a file (buffered) or a text.
class CSRecordWriter {
public:
    explicit CSRecordWriter(std::FILE* file);
    explicit CSRecordWriter(std::string& text);
    CSRecordWriter(const CSRecordWriter&) = delete;
    CSRecordWriter& operator=(const CSRecordWriter&) = delete;

    void Data(uint32_t address, const uint8_t* bytes, size_t size);
    // size bytes of one value from address on.
    void Fill(uint32_t address, uint64_t size, uint8_t value);
    // The end record; false when any write failed.
    bool Finish();

private:
    static constexpr size_t BYTES_PER_RECORD = 32;
    void Record(char type, uint32_t address, const uint8_t* data, size_t size);
    void Flush();

    std::FILE* m_pFile = nullptr;
    std::string* m_pText = nullptr;
    std::string m_Buffer;
    bool m_bFailed = false;
};

// The segments as an S-record text.
std::string SRecordText(const std::vector<LoadSegment>& segments);

// Writes size bytes of one value from address on as an S-record file; the
// one sentence why not when it cannot.
std::optional<std::string> WriteFilledImage(const std::string& path, uint32_t address, uint64_t size, uint8_t value);

// What the file is, from its first bytes: ELF by its magic, a record file
// when it is text whose first line that is not blank starts a record, a raw
// binary when a base is given for anything else. nullopt with the one
// sentence and the code (KZH_E_FORMAT, KZH_E_BASE) when it is none.
std::optional<ImageFormat> SniffImageFormat(const std::string& path, bool baseGiven, std::string& error,
                                            uint32_t* code = nullptr);

class CImageInput {
public:
    CImageInput() = default;
    ~CImageInput();
    CImageInput(const CImageInput&) = delete;
    CImageInput& operator=(const CImageInput&) = delete;

    // Makes the file ready for the library. nullopt when ready; otherwise the
    // one sentence why not, and Result() says the code.
    std::optional<std::string> Open(const std::string& file, std::optional<uint32_t> base);
    // KZM_OK after a good Open, else its KZH_E_* code.
    uint32_t Result() const { return m_Result; }
    // The kazmir command's exit code for the last failed Open (a base for a
    // file with addresses of its own is a usage error, the rest image errors).
    int FailureExit() const;

    // The file the library and the check read: the user's own, or the
    // temporary S-record file.
    const std::string& LibraryPath() const { return m_TempFile.empty() ? m_File : m_TempFile; }
    ImageFormat Format() const { return m_Format; }
    // "ELF file, 2 loadable segments, 4096 bytes" / "raw binary of 4096 bytes at 0x08000000"; "" for record files.
    const std::string& Description() const { return m_Description; }
    uint32_t Segments() const { return m_Segments; }
    uint64_t Bytes() const { return m_Bytes; }

    // The private folder in use (empty when none).
    const std::string& TempDir() const
    {
        static const std::string s_None;
        return m_Temp ? m_Temp->Path() : s_None;
    }

private:
    std::optional<std::string> Fail(uint32_t code, std::string why);
    std::optional<std::string> MakeTemporary(std::FILE*& out);
    std::optional<std::string> ConvertBinary(uint32_t base);
    std::optional<std::string> ConvertElf();
    void Remove();

    std::string m_File;
    ImageFormat m_Format = ImageFormat::Records;
    uint32_t m_Result = 0;
    std::string m_Description;
    uint32_t m_Segments = 0;
    uint64_t m_Bytes = 0;
    std::optional<CTempFolder> m_Temp;
    std::string m_TempFile;
};

} // namespace kzhost
