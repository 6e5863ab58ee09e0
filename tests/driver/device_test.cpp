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

TEST_F(DeviceTest, UnreadableDescriptionIsSkippedAndNotCounted) {
    const int first = AddCard("first");
    AddCard("second");
    sim::ArmFault(sim::Fault::DescriptionUnreadable, first, 100);
    OxHandle h(OxOpenDevice("", 1, 0));
    ASSERT_NE(h.get(), nullptr);
    EXPECT_STREQ(OxGetBoardName(h.get()), "second");
    EXPECT_EQ(OxOpenDevice("", 2, 0), nullptr);
}

TEST_F(DeviceTest, FailedListingStepIsSkipped) {
    const int first = AddCard("first");
    AddCard("second");
    sim::ArmFault(sim::Fault::EnumStepFails, first, 1, ERROR_GEN_FAILURE);
    OxHandle h(OxOpenDevice("", 1, 0));
    ASSERT_NE(h.get(), nullptr);
    EXPECT_STREQ(OxGetBoardName(h.get()), "second");
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
