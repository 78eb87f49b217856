// Flash programming throughput: reading and loading firmware image files
// (dense Intel HEX and S3 images of 32 MiB, a sparse image of 200,000 blocks
// in address order and shuffled) and Program plus Verify of a 16 MiB image on
// the virtual bench. Figures are in MB/s of file text (MB: 10^6 bytes). The
// dense cases run on the scalar digit path (/0) and on the CPU's best vector
// path (/1 SSE2, /2 AVX2): a read is one pass over the records with their
// bytes decoded, a load the library's two passes into blocks.
//
// Inputs are generated at run time into a temporary folder. With
// KAZMIR_PERF_DIR set they are written there and kept (perf/
// compare_objcopy.sh uses them); with KAZMIR_PERF_LOAD=<file> the benchmark
// BM_LoadExternal loads that file.
#include "device/KazApi.h"
#include "flash/FlashProg.h"
#include "flash/HexDigits.h"
#include "flash/ImageFile.h"
#include "flash/ImageReader.h"
#include "kazsim/Bench.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr uint32_t DENSE_BYTES = 32u << 20;
constexpr uint32_t SPARSE_BLOCKS = 200000;
constexpr uint32_t PROGRAM_BYTES = 16u << 20;

class CInputDir {
public:
    CInputDir()
    {
        if (const char* dir = std::getenv("KAZMIR_PERF_DIR")) {
            m_Path = dir;
            m_bKeep = true;
        } else {
            std::random_device random;
            m_Path = fs::temp_directory_path() / ("kazmir_perf_" + std::to_string(random()));
        }
        fs::create_directories(m_Path);
    }
    ~CInputDir()
    {
        if (!m_bKeep) {
            std::error_code ec;
            fs::remove_all(m_Path, ec);
        }
    }
    std::string File(const char* name) const { return (m_Path / name).string(); }

private:
    fs::path m_Path;
    bool m_bKeep = false;
};

CInputDir& Inputs()
{
    static CInputDir s_Dir;
    return s_Dir;
}

class CTextWriter {
public:
    explicit CTextWriter(const std::string& path) : m_pFile(std::fopen(path.c_str(), "wb")) {}
    ~CTextWriter()
    {
        Flush();
        if (m_pFile)
            std::fclose(m_pFile);
    }
    bool Ok() const { return m_pFile != nullptr; }
    void Put(char c) { m_Buffer.push_back(c); }
    void Byte(unsigned value)
    {
        static const char digits[] = "0123456789ABCDEF";
        m_Buffer.push_back(digits[(value >> 4) & 15]);
        m_Buffer.push_back(digits[value & 15]);
    }
    // One record: prefix, then bytes as digits with their sum's checksum.
    void Record(char first, const std::vector<uint8_t>& fields, bool intel)
    {
        Put(first);
        unsigned sum = 0;
        for (size_t i = 0; i < fields.size(); ++i) {
            if (!intel && i == 0) {
                Put('0' + static_cast<char>(fields[0])); // the S-record type digit
                continue;
            }
            Byte(fields[i]);
            sum += fields[i];
        }
        Byte(intel ? (0x100 - (sum & 0xFF)) & 0xFF : ~sum & 0xFF);
        Put('\n');
        if (m_Buffer.size() > (1u << 20))
            Flush();
    }
    void Flush()
    {
        if (m_pFile && !m_Buffer.empty())
            std::fwrite(m_Buffer.data(), 1, m_Buffer.size(), m_pFile);
        m_Buffer.clear();
    }

private:
    std::FILE* m_pFile;
    std::string m_Buffer;
};

void IntelData(CTextWriter& out, uint32_t address, const uint8_t* bytes, uint8_t count)
{
    std::vector<uint8_t> fields = {count, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address), 0};
    fields.insert(fields.end(), bytes, bytes + count);
    out.Record(':', fields, true);
}

void IntelUpper(CTextWriter& out, uint32_t address)
{
    out.Record(':', {2, 0, 0, 4, static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16)}, true);
}

void S3Data(CTextWriter& out, uint32_t address, const uint8_t* bytes, uint8_t count)
{
    std::vector<uint8_t> fields = {3,
                                   static_cast<uint8_t>(count + 5),
                                   static_cast<uint8_t>(address >> 24),
                                   static_cast<uint8_t>(address >> 16),
                                   static_cast<uint8_t>(address >> 8),
                                   static_cast<uint8_t>(address)};
    fields.insert(fields.end(), bytes, bytes + count);
    out.Record('S', fields, false);
}

