#include "ImageInput.h"

#include "ImageCheck.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>

#if KAZMIR_CLI_ELF
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>
#endif
#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace kzcli {

namespace {

constexpr size_t SRECORD_DATA = 32;  // data bytes per S3 record
constexpr size_t SNIFF_BYTES = 4096; // what the format is told from

std::string Name(const std::string& path)
{
    return std::filesystem::path(path).filename().string();
}

// Temporary folders still in place; removed at exit too, so that a run that
// ends through exit() (an interrupt, say) leaves none behind.
std::mutex g_TempMutex;
std::set<std::string> g_TempDirs;

void RemoveAllTemporary()
{
    std::lock_guard<std::mutex> lock(g_TempMutex);
    std::error_code ec;
    for (const std::string& dir : g_TempDirs)
        std::filesystem::remove_all(dir, ec);
    g_TempDirs.clear();
}

void AppendRecord(std::string& out, char type, uint32_t address, const uint8_t* data, size_t size)
{
    static const char DIGITS[] = "0123456789ABCDEF";
    const size_t addressBytes = type == '0' ? 2 : 4;
    const uint8_t count = static_cast<uint8_t>(addressBytes + size + 1);
    unsigned sum = count;
    out += 'S';
    out += type;
    auto put = [&](uint8_t byte) {
        out += DIGITS[byte >> 4];
        out += DIGITS[byte & 15];
    };
    put(count);
    for (size_t i = addressBytes; i-- > 0;) {
        const uint8_t byte = static_cast<uint8_t>(address >> (8 * i));
        sum += byte;
        put(byte);
    }
    for (size_t i = 0; i < size; ++i) {
        sum += data[i];
        put(data[i]);
    }
    put(static_cast<uint8_t>(~sum));
    out += '\n';
}

std::optional<std::string> CheckRange(const std::string& path, uint64_t address, uint64_t size)
{
    // The library takes a record that reaches the end of the 32-bit address
    // space as malformed.
    if (address + size >= 0x100000000ull) {
        char text[160];
        std::snprintf(text, sizeof(text), "runs to the end of the 32-bit address space (0x%llX bytes at 0x%llX)",
                      static_cast<unsigned long long>(size), static_cast<unsigned long long>(address));
        return path + " " + text;
    }
    return std::nullopt;
}

} // namespace

std::string SRecordText(const std::vector<LoadSegment>& segments)
{
    static const uint8_t HEADER[] = {'k', 'a', 'z', 'm', 'i', 'r'};
    std::string out;
    AppendRecord(out, '0', 0, HEADER, sizeof(HEADER));
    for (const LoadSegment& segment : segments)
        for (size_t at = 0; at < segment.bytes.size(); at += SRECORD_DATA)
            AppendRecord(out, '3', static_cast<uint32_t>(segment.address + at), segment.bytes.data() + at,
                         std::min(SRECORD_DATA, segment.bytes.size() - at));
    AppendRecord(out, '7', 0, nullptr, 0);
    return out;
}

#if KAZMIR_CLI_ELF
std::optional<std::vector<LoadSegment>> ReadElfSegments(const std::string& path, std::string& error)
{
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    elf_version(EV_CURRENT);
    Elf* elf = elf_begin(fd, ELF_C_READ, nullptr);
    std::optional<std::vector<LoadSegment>> result;
    auto fail = [&](const std::string& why) { error = path + " " + why; };
    size_t headers = 0, fileSize = 0;
    const char* raw = elf != nullptr ? elf_rawfile(elf, &fileSize) : nullptr;
    if (elf == nullptr || elf_kind(elf) != ELF_K_ELF || raw == nullptr) {
        fail(std::string("is no ELF file kazmir can read (") + elf_errmsg(-1) + ")");
    } else if (elf_getphdrnum(elf, &headers) != 0) {
        fail(std::string("has no program headers kazmir can read (") + elf_errmsg(-1) + ")");
    } else {
        std::vector<LoadSegment> segments;
        bool ok = true;
        for (size_t i = 0; ok && i < headers; ++i) {
            GElf_Phdr phdr;
            if (gelf_getphdr(elf, static_cast<int>(i), &phdr) == nullptr) {
                fail("has a program header kazmir cannot read");
                ok = false;
            } else if (phdr.p_type == PT_LOAD && phdr.p_filesz > 0) {
                if (phdr.p_offset > fileSize || phdr.p_filesz > fileSize - phdr.p_offset) {
                    fail("is cut short: a loadable segment lies beyond the end of the file");
                    ok = false;
                } else if (auto why = CheckRange("", phdr.p_paddr, phdr.p_filesz)) {
                    fail("has a loadable segment that " + why->substr(1));
                    ok = false;
                } else {
                    const char* begin = raw + phdr.p_offset;
                    segments.push_back(
                        {static_cast<uint32_t>(phdr.p_paddr), std::vector<uint8_t>(begin, begin + phdr.p_filesz)});
                }
            }
        }
        if (ok && segments.empty())
            fail("is an ELF file without a loadable segment that holds data");
        if (ok && !segments.empty())
            result = std::move(segments);
    }
    if (elf != nullptr)
        elf_end(elf);
    ::close(fd);
    return result;
}
#else
std::optional<std::vector<LoadSegment>> ReadElfSegments(const std::string& path, std::string& error)
{
    error = path + " is an ELF file, and this build of kazmir reads no ELF files: convert it to Intel HEX";
    return std::nullopt;
}
#endif

