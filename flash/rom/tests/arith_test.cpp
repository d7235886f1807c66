// The arithmetic library image run on an 8051 simulator against this machine's own IEEE 754
// single-precision arithmetic and its integer arithmetic.
//
// Float routines must be correctly rounded (to nearest, ties to even) for every operand,
// subnormal numbers included, and give the quiet NaN 0x7FC00000 wherever the machine gives a
// NaN. Every routine must leave the registers its convention keeps.
//
// PELTO_ARITH_PAIRS sets the operand pairs per float operation (default 25000, so that add,
// subtract, multiply and divide see 100000 pairs together); PELTO_ARITH_SEED the seed;
// PELTO_ARITH_SIM a pelto-sim executable to run on instead of s51.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <future>
#include <limits>
#include <random>
#include <sstream>

#include "arith_runner.h"
#include "flash/rom/images.h"

namespace {

using rom_test::ArithRunner;
using rom_test::Be32Bytes;
using rom_test::Operands;
using rom_test::Returned;

constexpr uint32_t kQuietNan = 0x7FC00000;
constexpr uint64_t kDefaultSeed = 20261210;
constexpr std::size_t kDefaultPairs = 25000;
constexpr std::size_t kIntegerCases = 3000;
constexpr std::size_t kShownFailures = 8;
constexpr std::size_t kParallelRuns = 2;
constexpr uint8_t kBankBits = 0x18;
constexpr uint32_t kFloatBias = 127;
constexpr uint32_t kSignBit = 0x80000000;
constexpr uint32_t kExponentField = 0x7F800000;  // all ones: infinity or NaN
constexpr uint32_t kFraction = 0x007FFFFF;
constexpr int kFractionBits = 23;
constexpr uint32_t kMaxExponent = 255;

uint64_t EnvNumber(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text ? std::strtoull(text, nullptr, 0) : fallback;
}

ArithRunner& Runner() {
    static ArithRunner runner(PELTO_ARITH_DRIVER_IHX, PELTO_ARITH_DRIVER_SYM, PELTO_ROM_IHX_PATH, PELTO_S51);
    return runner;
}

uint16_t EntryOf(std::string_view name) {
    for (const auto& entry : flash::rom::kArithmeticEntries)
        if (entry.name == name) return entry.address;
    ADD_FAILURE() << "no entry " << name;
    return 0;
}

// Registers a routine may change besides its result.
enum Changes : unsigned {
    kR0 = 1, kR1 = 2, kR2 = 4, kR3 = 8, kR4R7 = 16, kB = 32, kDptr = 64,
    kR0R3 = kR0 | kR1 | kR2 | kR3,
};

Operands Make(uint32_t high, uint32_t low) {
    Operands op;
    const auto h = Be32Bytes(high);
    const auto l = Be32Bytes(low);
    std::copy(h.begin(), h.end(), op.bytes.begin());
    std::copy(l.begin(), l.end(), op.bytes.begin() + 4);
    return op;
}

uint32_t HighOf(const Operands& op) { return rom_test::Be32(op.bytes.data()); }
uint32_t LowOf(const Operands& op) { return rom_test::Be32(op.bytes.data() + 4); }

std::string Hex(uint32_t v) {
    std::ostringstream s;
    s << "0x" << std::hex << std::uppercase << v;
    return s.str();
}

// The registers the routine must keep, checked against what went in.
std::string KeptRegisters(const Operands& in, const Returned& out, unsigned changes) {
    std::ostringstream problem;
    for (int i = 0; i < 4; ++i)
        if (!(changes & (kR0 << i)) && out.r0_r3[i] != in.bytes[4 + i]) problem << " R" << i << " changed;";
    if (!(changes & kR4R7) && out.High() != HighOf(in)) problem << " R4..R7 changed;";
    if (!(changes & kB) && out.b != rom_test::kSentinelB) problem << " B changed;";
    if (!(changes & kDptr) && out.dptr != rom_test::kSentinelDptr) problem << " DPTR changed;";
    if (out.sp != rom_test::kStackBase) problem << " stack not balanced (SP " << int{out.sp} << ");";
    if (out.psw & kBankBits) problem << " register bank changed;";
    return problem.str();
}

// A check returns "" or what is wrong with one result.
using Check = std::function<std::string(const Operands&, const Returned&)>;

struct Tally {
    std::size_t cases = 0;
    std::size_t failures = 0;
    std::vector<std::string> shown;
};

// Runs the cases in batches, kParallelRuns simulator processes at a time.
void RunCases(std::string_view entry, const std::vector<Operands>& cases, unsigned changes, const Check& check,
              Tally& tally) {
    std::vector<std::vector<Operands>> batches;
    for (std::size_t start = 0; start < cases.size(); start += ArithRunner::kMaxBatch)
        batches.emplace_back(cases.begin() + static_cast<long>(start),
                             cases.begin() + static_cast<long>(std::min(cases.size(), start + ArithRunner::kMaxBatch)));
    const uint16_t address = EntryOf(entry);
    for (std::size_t first = 0; first < batches.size(); first += kParallelRuns) {
        std::vector<std::future<std::vector<Returned>>> runs;
        for (std::size_t b = first; b < std::min(batches.size(), first + kParallelRuns); ++b)
            runs.push_back(std::async(std::launch::async, [&batches, b, address] { return Runner().Run(address, batches[b]); }));
        for (std::size_t r = 0; r < runs.size(); ++r) {
            const auto& batch = batches[first + r];
            const auto results = runs[r].get();
            for (std::size_t i = 0; i < batch.size(); ++i) {
                std::string problem = check(batch[i], results[i]) + KeptRegisters(batch[i], results[i], changes);
                ++tally.cases;
                if (problem.empty()) continue;
                ++tally.failures;
                if (tally.shown.size() < kShownFailures)
                    tally.shown.push_back(std::string(entry) + "(" + Hex(HighOf(batch[i])) + ", " +
                                          Hex(LowOf(batch[i])) + "): " + problem);
            }
        }
    }
}

void ExpectNoFailures(const Tally& tally) {
    std::ostringstream text;
    for (const auto& s : tally.shown) text << "\n  " << s;
    EXPECT_EQ(tally.failures, 0u) << "of " << tally.cases << " cases:" << text.str();
}

// ---- float operands -------------------------------------------------------------------------

float AsFloat(uint32_t bits) { return std::bit_cast<float>(bits); }
uint32_t Bits(float f) { return std::bit_cast<uint32_t>(f); }

class FloatSource {
public:
    explicit FloatSource(uint64_t seed) : rng_(seed) {}

