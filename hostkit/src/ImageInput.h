// Image files as users' toolchains make them. Intel HEX and S-record files go
// to the library as they are; a raw binary (placed with --base) and the
// loadable segments of an ELF file are written as an S-record file into a
// private temporary folder first, which goes again when the command ends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kzcli {

enum class ImageFormat { Records, Binary, Elf };

// One run of bytes at its load address.
struct LoadSegment {
    uint32_t address = 0;
    std::vector<uint8_t> bytes;
};

// The segments as an S-record file: S0 header, S3 data records of at most 32
// bytes, S7 end record; checksums and upper-case digits as the strict check
// wants them.
std::string SRecordText(const std::vector<LoadSegment>& segments);

// The PT_LOAD segments with file data, at their physical (load) addresses.
// nullopt with one sentence in error when the file is no ELF file this host
// can read, or has nothing to load.
std::optional<std::vector<LoadSegment>> ReadElfSegments(const std::string& path, std::string& error);

// What the file is, from its first bytes: ELF by its magic, a binary when
// --base is given, a record file when it is text whose first line that is not
// blank starts a record. nullopt with the one sentence when it is none.
std::optional<ImageFormat> SniffImageFormat(const std::string& path, bool baseGiven, std::string& error);

class CImageInput {
public:
    CImageInput() = default;
    ~CImageInput();
    CImageInput(const CImageInput&) = delete;
    CImageInput& operator=(const CImageInput&) = delete;

    // Makes the file ready for the library. nullopt when ready; otherwise the
    // one sentence why not (exit 3).
    std::optional<std::string> Open(const std::string& file, std::optional<uint32_t> base);

    // The file the library and the check read: the user's own, or the
    // temporary S-record file.
    const std::string& LibraryPath() const { return m_TempFile.empty() ? m_File : m_TempFile; }
    ImageFormat Format() const { return m_Format; }
    // "ELF file, 2 segments, 4096 bytes" / "raw binary of 4096 bytes at 0x08000000"; "" for record files.
    const std::string& Description() const { return m_Description; }

    // The private folder in use (empty when none); for tests.
    const std::string& TempDir() const { return m_TempDir; }

private:
    std::optional<std::string> WriteTemporary(const std::vector<LoadSegment>& segments);
    void Remove();

    std::string m_File;
    ImageFormat m_Format = ImageFormat::Records;
    std::string m_Description;
    std::string m_TempDir;
    std::string m_TempFile;
};

} // namespace kzcli