std::optional<ImageFormat> SniffImageFormat(const std::string& path, bool baseGiven, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    std::string head(SNIFF_BYTES, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(in.gcount()));
    if (head.starts_with("\x7f"
                         "ELF")) {
        if (!baseGiven)
            return ImageFormat::Elf;
        error = path + " is an ELF file, which carries its own addresses: leave out --base";
        return std::nullopt;
    }
    if (baseGiven)
        return ImageFormat::Binary;
    // A record file is text; its first line that is not blank starts a record
    // (the check then holds every line to the rules).
    const size_t first = head.find_first_not_of(" \t\r\n");
    const bool text =
        head.find_first_of(std::string("\0\x01\x02\x03\x04\x05\x06\x07\x08\x0e\x0f\x7f", 12)) == std::string::npos;
    if (first == std::string::npos || (text && (head[first] == ':' || head[first] == 'S' || head[first] == 's')))
        return ImageFormat::Records;
    error = path +
            " is neither Intel HEX, S-records nor ELF; a raw binary needs --base ADDR, the address of its first byte";
    return std::nullopt;
}

CImageInput::~CImageInput()
{
    Remove();
}

void CImageInput::Remove()
{
    if (m_TempDir.empty())
        return;
    std::error_code ec;
    std::filesystem::remove_all(m_TempDir, ec);
    std::lock_guard<std::mutex> lock(g_TempMutex);
    g_TempDirs.erase(m_TempDir);
    m_TempDir.clear();
    m_TempFile.clear();
}

std::optional<std::string> CImageInput::Open(const std::string& file, std::optional<uint32_t> base)
{
    Remove();
    m_File = file;
    m_Description.clear();
    if (auto reason = UnreadableReason(file))
        return reason;
    std::string error;
    const auto format = SniffImageFormat(file, base.has_value(), error);
    if (!format)
        return error;
    m_Format = *format;
    std::vector<LoadSegment> segments;
    char text[160];
    if (m_Format == ImageFormat::Records)
        return std::nullopt;
    if (m_Format == ImageFormat::Elf) {
        auto read = ReadElfSegments(file, error);
        if (!read)
            return error;
        segments = std::move(*read);
        uint64_t bytes = 0;
        for (const LoadSegment& s : segments)
            bytes += s.bytes.size();
        std::snprintf(text, sizeof(text), "ELF file, %zu loadable segment%s, %llu bytes", segments.size(),
                      segments.size() == 1 ? "" : "s", static_cast<unsigned long long>(bytes));
    } else {
        std::ifstream in(file, std::ios::binary);
        LoadSegment segment{*base, std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {})};
        if (segment.bytes.empty())
            return file + " is empty: there is nothing to program";
        if (auto why = CheckRange(file, *base, segment.bytes.size()))
            return why;
        std::snprintf(text, sizeof(text), "raw binary of %zu bytes at 0x%08X", segment.bytes.size(), *base);
        segments.push_back(std::move(segment));
    }
    m_Description = text;
    return WriteTemporary(segments);
}

std::optional<std::string> CImageInput::WriteTemporary(const std::vector<LoadSegment>& segments)
{
    static const bool registered = std::atexit(RemoveAllTemporary) == 0;
    (void)registered;
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec)
        return std::string("cannot find a folder for temporary files: ") + ec.message();
#ifdef _WIN32
    // The user's own temporary folder; a fresh name, made once.
    std::filesystem::path dir;
    for (unsigned i = 0; i < 100 && dir.empty(); ++i) {
        auto candidate = base / ("kazmir-" + std::to_string(std::rand()) + std::to_string(i));
        if (std::filesystem::create_directory(candidate, ec))
            dir = candidate;
    }
    if (dir.empty())
        return "cannot make a temporary folder in " + base.string();
    m_TempDir = dir.string();
#else
    std::string pattern = (base / "kazmir-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) // made with mode 0700
        return "cannot make a temporary folder in " + base.string() + ": " + std::strerror(errno);
    m_TempDir = pattern;
#endif
    {
        std::lock_guard<std::mutex> lock(g_TempMutex);
        g_TempDirs.insert(m_TempDir);
    }
    m_TempFile = (std::filesystem::path(m_TempDir) / (Name(m_File) + ".srec")).string();
    std::ofstream out(m_TempFile, std::ios::binary);
    const std::string text = SRecordText(segments);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out) {
        Remove();
        return "cannot write a temporary file for " + m_File + " in " + base.string();
    }
    return std::nullopt;
}

} // namespace kzcli
