// A fresh simulated machine and freshly loaded library state per test.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/posix/test_hooks.h"
#include "registry/card_table.h"
#include "sim/control.h"
#include "support/temp_machine.h"

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        machine_ = std::make_unique<quelt_test::TempMachine>();
        posix_test::ClearMessages();
        RegistryLoad();
    }
    void TearDown() override {
        RegistryUnload();
        // Whatever a test opened through the library, unload leaves no
        // device handle behind.
        EXPECT_EQ(posix_test::OpenHandleCount(), 0u);
        machine_.reset();
    }

    static sim::CardConfig Card(sim::CardFamily family, std::uint32_t deviceId, std::uint32_t bus = 1,
                                std::uint32_t slot = 0) {
        sim::CardConfig c = sim::DefaultCard(family);
        c.deviceId = deviceId;
        c.bus = bus;
        c.slot = slot;
        return c;
    }
    static sim::CardConfig Ox9162(std::uint32_t deviceId = 0x0100) {
        return Card(sim::CardFamily::OX9162, deviceId);
    }
    static sim::CardConfig Ep4gxa(std::uint32_t deviceId = 0x0800) {
        return Card(sim::CardFamily::EP4GXA, deviceId);
    }
    // Adds function 0 and its partner on the same bus and slot; returns the
    // device number of function 0.
    static int AddOx952Pair(std::uint32_t deviceId = 0x0300, std::uint32_t bus = 2, std::uint32_t slot = 5) {
        sim::CardConfig f0 = Card(sim::CardFamily::OX952, deviceId, bus, slot);
        const int device = sim::AddCard(f0);
        sim::AddCard(sim::Ox952Function1(f0));
        return device;
    }

    std::unique_ptr<quelt_test::TempMachine> machine_;
};
