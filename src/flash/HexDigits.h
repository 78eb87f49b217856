// CHexDigits: the image reader's digit arithmetic over runs of characters,
// 16 or 32 characters a step where the CPU has SSE2 or AVX2 (chosen at run
// time), one pair a step elsewhere. Every path gives the same bytes for any
// characters, digits or not.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

// The vector paths are built for x86-64, where SSE2 is part of every CPU:
// its code goes inline. Other CPUs take the scalar path.
#if defined(__x86_64__) || defined(_M_X64)
#define KZM_HEX_INLINE_SSE2 1
#include <emmintrin.h>
#else
#define KZM_HEX_INLINE_SSE2 0
#endif

// For the few small steps of the per-line work that the compiler's own
// judgement leaves out of line in a big loop: a call there costs more than
// the step.
#if defined(__GNUC__)
#define KZM_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define KZM_ALWAYS_INLINE inline
#endif

class CHexDigits {
public:
    enum : uint32_t {
        LEVEL_SCALAR = 0, // one pair of characters a step, by a table
        LEVEL_SSE2 = 1,
        LEVEL_AVX2 = 2,
    };

    // The digit value of a character: c - '0' below 'A', c - 55 from 'A' on
    // (characters as unsigned 8-bit codes), in 8 bits.
    static constexpr uint8_t Value(uint8_t c) { return static_cast<uint8_t>(c < 'A' ? c - '0' : c - 55); }
    // Two characters to one byte: the first value shifted left by 4, or-ed
    // with the second, in 8 bits.
    static KZM_ALWAYS_INLINE uint8_t Pair(const char* p)
    {
        const auto* d = reinterpret_cast<const uint8_t*>(p);
        return g_Pairs[d[0] | (static_cast<unsigned>(d[1]) << 8)];
    }

    // count bytes from 2 * count characters; out must not overlap them.
    // Records are short: their usual 16 or 32 bytes go inline, 16 a step;
    // long runs go to the widest path.
    static KZM_ALWAYS_INLINE void Decode(const char* digits, uint32_t count, uint8_t* out)
    {
        const uint32_t level = GetLevel();
#if KZM_HEX_INLINE_SSE2
        if (level != LEVEL_SCALAR && count >= 8 && (count <= LONG_RUN || level == LEVEL_SSE2)) {
            if (count < 16) {
                Sse2Decode8(digits, out);
                Sse2Decode8(digits + 2 * (count - 8), out + (count - 8));
                return;
            }
            uint32_t i = 0;
            for (; i + 16 <= count; i += 16)
                Sse2Decode16(digits + 2 * i, out + i);
            if (i != count)
                Sse2Decode16(digits + 2 * (count - 16), out + (count - 16));
            return;
        }
#endif
        if (level == LEVEL_AVX2 && count >= 16)
            DecodeAvx2(digits, count, out);
        else
            DecodeScalar(digits, count, out);
    }
    // Whether none of the count characters at p is a line feed.
    static KZM_ALWAYS_INLINE bool NoLineFeed(const char* p, size_t count)
    {
        return Lacks(p, count, '\n');
    }
    // Whether none of the count characters at p is c.
    static KZM_ALWAYS_INLINE bool Lacks(const char* p, size_t count, char c)
    {
#if KZM_HEX_INLINE_SSE2
        const __m128i wanted = _mm_set1_epi8(c);
        if (count >= 16) {
            __m128i seen = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + count - 16)), wanted);
            for (size_t i = 16; i < count; i += 16)
                seen = _mm_or_si128(
                    seen, _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i - 16)), wanted));
            return _mm_movemask_epi8(seen) == 0;
        }
        if (count >= 8) {
            const __m128i head = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
            const __m128i tail = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + count - 8));
            return (_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(head, wanted), _mm_cmpeq_epi8(tail, wanted))) &
                    0xFF) == 0;
        }
#endif
        return std::memchr(p, c, count) == nullptr;
    }
    // Whether none of the count pairs of characters at digits is first,
    // second.
    static bool LacksPair(const char* digits, uint32_t count, char first, char second)
    {
#if KZM_HEX_INLINE_SSE2
        if (count >= 8 && GetLevel() != LEVEL_SCALAR) {
            const __m128i pair = _mm_set1_epi16(static_cast<short>(
                static_cast<uint8_t>(first) | (static_cast<unsigned>(static_cast<uint8_t>(second)) << 8)));
            __m128i seen =
                _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(digits + 2 * count - 16)), pair);
            for (uint32_t i = 8; i < count; i += 8)
                seen = _mm_or_si128(
                    seen,
                    _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(digits + 2 * i - 16)), pair));
            return _mm_movemask_epi8(seen) == 0;
        }
