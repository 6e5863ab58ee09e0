// Opening and closing: result codes per family, admission against another
// process, diagnostic counts and the OX952 two-function pairing.
#include "api/open_close.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "driver/admission.h"
#include "driver/contract.h"
#include "quelt_ox952.h"
#include "registry/registry_fixture.h"
#include "support/child_process.h"

namespace {

using OpenFn = std::uint32_t (*)(std::uint32_t, std::uint32_t);
using CloseFn = std::uint32_t (*)(std::uint32_t);

struct FamilyOps {
    const char* name;
    Family family;
    OpenFn open, openMulti, openDiagnostic;
    CloseFn close;
    std::function<int()> addCard;  // adds one card of the family, returns its device number
};

std::uint32_t StatusWord(int device, std::size_t offset) {
    return sim::ReadStatusWord(device, offset);
}
constexpr std::size_t kDiag = offsetof(SharedStatusBlock, diagCount);
constexpr std::size_t kSlot0 = offsetof(SharedStatusBlock, slots);

class FamilyOpenTest : public RegistryTest, public ::testing::WithParamInterface<FamilyOps> {};

TEST_P(FamilyOpenTest, OpenTwiceThenCloseTwice) {
    const FamilyOps& f = GetParam();
    const int device = f.addCard();
    ASSERT_EQ(f.open(0, 1), 0u);
    EXPECT_EQ(f.open(0, 0), QUELT_ALREADY_OPEN);
    EXPECT_EQ(f.openDiagnostic(0, 0), QUELT_ALREADY_OPEN);
    // The first connection is untouched by the refused second one.
    const CardEntry& e = CardTable()[device - 1];
    EXPECT_NE(LoadHandle(e), nullptr);
    EXPECT_EQ(LoadShared(e.irqEnabled), 1u);
    EXPECT_EQ(StatusWord(device, kSlot0), GetCurrentProcessId());
    EXPECT_EQ(f.close(0), 0u);
    EXPECT_EQ(StatusWord(device, kSlot0), 0u);
    EXPECT_EQ(LoadShared(e.irqEnabled), 0u);
    EXPECT_EQ(f.close(0), QUELT_NOT_OPEN);
    EXPECT_EQ(sim::AttachedHandles(device), 0);
}

TEST_P(FamilyOpenTest, BadPositionsAndVersionGate) {
    const FamilyOps& f = GetParam();
    f.addCard();
    EXPECT_EQ(f.open(32, 0), QUELT_NO_CARD);
    EXPECT_EQ(f.open(0xFFFFFFFFu, 0), QUELT_NO_CARD);
    EXPECT_EQ(f.close(32), QUELT_NO_CARD);
    sim::SetDriverVersion(108);
    EXPECT_EQ(f.open(0, 0), QUELT_OLD_DRIVER);
    EXPECT_EQ(f.open(32, 0), QUELT_NO_CARD);  // the position comes before the gate
    EXPECT_EQ(sim::AttachedHandles(1), 0);
}

TEST_P(FamilyOpenTest, DiagnosticCountGoesUpAndDownAndNeverBelowZero) {
    const FamilyOps& f = GetParam();
    const int device = f.addCard();
    ASSERT_EQ(f.openDiagnostic(0, 0), 0u);
    EXPECT_EQ(StatusWord(device, kDiag), 1u);
    EXPECT_EQ(f.close(0), 0u);
    EXPECT_EQ(StatusWord(device, kDiag), 0u);

    ASSERT_EQ(f.openDiagnostic(0, 0), 0u);
    sim::WriteStatusWord(device, kDiag, 0);  // another process's reset
    EXPECT_EQ(f.close(0), 0u);
    EXPECT_EQ(StatusWord(device, kDiag), 0u);
}

TEST_P(FamilyOpenTest, AttachFailureLeavesNothingOpen) {
    const FamilyOps& f = GetParam();
    const int device = f.addCard();
    f.open(0, 0);  // builds the map and scans
    f.close(0);
    sim::ArmFault(sim::Fault::AttachFails, device);
    EXPECT_EQ(f.open(0, 0), QUELT_OPEN_FAILED);
    EXPECT_EQ(LoadHandle(CardTable()[device - 1]), nullptr);
    EXPECT_EQ(f.close(0), QUELT_NOT_OPEN);
}

TEST_P(FamilyOpenTest, TimeoutSurvivesCloseAndReopen) {
    const FamilyOps& f = GetParam();
    const int device = f.addCard();
    ASSERT_EQ(f.open(0, 0), 0u);
    CardEntry& e = CardTable()[device - 1];
    StoreShared(e.irqTimeout, 750);
    ASSERT_EQ(f.close(0), 0u);
    ASSERT_EQ(f.openMulti(0, 0), 0u);
    EXPECT_EQ(LoadShared(e.irqTimeout), 750);
    EXPECT_EQ(LoadShared(e.connectionKind), CONNECTION_MULTI);
}

INSTANTIATE_TEST_SUITE_P(
    Families, FamilyOpenTest,
    ::testing::Values(
        FamilyOps{"OX952", Family::OX952, OX952_Open, OX952_OpenMulti, OX952_OpenDiagnostic, OX952_Close,
                  [] {
                      sim::CardConfig c = sim::DefaultCard(sim::CardFamily::OX952);
                      c.deviceId = 0x0401;  // function 1 alone: one device per card
                      return sim::AddCard(c);
                  }},
        FamilyOps{"OX9162", Family::OX9162, OX9162_Open, OX9162_OpenMulti, OX9162_OpenDiagnostic,
                  OX9162_Close, [] { return sim::AddCard(sim::DefaultCard(sim::CardFamily::OX9162)); }},
        FamilyOps{"EP4GXA", Family::EP4GXA, EP4GXA_Open, EP4GXA_OpenMulti, EP4GXA_OpenDiagnostic,
                  EP4GXA_Close, [] { return sim::AddCard(sim::DefaultCard(sim::CardFamily::EP4GXA)); }}),
    [](const auto& info) { return std::string(info.param.name); });

using OpenTest = RegistryTest;

TEST_F(OpenTest, PositionWithoutCardDiffersByFamily) {
    sim::AddCard(Ep4gxa());
    EXPECT_EQ(OX9162_Open(0, 0), QUELT_NO_CARD);
    EXPECT_EQ(EP4GXA_Open(1, 1), QUELT_NO_CARD);
    EXPECT_EQ(OX952_Open(0, 0), QUELT_OPEN_FAILED);
    EXPECT_EQ(OX952_Open(0, 1), QUELT_NO_IRQ_LINE);
    EXPECT_EQ(OX9162_Close(0), QUELT_NO_CARD);
    EXPECT_EQ(OX952_Close(0), QUELT_NOT_OPEN);
    EXPECT_EQ(sim::AttachedHandles(1), 0);
}

// OX9162 and EP4GXA test the interrupt line before the already-open test;
// OX952 (for a lone function 1) after it.
TEST_F(OpenTest, InterruptLineTestOrder) {
    sim::CardConfig c = Ox9162();
    c.irqLine = 0;
    sim::AddCard(c);
    sim::CardConfig lone = sim::DefaultCard(sim::CardFamily::OX952);
    lone.deviceId = 0x0401;
    lone.irqLine = 0;
    sim::AddCard(lone);

    EXPECT_EQ(OX9162_Open(0, 1), QUELT_NO_IRQ_LINE);
    EXPECT_EQ(sim::AttachedHandles(1), 0);
    ASSERT_EQ(OX9162_Open(0, 0), 0u);
    EXPECT_EQ(OX9162_Open(0, 1), QUELT_NO_IRQ_LINE);

    EXPECT_EQ(OX952_Open(0, 1), QUELT_NO_IRQ_LINE);
    ASSERT_EQ(OX952_Open(0, 0), 0u);
    EXPECT_EQ(OX952_Open(0, 1), QUELT_ALREADY_OPEN);
}

TEST_F(OpenTest, TwoFunctionCardOpensBothWithTheirOwnInterruptBase) {
    const int f0 = AddOx952Pair();
    const int f1 = f0 + 1;
    sim::RaiseIrq(f0, 3);
    sim::RaiseIrq(f1, 5);
    ASSERT_EQ(OX952_OpenMulti(0, 1), 0u);
    const CardEntry& e0 = CardTable()[f0 - 1];
    const CardEntry& e1 = CardTable()[f1 - 1];
    ASSERT_NE(LoadHandle(e0), nullptr);
    ASSERT_NE(LoadHandle(e1), nullptr);
    EXPECT_EQ(LoadShared(e0.irqBase), 3u);
    EXPECT_EQ(LoadShared(e1.irqBase), 5u);
    EXPECT_EQ(LoadShared(e1.irqEnabled), 1u);
    EXPECT_EQ(LoadShared(e1.connectionKind), CONNECTION_MULTI);
    EXPECT_EQ(Ox952Function1Map().index[0].load(), f1 - 1);

    EXPECT_EQ(OX952_Open(0, 0), QUELT_ALREADY_OPEN);
    EXPECT_EQ(OX952_Close(0), 0u);
    EXPECT_EQ(LoadHandle(e0), nullptr);
    EXPECT_EQ(LoadHandle(e1), nullptr);
    EXPECT_EQ(sim::AttachedHandles(f0), 0);
    EXPECT_EQ(sim::AttachedHandles(f1), 0);
    EXPECT_EQ(OX952_Close(0), QUELT_NOT_OPEN);
}

TEST_F(OpenTest, FunctionZeroInterruptLineIsNotTested) {
    sim::CardConfig c = Card(sim::CardFamily::OX952, 0x0300, 2, 5);
    c.irqLine = 0;
    sim::AddCard(c);
    sim::AddCard(sim::Ox952Function1(c));
    EXPECT_EQ(OX952_Open(0, 1), 0u);
}

TEST_F(OpenTest, AmbiguousPartnerUndoesFunctionZeroAndLeavesTheMark) {
    const int f0 = AddOx952Pair(0x0300, 2, 5);
    sim::AddCard(sim::Ox952Function1(Card(sim::CardFamily::OX952, 0x0300, 2, 5)));  // a second candidate
    ASSERT_EQ(OX952_Open(0, 0), QUELT_NO_FUNCTION1);
    EXPECT_EQ(Ox952Function1Map().index[0].load(), AMBIGUOUS_PARTNER);
    EXPECT_EQ(LoadHandle(CardTable()[f0 - 1]), nullptr);
    EXPECT_EQ(StatusWord(f0, kSlot0), 0u);  // connection record released
    EXPECT_EQ(sim::AttachedHandles(f0), 0);
    EXPECT_EQ(OX952_Close(0), QUELT_NOT_OPEN);

    ASSERT_EQ(OX952_OpenDiagnostic(0, 0), QUELT_NO_FUNCTION1);
    EXPECT_EQ(StatusWord(f0, kDiag), 0u);
    std::uint32_t did = 0;
    EXPECT_EQ(OX952_Card_DID(0, &did), 0u);  // still counted by its function 0
    EXPECT_EQ(did, 0x0300u);
}

TEST_F(OpenTest, PartnerWithoutNameIsNoPartner) {
    sim::CardConfig c = Card(sim::CardFamily::OX952, 0x0300, 2, 5);
    sim::AddCard(c);
    sim::CardConfig partner = sim::Ox952Function1(c);
    partner.description = "";
    sim::AddCard(partner);
    // The count and Open agree: a function 0 whose only partner has no name
    // is no two-function card, and the position holds no card.
    std::uint32_t n = 0;
    ASSERT_EQ(OX952_CardsInSystem(&n), 0u);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(OX952_Open(0, 0), QUELT_OPEN_FAILED);
    EXPECT_EQ(Ox952Function1Map().index[0].load(), NO_CARD);
    EXPECT_EQ(sim::AttachedHandles(1), 0);
}

TEST_F(OpenTest, PartnerAlreadyOpenIsLeftAsItIs) {
    const int f0 = AddOx952Pair();
    ASSERT_EQ(OX952_Open(0, 0), 0u);
    // Close function 0 only, as a failed pairing would; function 1 stays open.
    CardEntry& e0 = CardTable()[f0 - 1];
    CloseEntry(e0, TakeHandle(e0));
    DeviceHandle* h1 = LoadHandle(CardTable()[f0]);
    ASSERT_NE(h1, nullptr);
    ASSERT_EQ(OX952_OpenDiagnostic(0, 1), 0u);
    EXPECT_EQ(LoadHandle(CardTable()[f0]), h1);
    EXPECT_EQ(LoadShared(CardTable()[f0].connectionKind), CONNECTION_NORMAL);
    EXPECT_EQ(sim::AttachedHandles(f0 + 1), 1);
}

TEST_F(OpenTest, FailedPartnerAttachStillSucceeds) {
    const int f0 = AddOx952Pair();
    std::uint32_t n = 0;
    OX952_CardsInSystem(&n);
    sim::ArmFault(sim::Fault::AttachFails, f0 + 1);
    ASSERT_EQ(OX952_Open(0, 1), 0u);
    EXPECT_EQ(LoadHandle(CardTable()[f0]), nullptr);
    EXPECT_EQ(LoadShared(CardTable()[f0].irqBase), 0u);
    EXPECT_EQ(OX952_Close(0), 0u);
}

// Run under ThreadSanitizer. Of threads opening one position at once exactly
// one succeeds; open/close cycles on other positions run beside it.
TEST_F(OpenTest, RacingOpensOfOnePositionAdmitOne) {
    for (int i = 0; i < 4; ++i) sim::AddCard(Ep4gxa());
    AddOx952Pair();
    constexpr int kThreads = 6;
    std::vector<std::uint32_t> results(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] { results[t] = t % 2 ? EP4GXA_OpenMulti(0, 0) : EP4GXA_Open(0, 0); });
    }
    for (int t = 1; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 20; ++i) {
                if (EP4GXA_Open(static_cast<std::uint32_t>(t), 1) == 0)
                    EP4GXA_Close(static_cast<std::uint32_t>(t));
                if (t == 1 && OX952_OpenDiagnostic(0, 0) == 0) OX952_Close(0);
            }
        });
    }
    for (auto& th : threads) th.join();
    int opened = 0;
    for (std::uint32_t r : results) {
        EXPECT_TRUE(r == 0 || r == QUELT_ALREADY_OPEN) << r;
        opened += r == 0 ? 1 : 0;
    }
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(sim::AttachedHandles(1), 1);
    for (int d = 2; d <= 6; ++d) EXPECT_EQ(sim::AttachedHandles(d), 0) << "device " << d;
    EXPECT_EQ(EP4GXA_Close(0), 0u);
}

