// Torn cells that read unreliably (--metastable): which bits a cut leaves unstable, how reads of
// them come out, and when they settle. The extension's part is played through the host's
// services: a block captured (FDATA and the shadow byte), the bank in its mode, the timer armed.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "flash/regmap.h"
#include "pelto/pelto.h"
#include "sim/peltosim/host/flash_ops.h"
#include "sim/peltosim/host/metastable.h"
#include "sim/peltosim/host/observer.h"
#include "sim/peltosim/host/sim_host.h"
#include "sim/peltosim/host/torn.h"

namespace peltosim {
namespace {

constexpr uint16_t kBlock = 0xAF80;         // DFLASH 0, sector 9
constexpr uint16_t kBlockOtherView = 0x7F80;
constexpr uint16_t kBlockSize = flash::kDataBlock;
constexpr uint16_t kBankBase = flash::kBanks[3].base;
constexpr uint64_t kCutCycle = 100;
constexpr uint8_t kOld = 0x0F;        // every byte of the block before the program
constexpr uint8_t kNewEven = 0xF5;    // sets bits 7..4 over kOld: unstable after a cut
constexpr uint8_t kNewOdd = 0x05;     // sets nothing over kOld: stays stable
constexpr uint8_t kUnstableBits = kNewEven & static_cast<uint8_t>(~kOld);
constexpr std::size_t kReads = 64;    // of each of the two bytes
constexpr uint16_t kLogBase = 0xFF00;  // where the reader leaves what it read (P2 = 0xFF)

// Reads 0xAF80 and 0xAF81 alternately with MOVC, kReads times each, into xdata 0xFF00 on.
constexpr uint8_t kReader[] = {
    0x78, 0x00,              // mov r0,#0
    0x90, 0xAF, 0x80,        // mov dptr,#0xAF80
    0xE4,                    // 0005: clr a
    0x93,                    // movc a,@a+dptr
    0xF2,                    // movx @r0,a
    0x08,                    // inc r0
    0xE4,                    // clr a
    0x04,                    // inc a
    0x93,                    // movc a,@a+dptr
    0xF2,                    // movx @r0,a
    0x08,                    // inc r0
    0xB8, 2 * kReads, 0xF4,  // cjne r0,#128,0005
    0x80, 0xFE,              // sjmp .
};

void NoTimer() {}

uint8_t NewByte(uint16_t i) { return i % 2 == 0 ? kNewEven : kNewOdd; }

// One host with the torn cut (and the unstable cells when asked) before the tracker, as a run has.
class Rig {
public:
    Rig(uint64_t seed, bool metastable) {
        torn_.emplace(host_, tracker_, std::vector<uint64_t>{seed}, metastable);
        for (const auto& range : flash::kWatchedCode) host_.KeepOnPowerCut(range.first, range.last);
        observers_.Add(&*torn_);
        observers_.Add(&tracker_);
        host_.SetObserver(&observers_);
        std::copy(std::begin(kReader), std::end(kReader), host_.cpu().Code().begin());
        host_.Reset();
    }
    SimHost& host() { return host_; }
    const Metastable* metastable() const { return torn_->metastable(); }

