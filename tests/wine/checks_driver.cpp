// The device-level exports on a machine with no cards, over Wine's real
// SetupAPI and kernel: nothing opens, and every null handle gets its result.
#include "harness.h"

WINE_CHECK(DeviceExportsWithoutCards) {
    QUELT_REQUIRE_EXPORT(openDevice, OxOpenDevice);
    QUELT_REQUIRE_EXPORT(closeDevice, OxCloseDevice);
    QUELT_REQUIRE_EXPORT(boardName, OxGetBoardName);
    QUELT_REQUIRE_EXPORT(resources, OxGetDeviceResources);
    QUELT_REQUIRE_EXPORT(inOut, OxInOut);

    const struct {
        const char* name;
        int32_t index, kind;
    } opens[] = {{nullptr, 1, 0}, {"", 1, 1}, {"card", 1, 2}, {"", 32, 0}, {"", 0, 0}, {"", -1, 7}};
    for (const auto& o : opens) {
        DeviceHandle* h = openDevice(o.name, o.index, o.kind);
        if (h != nullptr) {
            wine::Fail(__FILE__, __LINE__, "OxOpenDevice opened a device on a machine without cards");
            closeDevice(h);
        }
    }
    closeDevice(nullptr);
    EXPECT_EQ(boardName(nullptr), static_cast<const char*>(nullptr));
    EXPECT_TRUE(resources(nullptr) == nullptr);
    EXPECT_EQ(inOut(0, 0, 0, 0), -100);
    EXPECT_EQ(inOut(~uintptr_t{0}, INT32_MIN, 1, INT32_MAX), -100);
}

WINE_CHECK(DeviceInterruptAndDmaExportsWithNullHandles) {
    QUELT_REQUIRE_EXPORT(waitForIrq, OxWaitForIrq);
    QUELT_REQUIRE_EXPORT(discard, OxDiscardWaitForIrq);
    QUELT_REQUIRE_EXPORT(irqCounter, OxGetIrqCounter);
    QUELT_REQUIRE_EXPORT(irqWaits, OxGetIrqWaits);
    QUELT_REQUIRE_EXPORT(allocate, OxAllocateDMAmem);
    QUELT_REQUIRE_EXPORT(release, OxReleaseDMAmem);

    EXPECT_EQ(waitForIrq(nullptr, 0, 1), 5);
    DeviceHandle* empty = nullptr;
    EXPECT_EQ(waitForIrq(&empty, 100, 1), 4);
    EXPECT_EQ(waitForIrq(&empty, 0, 0), 4);
    discard(nullptr);
    EXPECT_EQ(irqCounter(nullptr), 0u);
    EXPECT_EQ(irqWaits(nullptr), 0u);
    EXPECT_EQ(allocate(nullptr, 4096), -1);
    EXPECT_EQ(allocate(nullptr, 0x80000000u), -1);
    EXPECT_EQ(release(nullptr), -1);
}
