#include "flash/HexDigits.h"

// AVX2 needs a compiler that takes per-function targets.
#if KZM_HEX_INLINE_SSE2 && defined(__GNUC__)
#define KZM_HEX_AVX2 1
#include <immintrin.h>
#else
#define KZM_HEX_AVX2 0
#endif

namespace {

constexpr std::array<uint8_t, 65536> MakePairTable()
{
    std::array<uint8_t, 65536> table{};
    for (unsigned high = 0; high < 256; ++high)
        for (unsigned low = 0; low < 256; ++low)
            table[high | (low << 8)] = static_cast<uint8_t>((CHexDigits::Value(static_cast<uint8_t>(high)) << 4) |
                                                            CHexDigits::Value(static_cast<uint8_t>(low)));
    return table;
}

#if KZM_HEX_AVX2
// PairLanes in 32 lanes: each 16-bit lane's byte in its low half.
__attribute__((target("avx2"))) inline __m256i Avx2PairLanes(__m256i c)
{
    const __m256i fromA = _mm256_cmpeq_epi8(_mm256_max_epu8(c, _mm256_set1_epi8('A')), c);
    const __m256i v =
        _mm256_sub_epi8(_mm256_sub_epi8(c, _mm256_set1_epi8('0')), _mm256_and_si256(fromA, _mm256_set1_epi8(7)));
    return _mm256_and_si256(_mm256_or_si256(_mm256_slli_epi16(v, 4), _mm256_srli_epi16(v, 8)), _mm256_set1_epi16(0xFF));
}

// UpperLanes in 32 lanes.
__attribute__((target("avx2"))) inline __m256i Avx2UpperLanes(__m256i c)
{
    const __m256i digit = _mm256_sub_epi8(c, _mm256_set1_epi8('0'));
    const __m256i letter = _mm256_sub_epi8(c, _mm256_set1_epi8('A'));
    return _mm256_or_si256(_mm256_cmpeq_epi8(_mm256_min_epu8(digit, _mm256_set1_epi8(9)), digit),
                           _mm256_cmpeq_epi8(_mm256_min_epu8(letter, _mm256_set1_epi8(5)), letter));
}

// 32 characters to 16 bytes.
__attribute__((target("avx2"))) inline void Avx2Decode16(const char* digits, uint8_t* out)
{
    const __m256i pairs = Avx2PairLanes(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(digits)));
    const __m128i packed = _mm_packus_epi16(_mm256_castsi256_si128(pairs), _mm256_extracti128_si256(pairs, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), packed);
}
#endif

} // namespace