    uint32_t Any() {
        const uint32_t sign = Below(2) * kSignBit;
        switch (Below(16)) {
        case 0: case 1: case 2: case 3:
            return sign | Normal(1 + Below(kMaxExponent - 1));
        case 4: case 5:  // near the ends of the exponent range
            return sign | Normal(Below(2) ? 1 + Below(24) : 231 + Below(24));
        case 6: case 7:  // subnormal, of every length
            return sign | (Bits32() >> (9 + Below(23)) | 1);
        case 8:
            return Below(3) == 0 ? sign | kExponentField : sign;  // infinity or zero
        case 9:
            return sign | kExponentField | (1 + (Bits32() & kFraction) % kFraction);  // NaN
        case 10: case 11:  // few mantissa bits: exact results and ties
            return sign | (1 + Below(kMaxExponent - 1)) << kFractionBits | (Bits32() & Bits32() & Bits32() & kFraction);
        default:
            return Bits32();
        }
    }

    // A second operand close to `a` in exponent and often in value, for cancellation and ties.
    uint32_t Near(uint32_t a) {
        const int exponent = static_cast<int>(a >> kFractionBits & kMaxExponent) + static_cast<int>(Below(61)) - 30;
        const uint32_t sign = Below(2) * kSignBit;
        if (exponent <= 0 || exponent >= static_cast<int>(kMaxExponent)) return sign | (a & kFraction);
        uint32_t mantissa = a & kFraction;
        if (Below(2)) mantissa = (mantissa + Below(9) - 4) & kFraction;
        else mantissa = Bits32() & kFraction;
        return sign | static_cast<uint32_t>(exponent) << kFractionBits | mantissa;
    }

    uint32_t Bits32() { return static_cast<uint32_t>(rng_()); }
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }

private:
    uint32_t Normal(uint32_t exponent) { return exponent << kFractionBits | (Bits32() & kFraction); }
    std::mt19937_64 rng_;
};

std::vector<Operands> FloatPairs(uint64_t seed, std::size_t count) {
    FloatSource source(seed);
    std::vector<Operands> cases;
    for (std::size_t i = 0; i < count; ++i) {
        const uint32_t a = source.Any();
        const uint32_t b = source.Below(2) ? source.Near(a) : source.Any();
        cases.push_back(Make(a, b));
    }
    return cases;
}

