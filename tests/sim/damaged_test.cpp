// Damaged card files: cut short or overwritten while the machine is idle, or
// between a handle's open and its attach. The listing leaves such a card
// out, every call about it fails with an error naming its file, and no
// process dies of SIGBUS. A card cut short can be repaired; one whose header
// is damaged can be removed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "quelt_ox952.h"
#include "registry/card_table.h"
#include "sim/store.h"
#include "support/child_process.h"
#include "support/temp_machine.h"
#include "win32_helpers.h"

using quelt_test::Child;
using namespace sim_test;
namespace store = sim::store;

namespace {

constexpr int kDevice = 3;  // the OX9162 card of the default machine

void Truncate(const std::string& file, off_t size) {
    ASSERT_EQ(::truncate(file.c_str(), size), 0);
}

template <typename T>
void Poke(const std::string& file, std::size_t offset, T value) {
    int fd = ::open(file.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, &value, sizeof value, static_cast<off_t>(offset)),
              static_cast<ssize_t>(sizeof value));
    ::close(fd);
}

off_t SizeOf(const std::string& file) {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 ? st.st_size : -1;
}

struct Damage {
    const char* name;
    std::function<void(const std::string&)> apply;
    const char* problem;  // a part of the reason given
    bool repairable;
};

const Damage kDamages[] = {
    {"cut to nothing", [](const std::string& f) { Truncate(f, 0); }, "shorter than its header", false},
    {"cut inside the header", [](const std::string& f) { Truncate(f, 100); }, "shorter than its header",
     false},
    {"regions cut off",
     [](const std::string& f) { Truncate(f, static_cast<off_t>(store::kFirstRegionOffset)); }, "past the end",
     true},
    {"last page cut off", [](const std::string& f) { Truncate(f, SizeOf(f) - 4096); }, "past the end", true},
    {"not a card file",
     [](const std::string& f) { Poke<std::uint32_t>(f, offsetof(store::CardFile, magic), 0); },
     "not a card file", false},
    {"another layout version",
     [](const std::string& f) { Poke<std::uint32_t>(f, offsetof(store::CardFile, layout), 99); },
     "layout version", false},
    {"region offset past the end",
     [](const std::string& f) {
         Poke<std::uint64_t>(f, offsetof(store::CardFile, regions) + offsetof(store::RegionSlot, offset),
                             std::uint64_t{1} << 32);
     },
     "past the end", false},
    {"region count out of range",
     [](const std::string& f) { Poke<std::int32_t>(f, offsetof(store::CardFile, regionCount), 1000); },
     "region count", false},
};

class DamagedCard : public ::testing::TestWithParam<Damage> {
protected:
    quelt_test::TempMachine machine{true};
    std::string file() { return sim::ListCards().at(kDevice - 1).file; }
};

// Runs body in a child and reports how it ended: a signal is a failure.
Child::Outcome InChild(std::function<int(Child&)> body) {
    Child child(std::move(body));
    return child.Wait();
}

