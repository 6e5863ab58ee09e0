// The driver version gate: caching, placeholders and the one message.
#include "driver/version.h"

#include <future>
#include <thread>
#include <vector>

#include "driver/contract.h"
#include "quelt_ox952.h"
#include "registry/registry_fixture.h"

namespace {

constexpr const char* kCaption =
    "This dll is not compatible with kernel driver.\nPlease reinstall device driver.";

int VersionRequests() {
    int n = 0;
    for (const auto& r : sim::RequestLog()) n += r.code == IOCTL_CARD_DRIVER_VERSION ? 1 : 0;
    return n;
}

using VersionTest = RegistryTest;

struct VersionCase {
    const char* name;
    std::uint32_t version;
    bool message;
    bool final;  // kept without asking again
};

class VersionCacheTest : public RegistryTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(VersionCacheTest, DirectCallsAskUntilFinalAndWarnOnce) {
    const VersionCase& vc = GetParam();
    sim::AddCard(Ox9162());
    sim::SetDriverVersion(vc.version);
    sim::ClearRequestLog();

    EXPECT_EQ(OxDriverVersion(), vc.version);
    EXPECT_EQ(OxDriverVersion(), vc.version);
    EXPECT_EQ(VersionRequests(), vc.final ? 1 : 2);
    const auto messages = posix_test::Messages();
    ASSERT_EQ(messages.size(), vc.message ? 1u : 0u);
    if (vc.message) {
        EXPECT_EQ(messages[0].caption, kCaption);
        EXPECT_EQ(messages[0].text, "VerDllMain.");
        EXPECT_EQ(messages[0].style, MB_ICONERROR);
        EXPECT_EQ(messages[0].owner, nullptr);
    }
    std::uint32_t v = 0;
    EXPECT_EQ(OX9162_DriverVersion(&v), vc.version >= 109 ? 0u : QUELT_OLD_DRIVER);
    EXPECT_EQ(v, vc.version);
    EXPECT_EQ(OX9162_Open(0, 0), vc.version >= 109 ? 0u : QUELT_OLD_DRIVER);
    EXPECT_EQ(posix_test::Messages().size(), vc.message ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Versions, VersionCacheTest,
                         ::testing::Values(VersionCase{"Current", 109, false, true},
                                           VersionCase{"OneTooOld", 108, true, true},
                                           VersionCase{"BelowPlaceholders", 50, true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(VersionTest, AnswerBelow100IsReplacedByTheNextAnswer) {
    sim::AddCard(Ox9162());
    sim::SetDriverVersion(50);
    EXPECT_EQ(OxDriverVersion(), 50u);
    sim::SetDriverVersion(120);
    EXPECT_EQ(OxDriverVersion(), 120u);
    sim::SetDriverVersion(50);
    EXPECT_EQ(OxDriverVersion(), 120u);
    EXPECT_EQ(posix_test::Messages().size(), 1u);
}

TEST_F(VersionTest, NoCardGivesFinalPlaceholder100) {
    EXPECT_EQ(OxDriverVersion(), 100u);
    sim::AddCard(Ox9162());
    sim::SetDriverVersion(120);
    std::uint32_t v = 0;
    EXPECT_EQ(EP4GXA_DriverVersion(&v), QUELT_OLD_DRIVER);
    EXPECT_EQ(v, 100u);
    EXPECT_EQ(posix_test::Messages().size(), 1u);
    EXPECT_EQ(VersionRequests(), 0);
}

// A failed request gives what it reported as its byte count: the placeholder
// 99 when it wrote none, 0 where the platform zeroes the count on failure.
TEST_F(VersionTest, FailedRequestGivesNoFinalVersionAndAsksAgain) {
    sim::AddCard(Ox9162());
    sim::SetDriverVersion(111);
    sim::ArmFault(sim::Fault::DriverVersionFails);
    const std::uint32_t first = OxDriverVersion();
    EXPECT_TRUE(first == 99u || first == 0u) << first;
    EXPECT_EQ(OxDriverVersion(), 111u);
    EXPECT_EQ(posix_test::Messages().size(), 1u);
}

TEST_F(VersionTest, GateShowsItsOwnTextAndDirectCallThenStaysSilent) {
    sim::AddCard(Ox9162());
    sim::SetDriverVersion(108);
    EXPECT_EQ(OX952_Open(0, 0), QUELT_OLD_DRIVER);
    EXPECT_EQ(OxDriverVersion(), 108u);
    const auto messages = posix_test::Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "quelt_ox9162.dll");
    EXPECT_EQ(messages[0].caption, kCaption);
    EXPECT_EQ(sim::AttachedHandles(1), 0);
}

TEST_F(VersionTest, DriverVersionChecksItsPointerFirst) {
    sim::AddCard(Ox9162());
    EXPECT_EQ(OX952_DriverVersion(nullptr), QUELT_NULL_POINTER);
    EXPECT_EQ(OX9162_DriverVersion(nullptr), QUELT_NULL_POINTER);
    EXPECT_EQ(EP4GXA_DriverVersion(nullptr), QUELT_NULL_POINTER);
    EXPECT_EQ(VersionRequests(), 0);
    EXPECT_EQ(OX952_InterfaceVersion(), 318u);
    EXPECT_EQ(OX9162_InterfaceVersion(), 318u);
    EXPECT_EQ(EP4GXA_InterfaceVersion(), 318u);
}

// A direct call that comes while an Open is inside the gate is silent, whether
// it asks the driver itself or answers from what the gate put in the cache:
// the user sees the gate's text. Ordered by holding the DriverLock.
TEST_F(VersionTest, DirectCallDuringTheGateLeavesTheMessageToTheGate) {
    sim::AddCard(Ox9162());
    for (const std::uint32_t version : {108u, 50u}) {
        SCOPED_TRACE(version);
        RegistryLoad();  // a fresh cache and message flag
        posix_test::ClearMessages();
        sim::SetDriverVersion(version);
        EnterCriticalSection(DriverLock());
        auto gate = std::async(std::launch::async, [] { return OX9162_Open(0, 0); });
        for (int i = 0; i < 20000 && DriverVersionGatesInFlight() == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(DriverVersionGatesInFlight(), 1);
        auto direct = std::async(std::launch::async, [] { return OxDriverVersion(); });
        LeaveCriticalSection(DriverLock());
        EXPECT_EQ(gate.get(), QUELT_OLD_DRIVER);
        EXPECT_EQ(direct.get(), version);
        const auto messages = posix_test::Messages();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].text, "quelt_ox9162.dll");
        // From the cache (108) or asked afresh (50), a later direct call is silent.
        EXPECT_EQ(OxDriverVersion(), version);
        EXPECT_EQ(posix_test::Messages().size(), 1u);
    }
}

// Run under ThreadSanitizer: however threads race, one message at most.
TEST_F(VersionTest, RacingCallersShowTheMessageOnce) {
    sim::AddCard(Ox9162());
    sim::SetDriverVersion(40);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 20; ++i) {
                if (t % 2 == 0) {
                    OxDriverVersion();
                } else {
                    CheckDriverVersion();
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(posix_test::Messages().size(), 1u);
}

}  // namespace