std::vector<uint8_t> RandomBytes(size_t size, uint32_t seed)
{
    std::vector<uint8_t> bytes(size);
    std::mt19937 rng(seed);
    for (size_t i = 0; i < size; i += 4) {
        const uint32_t value = rng();
        for (size_t k = 0; k < 4 && i + k < size; ++k)
            bytes[i + k] = static_cast<uint8_t>(value >> (8 * k));
    }
    return bytes;
}

// A dense image of `size` bytes from address 0, 16 bytes a line.
std::string DenseIntelHex(const char* name, uint32_t size)
{
    const std::string path = Inputs().File(name);
    if (fs::exists(path))
        return path;
    const std::vector<uint8_t> bytes = RandomBytes(size, 1);
    CTextWriter out(path);
    for (uint32_t address = 0; address < size; address += 16) {
        if ((address & 0xFFFF) == 0)
            IntelUpper(out, address);
        IntelData(out, address, bytes.data() + address, 16);
    }
    out.Record(':', {0, 0, 0, 1}, true);
    return path;
}

std::string DenseS3(const char* name, uint32_t size)
{
    const std::string path = Inputs().File(name);
    if (fs::exists(path))
        return path;
    const std::vector<uint8_t> bytes = RandomBytes(size, 2);
    CTextWriter out(path);
    for (uint32_t address = 0; address < size; address += 16)
        S3Data(out, address, bytes.data() + address, 16);
    out.Record('S', {7, 5, 0, 0, 0, 0}, false);
    return path;
}

// 200,000 blocks of 16 bytes with 16-byte gaps, in address order (Intel HEX)
// or shuffled (S3 records).
std::string Sparse(const char* name, bool shuffled)
{
    const std::string path = Inputs().File(name);
    if (fs::exists(path))
        return path;
    std::vector<uint32_t> order(SPARSE_BLOCKS);
    for (uint32_t i = 0; i < SPARSE_BLOCKS; ++i)
        order[i] = i;
    if (shuffled)
        std::shuffle(order.begin(), order.end(), std::mt19937(3));
    const std::vector<uint8_t> bytes = RandomBytes(16, 4);
    CTextWriter out(path);
    uint32_t upper = 0xFFFFFFFF;
    for (uint32_t i : order) {
        const uint32_t address = 0x08000000 + i * 32;
        if (shuffled) {
            S3Data(out, address, bytes.data(), 16);
            continue;
        }
        if ((address >> 16) != upper) {
            upper = address >> 16;
            IntelUpper(out, address);
        }
        IntelData(out, address, bytes.data(), 16);
    }
    out.Record(':', {0, 0, 0, 1}, true);
    return path;
}

