// Connection admission, pruning and release: the rules on a status block in
// memory, the bound on the slot count, and the rules across real processes.
#include "driver/admission.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <memory>
#include <vector>

#include "driver_fixture.h"
#include "support/child_process.h"

namespace {

using namespace std::chrono_literals;

// A process id that names no running process: a child that has been reaped.
std::uint32_t EndedProcessId() {
    const pid_t pid = fork();
    if (pid == 0) _exit(0);
    int status = 0;
    waitpid(pid, &status, 0);
    return static_cast<std::uint32_t>(pid);
}

enum class Owner { None, Self, Running, Ended };

class AdmissionTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        block_ = std::make_unique<SharedStatusBlock>();  // exactly 1024 bytes on the heap
        handle_ = std::make_unique<DeviceHandle>();
        handle_->attach.resources.statusBlock = block_.get();
        // Another running process, alive for the whole test.
        runner_ = std::make_unique<quelt_test::Child>([](quelt_test::Child& c) {
            c.Hear(60s);
            return 0;
        });
        ended_ = EndedProcessId();
    }
    void TearDown() override {
        runner_->Tell("end");
        runner_->Wait();
        DriverTest::TearDown();
    }
    std::uint32_t Id(Owner o) const {
        switch (o) {
            case Owner::None:
                return 0;
            case Owner::Self:
                return static_cast<std::uint32_t>(getpid());
            case Owner::Running:
                return static_cast<std::uint32_t>(runner_->pid());
            case Owner::Ended:
                break;
        }
        return ended_;
    }
    std::unique_ptr<SharedStatusBlock> block_;
    std::unique_ptr<DeviceHandle> handle_;
    std::unique_ptr<quelt_test::Child> runner_;
    std::uint32_t ended_ = 0;
};

struct AdmitCase {
    const char* what;
    std::int32_t kind;
    std::int32_t attach, diag, slotCount;
    Owner slot0;
    std::int32_t result;
    std::int32_t diagAfter, slotCountAfter;
    Owner slot0After;
};

class AdmitRuleTest : public AdmissionTest, public ::testing::WithParamInterface<AdmitCase> {};

TEST_P(AdmitRuleTest, AppliesTheRuleAndRecordsTheConnection) {
    const AdmitCase& c = GetParam();
    block_->attachCount = c.attach;
    block_->diagCount = c.diag;
    block_->slotCount = c.slotCount;
    block_->slots[0] = Id(c.slot0);
    block_->slots[1] = 0xABCDu;  // beyond the slot count or not ours: never written
    EXPECT_EQ(AdmitConnection(handle_.get(), c.kind), c.result) << c.what;
    EXPECT_EQ(block_->attachCount, c.attach) << c.what;
    EXPECT_EQ(block_->diagCount, c.diagAfter) << c.what;
    EXPECT_EQ(block_->slotCount, c.slotCountAfter) << c.what;
    EXPECT_EQ(block_->slots[0], Id(c.slot0After)) << c.what;
    EXPECT_EQ(block_->slots[1], 0xABCDu) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, AdmitRuleTest,
    ::testing::Values(
        AdmitCase{"normal, sole handle, no slots yet", 0, 1, 0, 0, Owner::None, 0, 0, 1, Owner::Self},
        AdmitCase{"normal beside another multi", 0, 2, 0, 1, Owner::None, 1, 0, 1, Owner::None},
        AdmitCase{"normal beside another normal", 0, 2, 0, 1, Owner::Running, 1, 0, 1, Owner::Running},
        AdmitCase{"normal beside a diagnostic", 0, 2, 1, 1, Owner::None, 0, 1, 1, Owner::Self},
        AdmitCase{"normal, counts wrap", 0, INT_MIN, 1, 1, Owner::None, 1, 1, 1, Owner::None},
        AdmitCase{"normal, more diagnostics than handles", 0, 1, 5, 1, Owner::None, 0, 5, 1, Owner::Self},
        AdmitCase{"normal, ended owner pruned", 0, 1, 0, 1, Owner::Ended, 0, 0, 1, Owner::Self},
        AdmitCase{"multi, ended owner pruned", 1, 3, 0, 1, Owner::Ended, 0, 0, 1, Owner::None},
        AdmitCase{"multi, own id", 1, 3, 0, 1, Owner::Self, 0, 0, 1, Owner::Self},
        AdmitCase{"multi, running owner", 1, 3, 0, 1, Owner::Running, 1, 0, 1, Owner::Running},
        AdmitCase{"multi, no slots: fixed to one free slot", 1, 3, 0, -4, Owner::Running, 0, 0, 1,
                  Owner::None},
        AdmitCase{"diagnostic always", 2, 9, 3, 1, Owner::Running, 0, 4, 1, Owner::Running},
        AdmitCase{"kind 7: prune and slot fix only", 7, 9, 3, 0, Owner::Ended, 0, 3, 1, Owner::None},
        AdmitCase{"kind 7 with an ended owner", 7, 9, 3, 1, Owner::Ended, 0, 3, 1, Owner::None}));