const std::array<uint8_t, 65536> CHexDigits::g_Pairs = MakePairTable();
std::atomic<uint32_t> CHexDigits::g_dwLevel{CHexDigits::LEVEL_UNSET};
const uint8_t CHexDigits::g_TailMask[32] = {0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
                                            0,    0,    0,    0,    0,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

void CHexDigits::DecodeScalar(const char* digits, uint32_t count, uint8_t* out)
{
    const uint8_t* pairs = g_Pairs.data();
    const auto* d = reinterpret_cast<const uint8_t*>(digits);
    uint32_t i = 0;
    for (; i + 4 <= count; i += 4, d += 8) {
        out[i] = pairs[d[0] | (static_cast<unsigned>(d[1]) << 8)];
        out[i + 1] = pairs[d[2] | (static_cast<unsigned>(d[3]) << 8)];
        out[i + 2] = pairs[d[4] | (static_cast<unsigned>(d[5]) << 8)];
        out[i + 3] = pairs[d[6] | (static_cast<unsigned>(d[7]) << 8)];
    }
    for (; i < count; ++i, d += 2)
        out[i] = pairs[d[0] | (static_cast<unsigned>(d[1]) << 8)];
}

#if KZM_HEX_AVX2

// The last step overlaps the one before: it writes the same bytes again.
__attribute__((target("avx2"))) void CHexDigits::DecodeAvx2(const char* digits, uint32_t count, uint8_t* out)
{
    uint32_t i = 0;
    for (; i + 16 <= count; i += 16)
        Avx2Decode16(digits + 2 * i, out + i);
    if (i != count)
        Avx2Decode16(digits + 2 * (count - 16), out + (count - 16));
}

// The first 32 characters and the last 32, which overlap them; the bytes of
// the second step that the first gave are masked out of the sum.
__attribute__((target("avx2"))) bool CHexDigits::Avx2DecodeSumUpper32(const char* digits, uint32_t count, uint8_t* out,
                                                                      uint32_t* sum)
{
    if (count < 16) {
        // The first 8 bytes' characters and the last 8's (which overlap them)
        // in the two halves of one register.
        const __m256i c =
            _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(digits))),
                                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(digits + 2 * (count - 8))), 1);
        if (_mm256_movemask_epi8(Avx2UpperLanes(c)) != -1)
            return false;
        const __m256i bytes = _mm256_packus_epi16(Avx2PairLanes(c), _mm256_setzero_si256());
        const __m128i first = _mm256_castsi256_si128(bytes);
        const __m128i last = _mm256_extracti128_si256(bytes, 1);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), first);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + (count - 8)), last);
        // Of the last 8, the count - 8 that the first did not hold; the high
        // 8 lanes of both are 0.
        const __m128i fresh = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g_TailMask + count));
        const __m128i zero = _mm_setzero_si128();
        *sum = static_cast<uint32_t>(_mm_cvtsi128_si32(
            _mm_add_epi64(_mm_sad_epu8(first, zero), _mm_sad_epu8(_mm_and_si128(last, fresh), zero))));
        return true;
    }
    const __m256i c0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(digits));
    const __m256i c1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(digits + 2 * (count - 16)));
    if (_mm256_movemask_epi8(_mm256_and_si256(Avx2UpperLanes(c0), Avx2UpperLanes(c1))) != -1)
        return false;
    // The pack interleaves the 128-bit halves: put the first step's 16 bytes
    // low and the second's high.
    const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(Avx2PairLanes(c0), Avx2PairLanes(c1)), 0xD8);
    const __m128i first = _mm256_castsi256_si128(bytes);
    const __m128i last = _mm256_extracti128_si256(bytes, 1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), first);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + (count - 16)), last);
    const __m128i fresh = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g_TailMask + (count - 16)));
    const __m128i zero = _mm_setzero_si128();
    const __m128i sums = _mm_add_epi64(_mm_sad_epu8(first, zero), _mm_sad_epu8(_mm_and_si128(last, fresh), zero));
    *sum = static_cast<uint32_t>(_mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
    return true;
}

uint32_t CHexDigits::CpuLevel()
{
    static const uint32_t s_dwLevel = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") ? LEVEL_AVX2 : LEVEL_SSE2;
    }();
    return s_dwLevel;
}

#else

bool CHexDigits::Avx2DecodeSumUpper32(const char* digits, uint32_t count, uint8_t* out, uint32_t* sum)
{
    return DecodeSumUpperAny(digits, count, out, sum);
}

void CHexDigits::DecodeAvx2(const char* digits, uint32_t count, uint8_t* out)
{
    DecodeScalar(digits, count, out);
}

uint32_t CHexDigits::CpuLevel()
{
    return KZM_HEX_INLINE_SSE2 ? LEVEL_SSE2 : LEVEL_SCALAR;
}

#endif

bool CHexDigits::DecodeSumUpperAny(const char* digits, uint32_t count, uint8_t* out, uint32_t* sum)
{
#if KZM_HEX_INLINE_SSE2
    if (count >= 8 && GetLevel() != LEVEL_SCALAR) {
        __m128i good = _mm_set1_epi8(-1);
        *sum = Sse2DecodeSum(digits, count, out, &good);
        return _mm_movemask_epi8(good) == 0xFFFF;
    }
#endif
    if (!UpperDigits(digits, 2 * size_t{count}))
        return false;
    *sum = DecodeSum(digits, count, out);
    return true;
}

uint32_t CHexDigits::ChooseLevel()
{
    const uint32_t level = CpuLevel();
    g_dwLevel.store(level, std::memory_order_relaxed);
    return level;
}

uint32_t CHexDigits::SetLevel(uint32_t level)
{
    const uint32_t best = CpuLevel();
    const uint32_t chosen = level < best ? level : best;
    g_dwLevel.store(chosen, std::memory_order_relaxed);
    return chosen;
}