#endif
        for (uint32_t i = 0; i < count; ++i)
            if (digits[2 * i] == first && digits[2 * i + 1] == second)
                return false;
        return true;
    }

    // Whether each of the count characters at p is an upper-case hexadecimal
    // digit ('0' to '9', 'A' to 'F').
    static bool UpperDigits(const char* p, size_t count)
    {
#if KZM_HEX_INLINE_SSE2
        if (count >= 16 && GetLevel() != LEVEL_SCALAR) {
            __m128i good = UpperLanes(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + count - 16)));
            for (size_t i = 16; i < count; i += 16)
                good = _mm_and_si128(good, UpperLanes(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i - 16))));
            return _mm_movemask_epi8(good) == 0xFFFF;
        }
#endif
        const auto* d = reinterpret_cast<const uint8_t*>(p);
        unsigned good = 1;
        for (size_t i = 0; i < count; ++i)
            good &=
                static_cast<unsigned>(static_cast<uint8_t>(d[i] - '0') <= 9 || static_cast<uint8_t>(d[i] - 'A') <= 5);
        return good != 0;
    }
    // Decode, returning the sum of the count bytes as well.
    static uint32_t DecodeSum(const char* digits, uint32_t count, uint8_t* out)
    {
#if KZM_HEX_INLINE_SSE2
        if (count >= 8 && GetLevel() != LEVEL_SCALAR)
            return Sse2DecodeSum(digits, count, out, nullptr);
#endif
        Decode(digits, count, out);
        uint32_t sum = 0;
        for (uint32_t i = 0; i < count; ++i)
            sum += out[i];
        return sum;
    }

    // DecodeSum of digits known to be upper-case ones only: false (with the
    // bytes and *sum undefined) when one of the 2 * count characters is
    // none. One pass over the characters where the CPU can.
    static bool DecodeSumUpper(const char* digits, uint32_t count, uint8_t* out, uint32_t* sum)
    {
        // A record line's usual size takes one call; the rest stays out of
        // line, so that this goes inline into a line's check.
#if KZM_HEX_INLINE_SSE2
        if (count - 8 <= 24 && GetLevel() == LEVEL_AVX2)
            return Avx2DecodeSumUpper32(digits, count, out, sum);
#endif
        return DecodeSumUpperAny(digits, count, out, sum);
    }
    static bool DecodeSumUpperAny(const char* digits, uint32_t count, uint8_t* out, uint32_t* sum);

    // The best level this CPU runs.
    static uint32_t CpuLevel();
    // The level in use: CpuLevel() unless lowered with SetLevel.
    static KZM_ALWAYS_INLINE uint32_t GetLevel()
    {
        const uint32_t level = g_dwLevel.load(std::memory_order_relaxed);
        return level != LEVEL_UNSET ? level : ChooseLevel();
    }
    // Uses the given level, or the CPU's best when that is lower (so that
    // tests can run every path the CPU has); returns the level now in use.
    static uint32_t SetLevel(uint32_t level);

    static void DecodeScalar(const char* digits, uint32_t count, uint8_t* out);

private:
    static constexpr uint32_t LEVEL_UNSET = 0xFFFFFFFFu;
    // From this many bytes on AVX2's wider steps pay for its call.
    static constexpr uint32_t LONG_RUN = 48;
