// Device lookup and device handles: which device a name and index select,
// what the handle then holds, and that no failure leaves anything open.
#include <string>
#include <vector>

#include "driver_fixture.h"

namespace {

using DeviceTest = DriverTest;

struct SelectCase {
    const char* name;  // null: no name
    int index;
    const char* expected;  // description of the selected device, null: none
};

class DeviceSelectTest : public DriverTest, public ::testing::WithParamInterface<SelectCase> {};

TEST_P(DeviceSelectTest, SelectsTheNthMatchInListingOrder) {
    AddCard("Alpha board one");
    AddCard("Beta board");
    AddCard("Alpha board two");
    AddCard("alpha lower case");
    const SelectCase& c = GetParam();
    sim::ClearRequestLog();
    OxHandle h(OxOpenDevice(c.name, c.index, 0));
    if (c.expected == nullptr) {
        EXPECT_EQ(h.get(), nullptr);
        EXPECT_TRUE(sim::RequestLog().empty());
    } else {
        ASSERT_NE(h.get(), nullptr);
        EXPECT_STREQ(OxGetBoardName(h.get()), c.expected);
    }
    OxCloseDevice(h.release());
    ExpectNothingLeftOpen();
}

INSTANTIATE_TEST_SUITE_P(
    Names, DeviceSelectTest,
    ::testing::Values(SelectCase{nullptr, 1, "Alpha board one"}, SelectCase{"", 1, "Alpha board one"},
                      SelectCase{"", 3, "Alpha board two"}, SelectCase{"", 4, "alpha lower case"},
                      SelectCase{"", 5, nullptr}, SelectCase{"Alpha", 1, "Alpha board one"},
                      SelectCase{"Alpha", 2, "Alpha board two"}, SelectCase{"Alpha", 3, nullptr},
                      SelectCase{"board", 2, "Beta board"}, SelectCase{"two", 1, "Alpha board two"},
                      SelectCase{"ALPHA", 1, nullptr}, SelectCase{"Alpha", 0, nullptr},
                      SelectCase{"Alpha", -1, nullptr}, SelectCase{"", INT32_MIN, nullptr},
                      SelectCase{"Gamma", 1, nullptr}));

TEST_F(DeviceTest, LongNamesAreMatchedAndReportedByTheirFirst255Characters) {
    const std::string description = std::string(255, 'd') + "TAIL-PAST-255";
    AddCard(description);
    // Cut to 255 characters the name is a prefix of the description, though
    // as given it is not contained in it.
    const std::string name = std::string(255, 'd') + "NOT-THERE";
    OxHandle h(OxOpenDevice(name.c_str(), 1, 0));
    ASSERT_NE(h.get(), nullptr);
    EXPECT_EQ(std::string(OxGetBoardName(h.get())), description.substr(0, 255));
}

struct ListingFaultCase {
    const char* what;
    sim::Fault fault;  // armed once on the card at faultOn
    int faultOn;       // 0, 1, 2: "first card", "second card", "third card"
    const char* name;
    int index;
    int expected;  // card opened (0, 1, 2), -1: none
};

void PrintTo(const ListingFaultCase& c, std::ostream* os) {
    *os << c.what;
}

class ListingFaultTest : public DriverTest, public ::testing::WithParamInterface<ListingFaultCase> {};

// A listing step that fails, or a description that cannot be read, keeps its
// device number: without a name it is still a device (it cannot be opened if
// the step failed; an unreadable description is reported as empty); with a
// name the lookup ends there, since nobody can tell whether it matched. It
// never makes a number name the device after it.
TEST_P(ListingFaultTest, NeverOpensTheDeviceAfterTheAskedOne) {
    const ListingFaultCase& c = GetParam();
    const char* const descriptions[] = {"first card", "second card", "third card"};
    int devices[3];
    for (int i = 0; i < 3; ++i) devices[i] = AddCard(descriptions[i]);
    sim::ArmFault(c.fault, devices[c.faultOn], 1,
                  c.fault == sim::Fault::EnumStepFails ? ERROR_GEN_FAILURE : 0);
    OxHandle h(OxOpenDevice(c.name, c.index, 0));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(sim::AttachedHandles(devices[i]), i == c.expected ? 1 : 0) << c.what << ", card " << i;
    if (c.expected < 0) {
        EXPECT_EQ(h.get(), nullptr) << c.what;
    } else {
        ASSERT_NE(h.get(), nullptr) << c.what;
        const bool unread = c.fault == sim::Fault::DescriptionUnreadable && c.faultOn == c.expected;
        EXPECT_STREQ(OxGetBoardName(h.get()), unread ? "" : descriptions[c.expected]) << c.what;
    }
    OxCloseDevice(h.release());
    ExpectNothingLeftOpen();
}

constexpr sim::Fault kStep = sim::Fault::EnumStepFails;
constexpr sim::Fault kDesc = sim::Fault::DescriptionUnreadable;
INSTANTIATE_TEST_SUITE_P(
    Faults, ListingFaultTest,
    ::testing::Values(ListingFaultCase{"step of the asked device", kStep, 0, "", 1, -1},
                      ListingFaultCase{"step before, no name", kStep, 0, "", 2, 1},
                      ListingFaultCase{"step before, null name", kStep, 1, nullptr, 3, 2},
                      ListingFaultCase{"step after", kStep, 1, "", 1, 0},
                      ListingFaultCase{"step before a named match", kStep, 0, "second", 1, -1},
                      ListingFaultCase{"step after a named match", kStep, 2, "second", 1, 1},
                      ListingFaultCase{"step between named matches", kStep, 1, "card", 2, -1},
                      ListingFaultCase{"step past the first named match", kStep, 1, "card", 1, 0},
                      ListingFaultCase{"description of the asked device", kDesc, 0, "", 1, 0},
                      ListingFaultCase{"description before, no name", kDesc, 0, "", 2, 1},
                      ListingFaultCase{"description before, null name", kDesc, 1, nullptr, 3, 2},
                      ListingFaultCase{"description of the named device", kDesc, 0, "first", 1, -1},
                      ListingFaultCase{"description before a named match", kDesc, 1, "third", 1, -1},
                      ListingFaultCase{"description after a named match", kDesc, 1, "first", 1, 0}));

TEST_F(DeviceTest, DeviceWithAnUnreadableDescriptionIsLeftOutOfTheCardTable) {
    // The scan keeps entry i for device i + 1: the unreadable device leaves
    // its entry empty, and the next device still fills its own.
    const int first = AddCard("first");
    AddCard("second");
    sim::ArmFault(sim::Fault::DescriptionUnreadable, first, 1);
    ScanCards();
    EXPECT_FALSE(IsPresent(CardTable()[0]));
    EXPECT_STREQ(CardTable()[1].boardName, "second");
}

TEST_F(DeviceTest, EndsWhenEveryListingStepFails) {
    AddCard("only");
    sim::ArmFault(sim::Fault::EnumStepFails, 0, 1 << 30, ERROR_GEN_FAILURE);
    char name[256] = "";
    EXPECT_EQ(FindDeviceInterface(name, 1, 255), INVALID_HANDLE_VALUE);
    ExpectNothingLeftOpen();
}

TEST_F(DeviceTest, EndsWhenTheDeviceListCannotBeHad) {
    AddCard("only");
    sim::ArmFault(sim::Fault::ClassDevsFails, 0, 10);
    sim::ClearRequestLog();
    EXPECT_EQ(OxOpenDevice("", 1, 0), nullptr);
    EXPECT_TRUE(sim::RequestLog().empty());
    ExpectNothingLeftOpen();
}

struct OpenFailure {
    const char* what;
    sim::Fault fault;
    bool attachSent;  // the device was opened, so attach and detach are seen
};

class OpenFailureTest : public DriverTest, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(OpenFailureTest, LeavesNothingOpen) {
    const int device = AddCard("card");
    sim::ArmFault(GetParam().fault, device, 1);
    sim::ClearRequestLog();
    EXPECT_EQ(OxOpenDevice("", 1, 0), nullptr) << GetParam().what;
    if (GetParam().attachSent) {
        EXPECT_EQ(Codes(), (std::vector<std::uint32_t>{IOCTL_CARD_ATTACH, IOCTL_CARD_DETACH}));
    } else {
        EXPECT_TRUE(sim::RequestLog().empty());
    }
    EXPECT_EQ(sim::AttachedHandles(device), 0);
    ExpectNothingLeftOpen();
    // The fault was one-shot: the next open works.
    OxHandle h(OxOpenDevice("", 1, 0));
    EXPECT_NE(h.get(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Faults, OpenFailureTest,
                         ::testing::Values(OpenFailure{"no interface", sim::Fault::NoInterface, false},
                                           OpenFailure{"no path", sim::Fault::NoDevicePath, false},
                                           OpenFailure{"create fails", sim::Fault::CreateFileFails, false},
                                           OpenFailure{"attach fails", sim::Fault::AttachFails, true}));

TEST_F(DeviceTest, RefusedAdmissionDetachesBeforeReturningNull) {
    const int device = AddCard("card");
    OxHandle multi(OxOpenDevice("", 1, 1));
    ASSERT_NE(multi.get(), nullptr);
    sim::ClearRequestLog();
    EXPECT_EQ(OxOpenDevice("", 1, 0), nullptr);
    EXPECT_EQ(Codes(), (std::vector<std::uint32_t>{IOCTL_CARD_ATTACH, IOCTL_CARD_DETACH}));
    EXPECT_EQ(sim::AttachedHandles(device), 1);
}

TEST_F(DeviceTest, CloseDetachesAndReleasesEverything) {
    const int device = AddCard("card");
    DeviceHandle* h = OxOpenDevice("", 1, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(sim::AttachedHandles(device), 1);
    sim::ClearRequestLog();
    OxCloseDevice(h);
    EXPECT_EQ(Codes(), std::vector<std::uint32_t>{IOCTL_CARD_DETACH});
    EXPECT_EQ(sim::AttachedHandles(device), 0);
    ExpectNothingLeftOpen();
    // A handle already closed is not touched again.
    OxCloseDevice(h);
    EXPECT_TRUE(Codes() == std::vector<std::uint32_t>{IOCTL_CARD_DETACH});
}

}  // namespace