TEST_F(AdmissionTest, NoBlockAdmitsEveryKindAndReleaseIgnoresIt) {
    DeviceHandle blockless{};
    for (std::int32_t kind : {0, 1, 2, 7, -1}) {
        EXPECT_EQ(AdmitConnection(nullptr, kind), 0);
        EXPECT_EQ(AdmitConnection(&blockless, kind), 0);
        ReleaseConnection(nullptr, kind);
    }
}

TEST_F(AdmissionTest, ReleaseLowersDiagnosticsNeverBelowZeroAndClearsOwnSlots) {
    const std::uint32_t self = Id(Owner::Self), other = Id(Owner::Running);
    const struct {
        std::int32_t kind, diag, diagAfter;
    } cases[] = {{2, 3, 2}, {2, 1, 0}, {2, 0, 0}, {2, -2, -2}, {0, 3, 3}, {1, 3, 3}};
    for (const auto& c : cases) {
        block_->diagCount = c.diag;
        block_->slotCount = 3;
        block_->slots[0] = self;
        block_->slots[1] = other;
        block_->slots[2] = self;
        block_->slots[3] = self;  // beyond the slot count
        ReleaseConnection(block_.get(), c.kind);
        EXPECT_EQ(block_->diagCount, c.diagAfter);
        EXPECT_EQ(block_->slots[0], 0u);
        EXPECT_EQ(block_->slots[1], other);
        EXPECT_EQ(block_->slots[2], 0u);
        EXPECT_EQ(block_->slots[3], self);
    }
}

// The slot count can be anything another process wrote; no loop leaves the
// 1024-byte block (AddressSanitizer watches the end of the allocation).
TEST_F(AdmissionTest, SlotLoopsStayInsideTheBlock) {
    for (std::int32_t n : {250, 251, 1000, INT_MAX}) {
        block_->slotCount = n;
        for (auto& s : block_->slots) s = ended_;
        PruneStaleProcesses(block_.get());
        for (auto s : block_->slots) ASSERT_EQ(s, 0u) << n;

        for (auto& s : block_->slots) s = Id(Owner::Self);
        ReleaseConnection(block_.get(), 0);
        for (auto s : block_->slots) ASSERT_EQ(s, 0u) << n;

        block_->attachCount = 1;
        block_->diagCount = 0;
        for (auto& s : block_->slots) s = ended_;
        EXPECT_EQ(AdmitConnection(handle_.get(), 0), 0);
        EXPECT_EQ(block_->slots[0], Id(Owner::Self));
        EXPECT_EQ(block_->slots[249], 0u);
    }
}

TEST_F(AdmissionTest, PruneKeepsRunningProcessesAndClearsNothingWithoutTheList) {
    block_->slotCount = 4;
    block_->slots[0] = Id(Owner::Running);
    block_->slots[1] = ended_;
    block_->slots[2] = Id(Owner::Self);
    block_->slots[3] = 1;  // init: always running
    posix_test::FailEnumProcesses(true);
    PruneStaleProcesses(block_.get());
    posix_test::FailEnumProcesses(false);
    EXPECT_EQ(block_->slots[1], ended_);

    PruneStaleProcesses(block_.get());
    EXPECT_EQ(block_->slots[0], Id(Owner::Running));
    EXPECT_EQ(block_->slots[1], 0u);
    EXPECT_EQ(block_->slots[2], Id(Owner::Self));
    EXPECT_EQ(block_->slots[3], 1u);
    PruneStaleProcesses(nullptr);
}