// Distance in units in the last place between two finite floats of any sign.
uint64_t UlpDistance(uint32_t x, uint32_t y) {
    auto ordered = [](uint32_t v) -> int64_t { return (v & kSignBit) ? -int64_t{v & ~kSignBit} : int64_t{v}; };
    const int64_t d = ordered(x) - ordered(y);
    return static_cast<uint64_t>(d < 0 ? -d : d);
}

Check FloatResult(const std::function<float(float, float)>& op) {
    return [op](const Operands& in, const Returned& out) -> std::string {
        const float expected = op(AsFloat(HighOf(in)), AsFloat(LowOf(in)));
        const uint32_t want = std::isnan(expected) ? kQuietNan : Bits(expected);
        if (out.High() == want) return "";
        std::string text = "gave " + Hex(out.High()) + ", expected " + Hex(want);
        if (!std::isnan(expected) && !std::isnan(AsFloat(out.High())))
            text += " (" + std::to_string(UlpDistance(out.High(), want)) + " ulp)";
        return text + ";";
    };
}

std::size_t PairsPerOperation() { return EnvNumber("PELTO_ARITH_PAIRS", kDefaultPairs); }
uint64_t Seed() { return EnvNumber("PELTO_ARITH_SEED", kDefaultSeed); }

struct FloatCase {
    const char* entry;
    std::function<float(float, float)> op;
};

void PrintTo(const FloatCase& c, std::ostream* os) { *os << c.entry; }

class FloatOperation : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatOperation, IsCorrectlyRoundedAgainstTheMachine) {
    const auto& c = GetParam();
    Tally tally;
    RunCases(c.entry, FloatPairs(Seed() + std::hash<std::string_view>{}(c.entry), PairsPerOperation()),
             kR4R7 | kR0R3 | kB | kDptr, FloatResult(c.op), tally);
    ExpectNoFailures(tally);
}

INSTANTIATE_TEST_SUITE_P(
    Arith, FloatOperation,
    ::testing::Values(FloatCase{"MATH_FADD", [](float a, float b) { return a + b; }},
                      FloatCase{"MATH_FSUB", [](float a, float b) { return a - b; }},
                      FloatCase{"MATH_FMUL", [](float a, float b) { return a * b; }},
                      FloatCase{"MATH_FDIV", [](float a, float b) { return a / b; }}),
    [](const ::testing::TestParamInfo<FloatCase>& p) { return std::string(p.param.entry + 5); });

TEST(Arith, CompareOrdersLikeTheMachine) {
    Tally tally;
    auto cases = FloatPairs(Seed() + 1, PairsPerOperation() / 4);
    FloatSource source(Seed() + 2);
    for (int i = 0; i < 200; ++i) {  // equal values, both zero signs
        const uint32_t a = source.Any();
        cases.push_back(Make(a, a));
        cases.push_back(Make(a & kSignBit, (a & kSignBit) ^ kSignBit));
    }
    RunCases("MATH_FCMP", cases, kB,
             [](const Operands& in, const Returned& out) -> std::string {
                 const float a = AsFloat(HighOf(in));
                 const float b = AsFloat(LowOf(in));
                 const bool equal = a == b;
                 if (equal) return out.a == 0 ? "" : "not equal;";
                 if (out.a == 0) return "equal;";
                 return out.Carry() == (a > b) ? "" : "wrong carry;";
             },
             tally);
    ExpectNoFailures(tally);
}

