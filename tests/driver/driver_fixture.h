// A fresh simulated machine per test, with the library's process state loaded,
// and small helpers over the request log.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/device.h"
#include "platform/posix/test_hooks.h"
#include "registry/card_table.h"
#include "sim/control.h"
#include "support/temp_machine.h"

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        machine_ = std::make_unique<quelt_test::TempMachine>();
        RegistryLoad();
        baseHandles_ = posix_test::OpenHandleCount();
    }
    void TearDown() override {
        RegistryUnload();
        sim::SetImmediateWaits(false);
        sim::ClearFaults();
        machine_.reset();
    }

    static int AddCard(const std::string& description, sim::CardFamily family = sim::CardFamily::OX9162,
                       bool statusBlock = true) {
        sim::CardConfig c = sim::DefaultCard(family);
        c.description = description;
        c.statusBlock = statusBlock;
        c.irqLine = 5;
        return sim::AddCard(c);
    }

    // Codes of the logged requests, in order.
    static std::vector<std::uint32_t> Codes() {
        std::vector<std::uint32_t> codes;
        for (const auto& r : sim::RequestLog()) codes.push_back(r.code);
        return codes;
    }
    static std::vector<sim::LoggedRequest> Requests(std::uint32_t code) {
        std::vector<sim::LoggedRequest> out;
        for (const auto& r : sim::RequestLog())
            if (r.code == code) out.push_back(r);
        return out;
    }
    // The signed 64-bit wait times of the logged wait requests.
    static std::vector<std::int64_t> WaitTimes() {
        std::vector<std::int64_t> times;
        for (const auto& r : Requests(IOCTL_CARD_WAIT_IRQ)) {
            std::int64_t t = 0;
            if (r.input.size() == sizeof t)
                std::memcpy(&t, r.input.data(), sizeof t);
            else
                t = INT64_MIN;
            times.push_back(t);
        }
        return times;
    }
    static std::uint32_t StatusWord(int device, std::size_t offset) {
        return sim::ReadStatusWord(device, offset);
    }

    // Nothing left open by the library: no device list, no kernel handle.
    void ExpectNothingLeftOpen() const {
        EXPECT_EQ(sim::OpenDeviceLists(), 0);
        EXPECT_EQ(posix_test::OpenHandleCount(), baseHandles_);
    }

    std::unique_ptr<quelt_test::TempMachine> machine_;
    std::size_t baseHandles_ = 0;
};

// Status block offsets.
inline constexpr std::size_t IRQ_COUNTER = 4;
inline constexpr std::size_t ACK_COUNTER = 8;
inline constexpr std::size_t ATTACH_COUNT = 12;
inline constexpr std::size_t DIAG_COUNT = 16;
inline constexpr std::size_t SLOT_COUNT = 20;
inline constexpr std::size_t SLOT0 = 24;

// Closes an Ox handle at the end of a scope.
struct OxHandle {
    DeviceHandle* h = nullptr;
    explicit OxHandle(DeviceHandle* handle) : h(handle) {}
    ~OxHandle() { OxCloseDevice(h); }
    OxHandle(const OxHandle&) = delete;
    OxHandle& operator=(const OxHandle&) = delete;
    DeviceHandle* get() const { return h; }
    DeviceHandle* release() {
        DeviceHandle* r = h;
        h = nullptr;
        return r;
    }
};
