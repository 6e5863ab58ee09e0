// The family interrupt and connection members over a fresh simulated machine:
// an OX952 two-function card (devices 1 and 2), an OX9162 card (3) and an
// EP4GXA card (4), each at position 0 of its family.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "driver/device.h"
#include "quelt_ox952.h"
#include "registry/card_table.h"
#include "sim/control.h"
#include "support/temp_machine.h"

// One family's members, so that what they share is tested once for all.
struct FamilyApi {
    const char* name;
    std::uint32_t (*open)(std::uint32_t, std::uint32_t);
    std::uint32_t (*openDiagnostic)(std::uint32_t, std::uint32_t);
    std::uint32_t (*close)(std::uint32_t);
    std::uint32_t (*wait)(std::uint32_t, std::uint32_t*);
    std::uint32_t (*count)(std::uint32_t);
    std::uint32_t (*setTimeout)(std::uint32_t, std::int32_t);
    std::uint32_t (*openCount)(std::uint32_t, std::uint32_t*);
    std::uint32_t (*clear)(std::uint32_t);
    std::uint32_t (*cardsInSystem)(std::uint32_t*);
    int irqDevice;  // the device whose interrupts the members wait for and count
    int device;     // the device of position 0 that Open admits first
};

#define QUELT_FAMILY_API_(P, irqDevice, device)                                                       \
    FamilyApi {                                                                                       \
#P, P##_Open, P##_OpenDiagnostic, P##_Close, P##_IRQ_Wait, P##_IRQ_Count, P##_IRQ_SetTimeout, \
            P##_Card_OpenCount, P##_ClearConnections, P##_CardsInSystem, irqDevice, device            \
    }
inline const FamilyApi kOx952 = QUELT_FAMILY_API_(OX952, 2, 1);
inline const FamilyApi kOx9162 = QUELT_FAMILY_API_(OX9162, 3, 3);
inline const FamilyApi kEp4gxa = QUELT_FAMILY_API_(EP4GXA, 4, 4);

inline std::string FamilyName(const ::testing::TestParamInfo<const FamilyApi*>& info) {
    return info.param->name;
}

inline constexpr std::size_t ATTACH_COUNT = 12;
inline constexpr std::size_t DIAG_COUNT = 16;
inline constexpr std::size_t SLOT_COUNT = 20;
inline constexpr std::size_t SLOT0 = 24;
inline constexpr std::uint32_t UNTOUCHED = 0xDEADBEEFu;

class IrqTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The default machine: a two-function OX952 card, an OX9162 and an EP4GXA card.
        machine_ = std::make_unique<quelt_test::TempMachine>(true);
        RegistryLoad();
    }
    void TearDown() override {
        RegistryUnload();
        sim::SetImmediateWaits(false);
        sim::ClearFaults();
        machine_.reset();
    }

    static std::vector<std::uint32_t> Codes(int device = 0) {
        std::vector<std::uint32_t> codes;
        for (const auto& r : sim::RequestLog())
            if (device == 0 || r.device == device) codes.push_back(r.code);
        return codes;
    }
    static std::size_t CountOf(std::uint32_t code) {
        std::size_t n = 0;
        for (const auto& r : sim::RequestLog()) n += r.code == code ? 1 : 0;
        return n;
    }
    static std::vector<std::int64_t> WaitTimes() {
        std::vector<std::int64_t> times;
        for (const auto& r : sim::RequestLog()) {
            if (r.code != IOCTL_CARD_WAIT_IRQ) continue;
            std::int64_t t = INT64_MIN;
            if (r.input.size() == sizeof t) std::memcpy(&t, r.input.data(), sizeof t);
            times.push_back(t);
        }
        return times;
    }
    // The table entry behind a device number.
    static CardEntry& Entry(int device) { return CardTable()[device - 1]; }
    static LONG Waiters(int device) { return std::atomic_ref<LONG>(Entry(device).irqWaiters).load(); }

    // Bounded polling for a state another thread or process reaches.
    template <typename Pred>
    static bool Eventually(Pred pred) {
        for (int i = 0; i < 20000; ++i) {
            if (pred()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return pred();
    }

    std::unique_ptr<quelt_test::TempMachine> machine_;
};