TEST(Arith, IntegerToFloatRoundsLikeTheMachine) {
    FloatSource source(Seed() + 3);
    std::vector<Operands> cases;
    for (uint32_t v : {0u, 1u, 0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFFu, 0x7FFFFFC0u, 0x7FFFFF40u, 0x01000001u,
                       0x01000003u, 0xFEFFFFFFu, 0x00FFFFFFu})
        cases.push_back(Make(v, 0));
    for (std::size_t i = 0; i < kIntegerCases; ++i) cases.push_back(Make(source.Bits32() >> source.Below(32), 0));
    for (std::size_t i = 0; i < kIntegerCases; ++i) cases.push_back(Make(~(source.Bits32() >> source.Below(32)), 0));

    struct Width {
        const char* entry;
        std::function<float(uint32_t)> convert;
    };
    const Width widths[] = {
        {"MATH_I32TOF", [](uint32_t v) { return static_cast<float>(static_cast<int32_t>(v)); }},
        {"MATH_I16TOF", [](uint32_t v) { return static_cast<float>(static_cast<int16_t>(v >> 16)); }},
        {"MATH_I8TOF", [](uint32_t v) { return static_cast<float>(static_cast<int8_t>(v >> 24)); }},
    };
    for (const auto& w : widths) {
        Tally tally;
        RunCases(w.entry, cases, kR4R7 | kB | kDptr,
                 [&w](const Operands& in, const Returned& out) -> std::string {
                     const uint32_t want = Bits(w.convert(HighOf(in)));
                     return out.High() == want ? "" : "gave " + Hex(out.High()) + ", expected " + Hex(want) + ";";
                 },
                 tally);
        ExpectNoFailures(tally);
    }
}

TEST(Arith, FloatToIntegerTruncatesAndSaturates) {
    FloatSource source(Seed() + 4);
    std::vector<Operands> cases;
    for (float f : {0.0f, -0.0f, 0.5f, -0.999f, 1.0f, -1.0f, 2147483520.0f, -2147483648.0f, 2147483648.0f,
                    -2147483904.0f, 8388607.5f, 16777217.0f, 1e-40f})
        cases.push_back(Make(Bits(f), 0));
    for (std::size_t i = 0; i < kIntegerCases; ++i) cases.push_back(Make(source.Any(), 0));
    for (std::size_t i = 0; i < kIntegerCases; ++i)  // magnitudes where the integer part is exact
        cases.push_back(Make(source.Below(2) * kSignBit | (kFloatBias + source.Below(34)) << kFractionBits |
                                 (source.Bits32() & kFraction),
                             0));
    Tally tally;
    RunCases("MATH_FTOI32", cases, kR4R7 | kR0,
             [](const Operands& in, const Returned& out) -> std::string {
                 const float f = AsFloat(HighOf(in));
                 int32_t want;
                 if (std::isnan(f)) want = std::signbit(f) ? std::numeric_limits<int32_t>::min() : std::numeric_limits<int32_t>::max();
                 else if (f >= 2147483648.0f) want = std::numeric_limits<int32_t>::max();
                 else if (f <= -2147483648.0f) want = std::numeric_limits<int32_t>::min();
                 else want = static_cast<int32_t>(f);
                 const auto got = static_cast<int32_t>(out.High());
                 return got == want ? "" : "gave " + std::to_string(got) + ", expected " + std::to_string(want) + ";";
             },
             tally);
    ExpectNoFailures(tally);
}

// ---- integer routines -----------------------------------------------------------------------

std::vector<Operands> IntegerPairs(uint64_t seed, std::initializer_list<uint32_t> boundaries) {
    FloatSource source(seed);
    std::vector<Operands> cases;
    for (uint32_t a : boundaries)
        for (uint32_t b : boundaries) cases.push_back(Make(a, b));
    for (std::size_t i = 0; i < kIntegerCases; ++i)
        cases.push_back(Make(source.Bits32() >> source.Below(32), source.Bits32() >> source.Below(32)));
    return cases;
}

TEST(Arith, SixteenBitMultiplyAndDivide) {
    const auto cases = IntegerPairs(Seed() + 5, {0u, 1u, 0x7FFFu, 0x8000u, 0xFFFFu, 0x00010001u, 0xFFFF0000u,
                                                 0x012C0000u | 50000u, 0xFFFFFFFFu});
    Tally multiply;
    RunCases("MATH_MUL16", cases, kR4R7 | kB,
             [](const Operands& in, const Returned& out) -> std::string {
                 const uint32_t a = HighOf(in) & 0xFFFF, b = HighOf(in) >> 16;
                 const uint32_t want = (HighOf(in) & 0xFFFF0000) | ((a * b) & 0xFFFF);
                 return out.High() == want ? "" : "gave " + Hex(out.High()) + ", expected " + Hex(want) + ";";
             },
             multiply);
    ExpectNoFailures(multiply);

    Tally divide;
    RunCases("MATH_DIVU16", cases, kR4R7 | kB | kR1 | kR2 | kR3,
             [](const Operands& in, const Returned& out) -> std::string {
                 const uint32_t a = HighOf(in) & 0xFFFF, b = HighOf(in) >> 16;
                 const uint32_t q = b ? a / b : 0xFFFF, r = b ? a % b : a;
                 const uint32_t want = r << 16 | q;
                 return out.High() == want ? "" : "gave " + Hex(out.High()) + ", expected " + Hex(want) + ";";
             },
             divide);
    ExpectNoFailures(divide);
}