int DiscardRequests() {
    int n = 0;
    for (const auto& r : sim::RequestLog()) n += r.code == IOCTL_CARD_DISCARD_WAITS ? 1 : 0;
    return n;
}

TEST_F(OpenTest, CloseEndsAWaitingThreadThroughTheDiscard) {
    sim::AddCard(Ox9162());
    ASSERT_EQ(OX9162_Open(0, 1), 0u);
    sim::ClearRequestLog();
    ASSERT_EQ(OX9162_Close(0), 0u);
    EXPECT_EQ(DiscardRequests(), 0);  // nobody waited

    ASSERT_EQ(OX9162_Open(0, 1), 0u);
    auto waiter = std::async(std::launch::async, [] {
        std::uint32_t count = 0;
        return OX9162_IRQ_Wait(0, &count);
    });
    // Bounded: the wait is pending once the driver counts it.
    for (int i = 0; i < 2000 && sim::PendingWaits(1) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(sim::PendingWaits(1), 1u);
    sim::ClearRequestLog();
    ASSERT_EQ(OX9162_Close(0), 0u);
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(waiter.get(), QUELT_WAIT_ENDED);
    // Close discards again while the waiter has not yet left the driver, so a
    // waiter slow to be scheduled on a busy machine brings more than one.
    EXPECT_GE(DiscardRequests(), 1);
    EXPECT_EQ(sim::AttachedHandles(1), 0);
}

// A child process that opens the card through its own library state and
// holds it until told to go.
class HoldingChild {
public:
    explicit HoldingChild(std::uint32_t (*open)())
        : child_([open](quelt_test::Child& self) {
              RegistryLoad();
              self.Report("opened " + std::to_string(open()) + "\n");
              self.Hear();
              RegistryUnload();
              return 0;
          }) {
        const std::string line = child_.AwaitLine("opened ");
        result_ = line.empty() ? 0xFFFFFFFFu : static_cast<std::uint32_t>(std::stoul(line.substr(7)));
    }
    std::uint32_t result() const { return result_; }
    int Finish() {
        child_.Tell("go\n");
        const auto outcome = child_.Wait();
        return outcome.exited ? outcome.code : -1;
    }

private:
    quelt_test::Child child_;
    std::uint32_t result_ = 0;
};

TEST_F(OpenTest, NormalOpenIsRefusedWhileAnotherProcessHoldsTheCard) {
    const int device = sim::AddCard(Ox9162());
    HoldingChild child([] { return OX9162_OpenMulti(0, 0); });
    ASSERT_EQ(child.result(), 0u);
    ASSERT_EQ(sim::AttachedHandles(device), 1);

    EXPECT_EQ(OX9162_Open(0, 0), QUELT_REFUSED);
    EXPECT_EQ(LoadHandle(CardTable()[0]), nullptr);
    EXPECT_EQ(sim::AttachedHandles(device), 1);  // ours was detached again
    EXPECT_EQ(OX9162_Close(0), QUELT_NOT_OPEN);
    // Multi and diagnostic connections are admitted beside a multi one.
    EXPECT_EQ(OX9162_OpenMulti(0, 0), 0u);
    EXPECT_EQ(OX9162_Close(0), 0u);
    EXPECT_EQ(OX9162_OpenDiagnostic(0, 0), 0u);
    EXPECT_EQ(OX9162_Close(0), 0u);

    EXPECT_EQ(child.Finish(), 0);
    EXPECT_EQ(OX9162_Open(0, 0), 0u);
}

TEST_F(OpenTest, MultiOpenIsRefusedWhileAnotherProcessHoldsItNormally) {
    const int device = sim::AddCard(Ep4gxa());
    HoldingChild child([] { return EP4GXA_Open(0, 0); });
    ASSERT_EQ(child.result(), 0u);
    EXPECT_EQ(EP4GXA_OpenMulti(0, 0), QUELT_REFUSED);
    EXPECT_EQ(sim::AttachedHandles(device), 1);
    EXPECT_EQ(EP4GXA_OpenDiagnostic(0, 0), 0u);
    EXPECT_EQ(EP4GXA_Close(0), 0u);
    EXPECT_EQ(child.Finish(), 0);
    // The child closed its connection, so the slot is free again.
    EXPECT_EQ(EP4GXA_OpenMulti(0, 0), 0u);
}

}  // namespace