#if KZM_HEX_INLINE_SSE2
    // Each 16-bit lane holds two characters, the first in its low byte; the
    // result is their byte in the low byte and 0 above. The digit rule in
    // 8-bit lanes: c - '0', less 7 more from 'A' on (an unsigned comparison:
    // the maximum of c and 'A' is c).
    static KZM_ALWAYS_INLINE __m128i PairLanes(__m128i c)
    {
        const __m128i fromA = _mm_cmpeq_epi8(_mm_max_epu8(c, _mm_set1_epi8('A')), c);
        const __m128i v = _mm_sub_epi8(_mm_sub_epi8(c, _mm_set1_epi8('0')), _mm_and_si128(fromA, _mm_set1_epi8(7)));
        return _mm_and_si128(_mm_or_si128(_mm_slli_epi16(v, 4), _mm_srli_epi16(v, 8)), _mm_set1_epi16(0x00FF));
    }
    // 0xFF in each lane that holds an upper-case hexadecimal digit: c - '0'
    // at most 9 or c - 'A' at most 5, unsigned.
    static __m128i UpperLanes(__m128i c)
    {
        const __m128i digit = _mm_sub_epi8(c, _mm_set1_epi8('0'));
        const __m128i letter = _mm_sub_epi8(c, _mm_set1_epi8('A'));
        return _mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(digit, _mm_set1_epi8(9)), digit),
                            _mm_cmpeq_epi8(_mm_min_epu8(letter, _mm_set1_epi8(5)), letter));
    }
    // 16 characters to 8 bytes, 32 to 16.
    static KZM_ALWAYS_INLINE void Sse2Decode8(const char* digits, uint8_t* out)
    {
        const __m128i pairs = PairLanes(_mm_loadu_si128(reinterpret_cast<const __m128i*>(digits)));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(pairs, pairs));
    }
    // With good, each character's UpperLanes is and-ed into *good.
    static KZM_ALWAYS_INLINE __m128i Sse2Decode16(const char* digits, uint8_t* out, __m128i* good = nullptr)
    {
        const __m128i c0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(digits));
        const __m128i c1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(digits + 16));
        if (good != nullptr)
            *good = _mm_and_si128(*good, _mm_and_si128(UpperLanes(c0), UpperLanes(c1)));
        const __m128i bytes = _mm_packus_epi16(PairLanes(c0), PairLanes(c1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
        return bytes;
    }
    // count >= 8 bytes and their sum, with good as Sse2Decode16's. Summed
    // from the registers the bytes are stored from: a load of them right
    // after the overlapping stores would wait for both.
    static uint32_t Sse2DecodeSum(const char* digits, uint32_t count, uint8_t* out, __m128i* good)
    {
        const __m128i zero = _mm_setzero_si128();
        __m128i sums = zero, last = zero, fresh = zero;
        if (count < 16) {
            // The first 8 bytes and the last 8, which overlap them.
            const __m128i c0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(digits));
            const __m128i c1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(digits + 2 * (count - 8)));
            if (good != nullptr)
                *good = _mm_and_si128(*good, _mm_and_si128(UpperLanes(c0), UpperLanes(c1)));
            const __m128i first = _mm_packus_epi16(PairLanes(c0), zero);
            last = _mm_packus_epi16(PairLanes(c1), zero);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out), first);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + (count - 8)), last);
            sums = _mm_sad_epu8(first, zero);
            // Of the last 8, the count - 8 that the first did not hold.
            fresh = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g_TailMask + count));
        } else {
            uint32_t i = 0;
            for (; i + 16 <= count; i += 16)
                sums = _mm_add_epi64(sums, _mm_sad_epu8(Sse2Decode16(digits + 2 * i, out + i, good), zero));
            if (i != count) {
                // The last 16 bytes, those already counted masked out.
                last = Sse2Decode16(digits + 2 * (count - 16), out + (count - 16), good);
                fresh = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g_TailMask + (count - i)));
            }
        }
        sums = _mm_add_epi64(sums, _mm_sad_epu8(_mm_and_si128(last, fresh), zero));
        return static_cast<uint32_t>(_mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
    }
#endif
    static uint32_t ChooseLevel();
    // DecodeSumUpper of 8 to 32 bytes (a record line's usual size) in one or
    // two steps; only where CpuLevel() allows it.
    static bool Avx2DecodeSumUpper32(const char* digits, uint32_t count, uint8_t* out, uint32_t* sum);
    // 16 bytes and more; only where CpuLevel() allows it.
    static void DecodeAvx2(const char* digits, uint32_t count, uint8_t* out);

    // Pair of every two characters, indexed by the first plus 256 times the
    // second. Only pairs of digits are used in practice: about 25 cache
    // lines of the table.
    static const std::array<uint8_t, 65536> g_Pairs;
    // 16 zero bytes, then 16 of 0xFF: from offset n, a mask of the last n
    // lanes of 16.
    static const uint8_t g_TailMask[32];
    static std::atomic<uint32_t> g_dwLevel;
};