// More processes than a first listing of 1024 ids holds: an owner listed
// late still runs and keeps its slot.
TEST_F(AdmissionTest, PruneReadsTheWholeProcessList) {
    std::vector<pid_t> sleepers;
    auto spawnSleeper = [&sleepers]() {
        pid_t pid = 0;
        char sleep[] = "sleep", seconds[] = "120";
        char* argv[] = {sleep, seconds, nullptr};
        if (posix_spawnp(&pid, "sleep", nullptr, nullptr, argv, environ) != 0) return false;
        sleepers.push_back(pid);
        return true;
    };
    bool spawned = true;
    for (int i = 0; i < 1100 && spawned; ++i) spawned = spawnSleeper();
    spawned = spawned && spawnSleeper();  // the newest: listed after the others
    if (spawned) {
        block_->slotCount = 2;
        block_->slots[0] = static_cast<std::uint32_t>(sleepers.back());
        block_->slots[1] = ended_;
        PruneStaleProcesses(block_.get());
        EXPECT_EQ(block_->slots[0], static_cast<std::uint32_t>(sleepers.back()));
        EXPECT_EQ(block_->slots[1], 0u);
    }
    for (pid_t pid : sleepers) kill(pid, SIGKILL);
    for (pid_t pid : sleepers) waitpid(pid, nullptr, 0);
    if (!spawned) GTEST_SKIP() << "cannot start enough processes here";
}

// --- Across real processes, on a simulated card ---

class CrossProcessAdmissionTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        device_ = AddCard("shared card");
    }
    // A child that opens the card in `kind` and holds it until told to end
    // (or, with leave, ends at once without closing).
    std::unique_ptr<quelt_test::Child> Holder(std::int32_t kind, bool leave = false) {
        const int device = device_;
        auto child = std::make_unique<quelt_test::Child>([device, kind, leave](quelt_test::Child& c) {
            DeviceHandle* h = OxOpenDevice("", device, kind);
            c.Report(h ? "open\n" : "refused\n");
            if (h == nullptr) return 1;
            if (leave) _exit(0);
            c.Hear(60s);
            ReleaseConnection(StatusBlockOf(h), kind);
            OxCloseDevice(h);
            return 0;
        });
        EXPECT_EQ(child->AwaitLine("open").rfind("open", 0), 0u);
        return child;
    }
    void Release(quelt_test::Child& child) {
        child.Tell("end");
        EXPECT_EQ(child.Wait().code, 0);
    }
    int device_ = 0;
};

TEST_F(CrossProcessAdmissionTest, NormalIsRefusedBesideAnotherProcesssMulti) {
    auto holder = Holder(1);
    const std::uint32_t slot0 = StatusWord(device_, SLOT0);
    EXPECT_EQ(OxOpenDevice("", device_, 0), nullptr);
    EXPECT_EQ(StatusWord(device_, SLOT0), slot0);
    OxHandle diag(OxOpenDevice("", device_, 2));
    EXPECT_NE(diag.get(), nullptr);
    Release(*holder);
}

TEST_F(CrossProcessAdmissionTest, NormalIsAdmittedBesideAnotherProcesssDiagnostic) {
    auto holder = Holder(2);
    EXPECT_EQ(StatusWord(device_, DIAG_COUNT), 1u);
    OxHandle h(OxOpenDevice("", device_, 0));
    ASSERT_NE(h.get(), nullptr);
    EXPECT_EQ(StatusWord(device_, SLOT0), static_cast<std::uint32_t>(getpid()));
    Release(*holder);
    EXPECT_EQ(StatusWord(device_, DIAG_COUNT), 0u);
}

TEST_F(CrossProcessAdmissionTest, OwnerThatEndedWithoutClosingIsPruned) {
    auto holder = Holder(0, true);
    const auto outcome = holder->Wait();
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(StatusWord(device_, SLOT0), static_cast<std::uint32_t>(holder->pid()));
    OxHandle multi(OxOpenDevice("", device_, 1));
    ASSERT_NE(multi.get(), nullptr);
    EXPECT_EQ(StatusWord(device_, SLOT0), 0u);
}

}  // namespace