TEST_P(DamagedCard, WhileIdleIsLeftOutAndNamedAndKillsNoOne) {
    const Damage& damage = GetParam();
    const std::string path = DevicePathOf(kDevice);
    const std::string damaged = file();
    damage.apply(damaged);

    // The listing leaves it out; the others keep their order.
    EXPECT_EQ(ListDescriptions(),
              (std::vector<std::string>{"OX952 PCI Card Function 0", "OX952 PCI Card Function 1",
                                        "EP4GXA PCIe Card"}));
    // The control API names the file and the fault.
    auto cards = sim::ListCards();
    ASSERT_EQ(cards.size(), 4u);
    EXPECT_NE(cards[kDevice - 1].problem.find(damage.problem), std::string::npos)
        << cards[kDevice - 1].problem;
    EXPECT_TRUE(cards[0].problem.empty());
    try {
        sim::GetCard(kDevice);
        ADD_FAILURE() << "no error";
    } catch (const sim::Error& e) {
        EXPECT_NE(std::string(e.what()).find(damaged), std::string::npos) << e.what();
    }

    // Opening its old path and the library's scan, each in a process of its
    // own: both end normally, whatever the file holds.
    auto open = InChild([path](Child& self) {
        HANDLE h =
            CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        self.Report(h == INVALID_HANDLE_VALUE ? "refused " + std::to_string(GetLastError()) + "\n"
                                              : "opened\n");
        return 0;
    });
    EXPECT_TRUE(open.exited) << open.report;
    EXPECT_EQ(open.report, "refused 1392\n");
    auto scan = InChild([](Child& self) {
        RegistryLoad();
        std::uint32_t id = 0;
        const std::uint32_t ox9162 = OX9162_Card_DID(0, &id);
        const std::uint32_t ep4gxa = EP4GXA_Card_DID(0, &id);
        self.Report("ox9162 " + std::to_string(ox9162) + " ep4gxa " + std::to_string(ep4gxa) + " " +
                    std::to_string(id) + "\n");
        return 0;
    });
    EXPECT_TRUE(scan.exited) << scan.report;
    EXPECT_EQ(scan.report, "ox9162 " + std::to_string(QUELT_NO_CARD) + " ep4gxa 0 2064\n");

    // Repaired when only cut short, else removed.
    if (damage.repairable) {
        sim::RepairCard(kDevice);
        EXPECT_EQ(ListDescriptions().size(), 4u);
        EXPECT_EQ(sim::GetCard(kDevice).deviceId, 0x0100u);
        HANDLE h = OpenCard(kDevice);
        AttachRecord rec;
        EXPECT_TRUE(Attach(h, &rec).ok);
        CloseHandle(h);
    } else {
        try {
            sim::RepairCard(kDevice);
            ADD_FAILURE() << "repaired";
        } catch (const sim::Error& e) {
            EXPECT_NE(std::string(e.what()).find("quelt-sim remove"), std::string::npos) << e.what();
        }
        sim::RemoveCard(kDevice);
        EXPECT_EQ(sim::CardCount(), 3);
        EXPECT_EQ(ListDescriptions().size(), 3u);
    }
}

TEST_P(DamagedCard, BetweenOpenAndAttachFailsTheAttach) {
    const Damage& damage = GetParam();
    const std::string damaged = file();
    auto outcome = InChild([&damage, damaged](Child& self) {
        HANDLE h = OpenCard(kDevice);
        if (h == INVALID_HANDLE_VALUE) return 1;
        damage.apply(damaged);
        AttachRecord rec;
        Reply r = Attach(h, &rec);
        self.Report("attach " + std::to_string(r.ok) + " " + std::to_string(r.error) + "\n");
        CloseHandle(h);
        return 0;
    });
    EXPECT_TRUE(outcome.exited) << outcome.report;
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(outcome.report, "attach 0 1392\n");
    EXPECT_EQ(sim::AttachedHandles(1), 0);
}

INSTANTIATE_TEST_SUITE_P(Damages, DamagedCard, ::testing::ValuesIn(kDamages),
                         [](const ::testing::TestParamInfo<Damage>& info) {
                             std::string name;
                             for (const char* c = info.param.name; *c; ++c)
                                 if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
                             return name;
                         });

// A damaged index fails the listing as a whole, with its reason in the
// control API's error; the tool can rebuild nothing from it by guessing.
TEST(DamagedMachine, ADamagedIndexFailsTheListingWithItsReason) {
    quelt_test::TempMachine machine(true);
    int fd = ::open((machine.root() + "/machine").c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "rubbish\n", 8), 8);
    ::close(fd);
    EXPECT_EQ(SetupDiGetClassDevsA(&CARD_INTERFACE_GUID, nullptr, nullptr, 0x12), INVALID_HANDLE_VALUE);
    try {
        sim::CardCount();
        ADD_FAILURE() << "no error";
    } catch (const sim::Error& e) {
        EXPECT_NE(std::string(e.what()).find("damaged"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find(machine.root()), std::string::npos) << e.what();
    }
}

}  // namespace