// Counters of a run over the file at path.
void Report(benchmark::State& state, const std::string& path)
{
    const auto size = static_cast<double>(fs::file_size(path));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
    state.counters["MB"] = benchmark::Counter(size / 1e6, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["file_MB"] = size / 1e6;
}

// The digit path of a dense case: its argument, at most the CPU's best.
void UseLevel(benchmark::State& state)
{
    static const char* const NAMES[] = {"scalar", "sse2", "avx2"};
    const uint32_t level = CHexDigits::SetLevel(static_cast<uint32_t>(state.range(0)));
    state.SetLabel(NAMES[level]);
}

void LoadLoop(benchmark::State& state, const std::string& path)
{
    uint32_t blocks = 0;
    for (auto _ : state) {
        auto* image = new CImageFile;
        const KZMRESULT result = image->Load(path.c_str());
        blocks = image->GetBlockCount();
        benchmark::DoNotOptimize(blocks);
        // Loading is measured, not the freeing afterwards.
        state.PauseTiming();
        delete image;
        state.ResumeTiming();
        if (result != 0) {
            state.SkipWithError("load failed");
            return;
        }
    }
    Report(state, path);
    state.counters["blocks"] = blocks;
}

// One pass of the reader: every data record, its bytes decoded.
void ReadLoop(benchmark::State& state, const std::string& path)
{
    static uint8_t s_Bytes[CImageReader::DATA_CAPACITY];
    for (auto _ : state) {
        CImageReader reader;
        if (reader.Open(path.c_str()) != 0) {
            state.SkipWithError("open failed");
            return;
        }
        CImageReader::RECORD record;
        while (reader.NextRecord(&record) == CImageReader::RECORD_OK)
            CImageReader::DecodeData(record.pDigits, record.dwCount, s_Bytes);
        benchmark::DoNotOptimize(s_Bytes);
    }
    Report(state, path);
}

// The scalar path and the CPU's best.
void DigitPaths(benchmark::internal::Benchmark* bench)
{
    bench->Arg(CHexDigits::LEVEL_SCALAR)->Arg(CHexDigits::CpuLevel())->Unit(benchmark::kMillisecond)->UseRealTime();
}

void BM_ReadIntelHexDense(benchmark::State& state)
{
    UseLevel(state);
    ReadLoop(state, DenseIntelHex("dense.hex", DENSE_BYTES));
}
BENCHMARK(BM_ReadIntelHexDense)->Apply(DigitPaths);

void BM_ReadS3Dense(benchmark::State& state)
{
    UseLevel(state);
    ReadLoop(state, DenseS3("dense.s3", DENSE_BYTES));
}
BENCHMARK(BM_ReadS3Dense)->Apply(DigitPaths);

void BM_LoadIntelHexDense(benchmark::State& state)
{
    UseLevel(state);
    LoadLoop(state, DenseIntelHex("dense.hex", DENSE_BYTES));
}
BENCHMARK(BM_LoadIntelHexDense)->Apply(DigitPaths);

void BM_LoadS3Dense(benchmark::State& state)
{
    UseLevel(state);
    LoadLoop(state, DenseS3("dense.s3", DENSE_BYTES));
}
BENCHMARK(BM_LoadS3Dense)->Apply(DigitPaths);

void BM_LoadSparse(benchmark::State& state)
{
    LoadLoop(state, Sparse("sparse.hex", false));
}
BENCHMARK(BM_LoadSparse)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_LoadSparseShuffled(benchmark::State& state)
{
    LoadLoop(state, Sparse("sparse_shuffled.s3", true));
}
BENCHMARK(BM_LoadSparseShuffled)->Unit(benchmark::kMillisecond)->UseRealTime();

// One board in the flash loader with 32 sectors of 512 KiB.
IKazFlashLoader* OpenSimulatedFlash()
{
    kazsim::BenchDesc desc = kazsim::BenchDesc::Default();
    desc.Boards[0].State = kazsim::STATE_FLASH_LOADER;
    desc.Boards[0].Flash.SectorSizes.assign(32, 512u << 10);
    kazsim::Bench::Reset(desc);
    kazsim::Bench::Quiesce();
    InitializeServer();
    IKazDeviceManager* manager = nullptr;
    if (GetDeviceManager(&manager) != 0 || manager == nullptr)
        return nullptr;
    uint64_t id = kazsim::Bench::BoardInfo(0).DeviceId;
    IKazDevice* device = nullptr;
    IKazUnknown* component = nullptr;
    if (manager->OpenDevice(&id, &device) == 0 && device != nullptr) {
        device->OpenComponent(&KAZ_CLSID_FLD, &KAZ_IID_FLD, &component);
        device->Release();
    }
    manager->Release();
    return static_cast<IKazFlashLoader*>(component);
}

void BM_ProgramVerify16MiB(benchmark::State& state)
{
    const std::string path = DenseIntelHex("program16.hex", PROGRAM_BYTES);
    IKazFlashLoader* fld = OpenSimulatedFlash();
    if (fld == nullptr) {
        state.SkipWithError("no FLD object on the virtual bench");
        return;
    }
    CFlashProg prog;
    if (prog.Open(fld) != 0) {
        state.SkipWithError("Open failed");
        return;
    }
    for (auto _ : state) {
        if (prog.Program(path.c_str()) != 0 || prog.Verify(path.c_str()) != 0) {
            state.SkipWithError("program or verify failed");
            break;
        }
    }
    prog.Close();
    Report(state, path);
}
BENCHMARK(BM_ProgramVerify16MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

// Any file named by KAZMIR_PERF_LOAD.
const bool g_bExternal = [] {
    if (const char* file = std::getenv("KAZMIR_PERF_LOAD")) {
        const std::string path = file;
        benchmark::RegisterBenchmark("BM_LoadExternal", [path](benchmark::State& state) { LoadLoop(state, path); })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        return true;
    }
    return false;
}();

} // namespace
