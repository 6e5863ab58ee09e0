// The EEPROM, interrupt and connection calls that need an open card never
// build the family map: as the first call of a process they find no card, and
// the driver hears nothing (no scan, no attach). Base addresses and register
// access are checked the same way beside their own tests.
#include <functional>
#include <string>

#include "quelt_ox952.h"
#include "registry/registry_fixture.h"

namespace {

struct FirstCall {
    const char* name;
    std::function<std::uint32_t()> call;
    std::uint32_t expected;
};

std::uint16_t gWord = 0;
std::uint32_t gValue = 0;

class NoMapFirstCallTest : public RegistryTest, public ::testing::WithParamInterface<FirstCall> {
protected:
    void SetUp() override {
        RegistryTest::SetUp();
        AddOx952Pair();
        sim::AddCard(Ox9162());
        sim::AddCard(Ep4gxa());
        sim::ClearRequestLog();
    }
};

TEST_P(NoMapFirstCallTest, FindsNoCardAndAsksTheDriverNothing) {
    EXPECT_EQ(GetParam().call(), GetParam().expected);
    EXPECT_TRUE(sim::RequestLog().empty());
    for (int device = 1; device <= 4; ++device) EXPECT_EQ(sim::AttachedHandles(device), 0) << device;
    // The map is built by the first call that names cards, as before.
    std::uint32_t cards = 0;
    ASSERT_EQ(OX9162_CardsInSystem(&cards), QUELT_OK);
    EXPECT_EQ(cards, 1u);
}

#define CALL_(label, expr, code)                                     \
    FirstCall {                                                      \
        label, [] { return static_cast<std::uint32_t>(expr); }, code \
    }

INSTANTIATE_TEST_SUITE_P(
    Calls, NoMapFirstCallTest,
    ::testing::Values(CALL_("OX952_EEPROM_RD", OX952_EEPROM_RD(0, 1, &gWord), QUELT_NO_CARD),
                      CALL_("OX952_EEPROM_WR", OX952_EEPROM_WR(0, 1, 7), QUELT_NO_CARD),
                      CALL_("OX952_EEPROM_Erase", OX952_EEPROM_Erase(0, 1), QUELT_NO_CARD),
                      CALL_("OX9162_EEPROM_RD", OX9162_EEPROM_RD(0, 1, &gWord), QUELT_NO_CARD),
                      CALL_("OX9162_EEPROM_WR", OX9162_EEPROM_WR(0, 1, 7), QUELT_NO_CARD),
                      CALL_("OX9162_EEPROM_Erase", OX9162_EEPROM_Erase(0, 1), QUELT_NO_CARD),
                      CALL_("OX952_Card_OpenCount", OX952_Card_OpenCount(0, &gValue), QUELT_NOT_OPEN),
                      CALL_("EP4GXA_IRQ_Count", EP4GXA_IRQ_Count(0), 0u),
                      CALL_("OX952_IRQ_Wait", OX952_IRQ_Wait(0, &gValue), QUELT_NO_CARD),
                      CALL_("EP4GXA_IRQ_SetTimeout", EP4GXA_IRQ_SetTimeout(0, 5), QUELT_NO_CARD),
                      CALL_("OX9162_GetIrqWaits", OX9162_GetIrqWaits(0), 0u)),
    [](const auto& info) { return std::string(info.param.name); });

#undef CALL_

}  // namespace