    // Captures the block's bytes over kOld and starts its program; the power is cut before it ends.
    void CutProgram() {
        auto code = host_.cpu().Code();
        for (uint16_t i = 0; i < kBlockSize; ++i) code[kBlock + i] = code[kBlockOtherView + i] = kOld;
        for (uint16_t i = 0; i < kBlockSize; ++i) {
            host_.WriteSFR(flash::Id(flash::Reg::FDATA), NewByte(i), 0xFF);
            const uint8_t check = 0x10;
            host_.WriteMemory(PELTO_SPACE_XDATA | (kBlock + i), 1, &check);
        }
        Start(flash::kModeProgram, flash::kProgramCycles);
    }
    // Erases DFLASH 0 sector 0 (1024 bytes, four pieces) over a pattern; the cut comes first.
    void CutErase() {
        auto code = host_.cpu().Code();
        for (uint16_t i = 0; i < flash::kDataSectors[0].size; ++i)
            code[kBankBase + i] = static_cast<uint8_t>(i | 1u);
        host_.WriteSFR(flash::Id(flash::Reg::FSEL_D0L), 0x01, 0xFF);
        Start(flash::kModeErase, flash::kEraseFirstPhaseCycles);
    }
    // Runs the reader after the cut; what it read of 0xAF80 (even) and 0xAF81 (odd).
    std::pair<std::vector<uint8_t>, std::vector<uint8_t>> Read() {
        host_.Run(1'000'000);
        std::vector<uint8_t> even;
        std::vector<uint8_t> odd;
        for (std::size_t i = 0; i < 2 * kReads; ++i) (i % 2 == 0 ? even : odd).push_back(host_.cpu().Xram()[kLogBase + i]);
        return {even, odd};
    }

private:
    void Start(uint8_t mode, uint64_t cycles) {
        host_.WriteSFR(flash::Id(flash::Reg::FCTL_D0), mode, 0xFF);
        host_.SetTimer(host_.CreateTimer(&NoTimer), static_cast<uint32_t>(cycles));
        host_.ScheduleReset(kCutCycle, true);
    }
    SimHost host_;
    FlashTracker tracker_{host_};
    ObserverList observers_;
    std::optional<TornCut> torn_;
};

// Which bits a cut leaves unstable does not depend on the variant: those the program was setting.
TEST(Metastable, ATornProgramLeavesTheBitsItWasSettingUnstableInBothViews) {
    for (const uint64_t variant : {kTornOneBit, kTornAllButOne, kTornFirstRandom, uint64_t{7}}) {
        SCOPED_TRACE(TornVariantName(variant));
        auto rig = std::make_unique<Rig>(variant, true);
        rig->CutProgram();
        rig->Read();
        ASSERT_NE(rig->metastable(), nullptr);
        for (uint16_t i = 0; i < kBlockSize; ++i) {
            const uint8_t expected = static_cast<uint8_t>(NewByte(i) & ~kOld);
            EXPECT_EQ(rig->metastable()->Mask(kBlock + i), expected) << i;
            EXPECT_EQ(rig->metastable()->Mask(kBlockOtherView + i), expected) << i;
        }
        EXPECT_EQ(rig->metastable()->Mask(kBlock - 1), 0);
        EXPECT_EQ(rig->metastable()->Mask(kBlock + kBlockSize), 0);
    }
}

TEST(Metastable, ReadsDrawOnlyTheUnstableBitsAndTheShadowStaysAsCaptured) {
    auto rig = std::make_unique<Rig>(kTornOneBit, true);
    rig->CutProgram();
    const auto [even, odd] = rig->Read();
    // The first read sees what the tear left: the one bit it set (the lowest new bit of byte 0).
    EXPECT_EQ(even.front(), kOld | 0x10);
    uint8_t seen_set = 0;
    uint8_t seen_clear = 0;
    for (const uint8_t v : even) {
        EXPECT_EQ(v & static_cast<uint8_t>(~kUnstableBits), kOld) << "a stable bit changed";
        seen_set |= v;
        seen_clear |= static_cast<uint8_t>(~v);
    }
    EXPECT_EQ(seen_set & kUnstableBits, kUnstableBits) << "an unstable bit never read 1";
    EXPECT_EQ(seen_clear & kUnstableBits, kUnstableBits) << "an unstable bit never read 0";
    EXPECT_TRUE(std::ranges::all_of(odd, [](uint8_t v) { return v == kOld; })) << "a byte with nothing to set read unstable";
    for (uint16_t i = 0; i < kBlockSize; ++i) EXPECT_EQ(rig->host().cpu().Xram()[kBlock + i], 0x10) << i;
}

TEST(Metastable, ReadsAreReproducibleFromTheTornSeedAndDifferAcrossSeeds) {
    // After the first read, which shows the tear: a seed that did not reach the draws would
    // still give different tears, but the same reads after them.
    auto read = [](uint64_t seed) {
        auto rig = std::make_unique<Rig>(seed, true);
        rig->CutProgram();
        const auto even = rig->Read().first;
        return std::vector<uint8_t>(even.begin() + 1, even.end());
    };
    EXPECT_EQ(read(5), read(5));
    EXPECT_NE(read(5), read(6));
}

TEST(Metastable, AProgramOrEraseOfTheBytesSettlesThem) {
    auto rig = std::make_unique<Rig>(kTornFirstRandom, true);
    rig->CutProgram();
    rig->Read();
    // The commit of a later program writes both views, as the extension does.
    std::array<uint8_t, kBlockSize> written{};
    written.fill(0xA5);
    rig->host().WriteMemory(PELTO_SPACE_CODE | kBlock, kBlockSize, written.data());
    rig->host().WriteMemory(PELTO_SPACE_CODE | kBlockOtherView, kBlockSize, written.data());
    EXPECT_FALSE(rig->metastable()->Any());
    rig->host().Reset();
    const auto [even, odd] = rig->Read();
    EXPECT_TRUE(std::ranges::all_of(even, [](uint8_t v) { return v == 0xA5; }));
    EXPECT_TRUE(std::ranges::all_of(odd, [](uint8_t v) { return v == 0xA5; }));
}

TEST(Metastable, WithoutTheFlagTornBytesReadAsTheTearLeftThem) {
    auto rig = std::make_unique<Rig>(kTornOneBit, false);
    rig->CutProgram();
    EXPECT_EQ(rig->metastable(), nullptr);
    const auto [even, odd] = rig->Read();
    EXPECT_TRUE(std::ranges::all_of(even, [](uint8_t v) { return v == (kOld | 0x10); }));
}

// An erase's extremes leave every set bit of its sectors unstable; a random variant the piece it
// was clearing, with the pieces before it erased for good.
TEST(Metastable, ATornEraseLeavesThePieceItWasClearingUnstable) {
    const uint16_t size = flash::kDataSectors[0].size;
    for (const uint64_t variant : {kTornOneBit, kTornAllButOne, kTornFirstRandom, uint64_t{9}}) {
        SCOPED_TRACE(TornVariantName(variant));
        auto rig = std::make_unique<Rig>(variant, true);
        rig->CutErase();
        rig->Read();
        std::vector<uint16_t> unstable;
        for (uint16_t i = 0; i < size; ++i) {
            const uint8_t mask = rig->metastable()->Mask(kBankBase + i);
            if (mask == 0) continue;
            unstable.push_back(i);
            EXPECT_EQ(mask, static_cast<uint8_t>(i | 1u)) << "offset " << i << ": the bits that were set";
        }
        EXPECT_EQ(rig->metastable()->Mask(kBankBase + size), 0);
        if (variant == kTornOneBit || variant == kTornAllButOne) {
            EXPECT_EQ(unstable.size(), size);
            continue;
        }
        ASSERT_FALSE(unstable.empty());
        const std::size_t piece = unstable.front() / flash::kEraseFillSize;
        EXPECT_EQ(unstable.size(), flash::kEraseFillSize);
        EXPECT_EQ(unstable.back() / flash::kEraseFillSize, piece);
        for (uint16_t i = 0; i < piece * flash::kEraseFillSize; ++i)
            EXPECT_EQ(rig->host().cpu().Code()[kBankBase + i], 0) << "an erased piece before the torn one";
    }
}

}  // namespace
}  // namespace peltosim