TEST(Arith, ThirtyTwoBitMultiplyAndDivide) {
    const auto cases = IntegerPairs(Seed() + 6, {0u, 1u, 2u, 0xFFu, 0x100u, 0xFFFFFFu, 0x1000000u, 0x7FFFFFFFu,
                                                 0x80000000u, 0xFFFFFFFFu, 0xFFFFFFFEu});
    Tally multiply;
    RunCases("MATH_MUL32", cases, kR4R7 | kR0 | kB,
             [](const Operands& in, const Returned& out) -> std::string {
                 const uint32_t want = HighOf(in) * LowOf(in);
                 return out.High() == want ? "" : "gave " + Hex(out.High()) + ", expected " + Hex(want) + ";";
             },
             multiply);
    ExpectNoFailures(multiply);

    Tally divide;
    RunCases("MATH_DIVU32", cases, kR4R7 | kR0R3 | kB,
             [](const Operands& in, const Returned& out) -> std::string {
                 const uint32_t a = HighOf(in), b = LowOf(in);
                 const uint32_t q = b ? a / b : 0xFFFFFFFF, r = b ? a % b : a;
                 if (out.High() == q && out.Low() == r) return "";
                 return "gave " + Hex(out.High()) + " rest " + Hex(out.Low()) + ", expected " + Hex(q) + " rest " + Hex(r) + ";";
             },
             divide);
    ExpectNoFailures(divide);
}

TEST(Arith, NegateAndShifts) {
    FloatSource source(Seed() + 7);
    std::vector<Operands> cases;
    for (uint32_t v : {0u, 1u, 0x80000000u, 0x7FFFFFFFu, 0xFFFFFFFFu, 0x12345678u})
        for (uint32_t count : {0u, 1u, 7u, 8u, 31u, 32u, 33u, 255u}) cases.push_back(Make(v, count << 24));
    for (std::size_t i = 0; i < kIntegerCases; ++i) cases.push_back(Make(source.Bits32(), source.Below(40) << 24));

    const auto expect = [](std::function<uint32_t(uint32_t, uint32_t)> f) -> Check {
        return [f](const Operands& in, const Returned& out) -> std::string {
            const uint32_t want = f(HighOf(in), LowOf(in) >> 24);
            return out.High() == want ? "" : "gave " + Hex(out.High()) + ", expected " + Hex(want) + ";";
        };
    };
    Tally negate, right, arithmetic, left;
    RunCases("MATH_NEG32", cases, kR4R7, expect([](uint32_t v, uint32_t) { return 0u - v; }), negate);
    RunCases("MATH_SHR32", cases, kR4R7 | kR0,
             expect([](uint32_t v, uint32_t n) { return n >= 32 ? 0u : v >> n; }), right);
    RunCases("MATH_SAR32", cases, kR4R7 | kR0, expect([](uint32_t v, uint32_t n) {
                 return static_cast<uint32_t>(static_cast<int32_t>(v) >> std::min(n, 31u));
             }),
             arithmetic);
    RunCases("MATH_SHL32", cases, kR4R7 | kR0, expect([](uint32_t v, uint32_t n) { return n >= 32 ? 0u : v << n; }), left);
    for (const Tally* t : {&negate, &right, &arithmetic, &left}) ExpectNoFailures(*t);
}

// The worked examples of the library's description.
TEST(Arith, Examples) {
    const auto sum = Runner().Run(EntryOf("MATH_FADD"), {Make(Bits(1.5f), Bits(2.25f))});
    EXPECT_EQ(sum[0].High(), 0x40700000u);
    const auto quotient = Runner().Run(EntryOf("MATH_DIVU16"), {Make(300u << 16 | 50000u, 0)});
    EXPECT_EQ(quotient[0].High() & 0xFFFF, 166u);
    EXPECT_EQ(quotient[0].High() >> 16, 200u);
    const auto integer = Runner().Run(EntryOf("MATH_FTOI32"), {Make(Bits(-3.7f), 0)});
    EXPECT_EQ(integer[0].High(), 0xFFFFFFFDu);
}

}  // namespace
