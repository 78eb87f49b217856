#include "ImageInput.h"

#include "ImageCheck.h"
#include "ResultText.h"
#include "kazmir_host.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#if KAZMIR_HOST_ELF
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>
#endif

namespace kzhost {

namespace {

constexpr size_t SNIFF_BYTES = 4096;      // what the format is told from
constexpr size_t CHUNK = 64u << 10;       // bytes of a raw binary read at a time
constexpr size_t TEXT_BUFFER = 64u << 10; // S-record text written at a time
constexpr uint64_t ADDRESS_SPACE = 1ull << 32;

std::string Name(const std::string& path)
{
    return std::filesystem::path(path).filename().string();
}

// The library takes a record that reaches the end of the 32-bit address space
// as malformed: the data must end below it.
std::optional<std::string> CheckRange(uint64_t address, uint64_t size)
{
    if (address + size >= ADDRESS_SPACE)
        return Fmt("runs to the end of the 32-bit address space (0x%llX bytes at 0x%llX)",
                   static_cast<unsigned long long>(size), static_cast<unsigned long long>(address));
    return std::nullopt;
}

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Whether the first line that is not blank is a record of either kind: its
// mark, then hexadecimal digits only (an S-record's type digit first).
const char* RecordsRead(const std::string& head, size_t first)
{
    const char mark = head[first];
    size_t at = first + 1;
    if (mark == 'S' || mark == 's') {
        if (at >= head.size() || head[at] < '0' || head[at] > '9')
            return nullptr;
        ++at;
    } else if (mark != ':') {
        return nullptr;
    }
    size_t digits = 0;
    while (at < head.size() && IsHexDigit(head[at])) {
        ++at;
        ++digits;
    }
    const bool lineEnds = at == head.size() || head[at] == '\n' || head[at] == '\r';
    if (!lineEnds || digits < 8)
        return nullptr;
    return mark == ':' ? "Intel HEX" : "S-records";
}

} // namespace

CSRecordWriter::CSRecordWriter(std::FILE* file) : m_pFile(file)
{
    static const uint8_t HEADER[] = {'k', 'a', 'z', 'm', 'i', 'r'};
    m_Buffer.reserve(TEXT_BUFFER + 128);
    Record('0', 0, HEADER, sizeof(HEADER));
}

CSRecordWriter::CSRecordWriter(std::string& text) : m_pText(&text)
{
    static const uint8_t HEADER[] = {'k', 'a', 'z', 'm', 'i', 'r'};
    Record('0', 0, HEADER, sizeof(HEADER));
}

void CSRecordWriter::Record(char type, uint32_t address, const uint8_t* data, size_t size)
{
    static const char DIGITS[] = "0123456789ABCDEF";
    std::string& out = m_pText != nullptr ? *m_pText : m_Buffer;
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
    if (m_pFile != nullptr && m_Buffer.size() >= TEXT_BUFFER)
        Flush();
}

void CSRecordWriter::Flush()
{
    if (m_pFile == nullptr || m_Buffer.empty())
        return;
    if (std::fwrite(m_Buffer.data(), 1, m_Buffer.size(), m_pFile) != m_Buffer.size())
        m_bFailed = true;
    m_Buffer.clear();
}

void CSRecordWriter::Data(uint32_t address, const uint8_t* bytes, size_t size)
{
    for (size_t at = 0; at < size; at += BYTES_PER_RECORD)
        Record('3', static_cast<uint32_t>(address + at), bytes + at, std::min(BYTES_PER_RECORD, size - at));
}

void CSRecordWriter::Fill(uint32_t address, uint64_t size, uint8_t value)
{
    uint8_t bytes[BYTES_PER_RECORD];
    std::memset(bytes, value, sizeof(bytes));
    for (uint64_t at = 0; at < size; at += BYTES_PER_RECORD)
        Record('3', static_cast<uint32_t>(address + at), bytes,
               static_cast<size_t>(std::min<uint64_t>(BYTES_PER_RECORD, size - at)));
}

bool CSRecordWriter::Finish()
{
    Record('7', 0, nullptr, 0);
    Flush();
    if (m_pFile != nullptr && std::fflush(m_pFile) != 0)
        m_bFailed = true;
    return !m_bFailed;
}

std::string SRecordText(const std::vector<LoadSegment>& segments)
{
    std::string text;
    CSRecordWriter writer(text);
    for (const LoadSegment& segment : segments)
        writer.Data(segment.address, segment.bytes.data(), segment.bytes.size());
    writer.Finish();
    return text;
}

std::optional<std::string> WriteFilledImage(const std::string& path, uint32_t address, uint64_t size, uint8_t value)
{
    if (auto why = CheckRange(address, size))
        return "an image that " + *why + " cannot be written";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return "cannot write " + path + ": " + std::strerror(errno);
    CSRecordWriter writer(file);
    writer.Fill(address, size, value);
    const bool written = writer.Finish();
    if (std::fclose(file) != 0 || !written)
        return "cannot write " + path + ": " + std::strerror(errno);
    return std::nullopt;
}

std::optional<ImageFormat> SniffImageFormat(const std::string& path, bool baseGiven, std::string& error, uint32_t* code)
{
    auto fail = [&](uint32_t why, std::string text) -> std::optional<ImageFormat> {
        error = std::move(text);
        if (code != nullptr)
            *code = why;
        return std::nullopt;
    };
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return fail(KZH_E_UNREADABLE, "cannot read " + path + ": " + std::strerror(errno));
    std::string head(SNIFF_BYTES, '\0');
    head.resize(std::fread(head.data(), 1, head.size(), file));
    std::fclose(file);
    const bool elf = head.starts_with("\x7f"
                                      "ELF");
    // A record file is text; its first line that is not blank starts a record
    // (the check then holds every line to the rules).
    const size_t first = head.find_first_not_of(" \t\r\n");
    const bool text =
        head.find_first_of(std::string("\0\x01\x02\x03\x04\x05\x06\x07\x08\x0e\x0f\x7f", 12)) == std::string::npos;
    if (baseGiven) {
        if (elf)
            return fail(KZH_E_BASE,
                        path + " is an ELF file, which carries its own addresses: --base is only for raw binaries");
        if (const char* records = text && first != std::string::npos ? RecordsRead(head, first) : nullptr)
            return fail(KZH_E_BASE, path + " reads as " + records +
                                        ", which carry their own addresses: --base is only for raw binaries");
        return ImageFormat::Binary;
    }
    if (elf)
        return ImageFormat::Elf;
    if (first == std::string::npos || (text && (head[first] == ':' || head[first] == 'S' || head[first] == 's')))
        return ImageFormat::Records;
    return fail(KZH_E_FORMAT, path + " is neither Intel HEX, S-records nor ELF; a raw binary needs --base ADDR, the "
                                     "address of its first byte");
}

CImageInput::~CImageInput()
{
    Remove();
}

void CImageInput::Remove()
{
    m_Temp.reset();
    m_TempFile.clear();
}

int CImageInput::FailureExit() const
{
    return m_Result == 0 ? EXIT_IMAGE : ExitCodeFor(m_Result, Operation::Other);
}

std::optional<std::string> CImageInput::Fail(uint32_t code, std::string why)
{
    m_Result = code;
    Remove();
    return why;
}

std::optional<std::string> CImageInput::Open(const std::string& file, std::optional<uint32_t> base)
{
    Remove();
    m_File = file;
    m_Result = 0;
    m_Description.clear();
    m_Segments = 0;
    m_Bytes = 0;
    if (auto reason = UnreadableReason(file))
        return Fail(KZH_E_UNREADABLE, *reason);
    std::string error;
    uint32_t code = 0;
    const auto format = SniffImageFormat(file, base.has_value(), error, &code);
    if (!format)
        return Fail(code, error);
    m_Format = *format;
    if (m_Format == ImageFormat::Records)
        return std::nullopt;
    return m_Format == ImageFormat::Elf ? ConvertElf() : ConvertBinary(*base);
}

std::optional<std::string> CImageInput::MakeTemporary(std::FILE*& out)
{
    m_Temp.emplace();
    if (m_Temp->Path().empty())
        return Fail(KZH_E_WRITE, m_Temp->Error());
    m_TempFile = (std::filesystem::path(m_Temp->Path()) / (Name(m_File) + ".srec")).string();
    out = std::fopen(m_TempFile.c_str(), "wb");
    if (out == nullptr)
        return Fail(KZH_E_WRITE, "cannot write a temporary file for " + m_File + " in " + m_Temp->Path());
    return std::nullopt;
}

std::optional<std::string> CImageInput::ConvertBinary(uint32_t base)
{
    std::error_code ec;
    const uint64_t size = std::filesystem::file_size(m_File, ec);
    if (ec)
        return Fail(KZH_E_UNREADABLE, "cannot read " + m_File + ": " + ec.message());
    if (size == 0)
        return Fail(KZH_E_FORMAT, m_File + " is empty: there is nothing to program");
    if (auto why = CheckRange(base, size))
        return Fail(KZH_E_FORMAT, m_File + " " + *why);
    std::FILE* in = std::fopen(m_File.c_str(), "rb");
    if (in == nullptr)
        return Fail(KZH_E_UNREADABLE, "cannot read " + m_File + ": " + std::strerror(errno));
    std::FILE* out = nullptr;
    if (auto why = MakeTemporary(out)) {
        std::fclose(in);
        return why;
    }
    bool written = false;
    uint64_t total = 0;
    {
        CSRecordWriter writer(out);
        std::vector<uint8_t> chunk(CHUNK);
        size_t n = 0;
        while (total < size && (n = std::fread(chunk.data(), 1, chunk.size(), in)) > 0) {
            n = static_cast<size_t>(std::min<uint64_t>(n, size - total));
            writer.Data(static_cast<uint32_t>(base + total), chunk.data(), n);
            total += n;
        }
        written = writer.Finish();
    }
    const bool readAll = total == size && !std::ferror(in);
    std::fclose(in);
    written = std::fclose(out) == 0 && written;
    if (!readAll)
        return Fail(KZH_E_UNREADABLE, "cannot read " + m_File + ": it changed or failed while it was read");
    if (!written)
        return Fail(KZH_E_WRITE, "cannot write a temporary file for " + m_File + ": " + std::strerror(errno));
    m_Segments = 1;
    m_Bytes = size;
    m_Description =
        Fmt("raw binary of %llu bytes at 0x%08X", static_cast<unsigned long long>(size), static_cast<unsigned>(base));
    return std::nullopt;
}

#if KAZMIR_HOST_ELF
std::optional<std::string> CImageInput::ConvertElf()
{
    const int fd = ::open(m_File.c_str(), O_RDONLY);
    if (fd < 0)
        return Fail(KZH_E_UNREADABLE, "cannot read " + m_File + ": " + std::strerror(errno));
    elf_version(EV_CURRENT);
    // Mapped, not read: the segments go from the file straight into the text.
    Elf* elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
    struct Segment {
        uint32_t address;
        uint64_t offset, size;
    };
    std::vector<Segment> segments;
    std::optional<std::string> why;
    size_t headers = 0, fileSize = 0;
    const char* raw = elf != nullptr ? elf_rawfile(elf, &fileSize) : nullptr;
    if (elf == nullptr || elf_kind(elf) != ELF_K_ELF || raw == nullptr) {
        why = std::string("is no ELF file this build can read (") + elf_errmsg(-1) + ")";
    } else if (elf_getphdrnum(elf, &headers) != 0) {
        why = std::string("has no program headers this build can read (") + elf_errmsg(-1) + ")";
    } else {
        for (size_t i = 0; !why && i < headers; ++i) {
            GElf_Phdr phdr;
            if (gelf_getphdr(elf, static_cast<int>(i), &phdr) == nullptr)
                why = "has a program header this build cannot read";
            else if (phdr.p_type != PT_LOAD || phdr.p_filesz == 0)
                continue;
            else if (phdr.p_offset > fileSize || phdr.p_filesz > fileSize - phdr.p_offset)
                why = "is cut short: a loadable segment lies beyond the end of the file";
            else if (auto range = CheckRange(phdr.p_paddr, phdr.p_filesz))
                why = "has a loadable segment that " + *range;
            else
                segments.push_back({static_cast<uint32_t>(phdr.p_paddr), phdr.p_offset, phdr.p_filesz});
        }
        if (!why && segments.empty())
            why = "is an ELF file without a loadable segment that holds data";
    }
    std::optional<std::string> result;
    if (why) {
        result = Fail(KZH_E_FORMAT, m_File + " " + *why);
    } else {
        std::FILE* out = nullptr;
        result = MakeTemporary(out);
        if (!result) {
            CSRecordWriter writer(out);
            for (const Segment& s : segments) {
                writer.Data(s.address, reinterpret_cast<const uint8_t*>(raw + s.offset), s.size);
                m_Bytes += s.size;
            }
            const bool written = writer.Finish();
            if (std::fclose(out) != 0 || !written)
                result = Fail(KZH_E_WRITE, "cannot write a temporary file for " + m_File + ": " + std::strerror(errno));
        }
    }
    if (elf != nullptr)
        elf_end(elf);
    ::close(fd);
    if (!result) {
        m_Segments = static_cast<uint32_t>(segments.size());
        m_Description = Fmt("ELF file, %zu loadable segment%s, %llu bytes", segments.size(),
                            segments.size() == 1 ? "" : "s", static_cast<unsigned long long>(m_Bytes));
    }
    return result;
}
#else
std::optional<std::string> CImageInput::ConvertElf()
{
    return Fail(KZH_E_FORMAT, m_File + " is an ELF file, and this build reads no ELF files: convert it to Intel HEX");
}
#endif

} // namespace kzhost
