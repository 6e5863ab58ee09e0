// The SetupAPI device listing as the simulated driver serves it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/temp_machine.h"
#include "win32_helpers.h"

using namespace sim_test;

namespace {

constexpr DWORD kListFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;

sim::CardConfig Card(const std::string& description) {
    sim::CardConfig c = sim::DefaultCard(sim::CardFamily::OX9162);
    c.description = description;
    return c;
}

// Points the default root into a temporary machine's directory for one test.
struct DefaultRootInside {
    explicit DefaultRootInside(const quelt_test::TempMachine& machine) : root(machine.root() + "/default") {
        sim::SetDefaultRootForTesting(root);
        sim::UseRoot("");
    }
    ~DefaultRootInside() { sim::SetDefaultRootForTesting(""); }
    std::string root;
};

// Sets (or with null removes) a variable of this process's environment, where
// the simulator reads it on either system.
void SetEnvironment(const char* name, const char* value) {
#if defined(_WIN32)
    SetEnvironmentVariableA(name, value);
#else
    if (value) {
        ::setenv(name, value, 1);
    } else {
        ::unsetenv(name);
    }
#endif
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

TEST(Listing, DefaultMachineIsCreatedByTheFirstListingOfTheDefaultRoot) {
    quelt_test::TempMachine machine;  // gives an existing, empty machine
    DefaultRootInside fresh(machine);
    EXPECT_TRUE(sim::DefaultRootInUse());
    EXPECT_FALSE(sim::MachineExists());
    std::vector<std::string> names = ListDescriptions();
    ASSERT_EQ(names.size(), 4u);
    EXPECT_TRUE(sim::MachineExists());
    EXPECT_EQ(sim::GetCard(1).deviceId, 0x0300u);
    EXPECT_EQ(sim::GetCard(2).deviceId, 0x0301u);
    EXPECT_EQ(sim::GetCard(2).regions.size(), 2u);
    EXPECT_EQ(sim::GetCard(2).eepromRegion, 1);
    EXPECT_EQ(sim::GetCard(3).deviceId, 0x0100u);
    EXPECT_EQ(sim::GetCard(3).eepromRegion, 0);
    sim::CardConfig ep = sim::GetCard(4);
    EXPECT_EQ(ep.deviceId, 0x0810u);
    EXPECT_EQ(ep.regions.at(0).size, 65536u);
    ASSERT_TRUE(ep.cardId && ep.serial);
    std::uint32_t id, serial;
    std::memcpy(&id, sim::RegionMemory(4, 0) + 16368, 4);
    std::memcpy(&serial, sim::RegionMemory(4, 0) + 16372, 4);
    EXPECT_EQ(id, *ep.cardId);
    EXPECT_EQ(serial, *ep.serial);
    for (int d = 1; d <= 4; ++d) {
        EXPECT_EQ(sim::GetCard(d).vendorId, 0x1760u);
        EXPECT_NE(sim::GetCard(d).irqLine, 0);
    }
    EXPECT_EQ(sim::GetCard(1).bus, sim::GetCard(2).bus);
    EXPECT_EQ(sim::GetCard(1).slot, sim::GetCard(2).slot);
    EXPECT_NE(sim::GetCard(3).bus * 256 + sim::GetCard(3).slot,
              sim::GetCard(4).bus * 256 + sim::GetCard(4).slot);
    sim::UseRoot(machine.root());
}

TEST(Listing, EmptyMachineStaysEmpty) {
    quelt_test::TempMachine machine;
    EXPECT_TRUE(ListDescriptions().empty());
    EXPECT_EQ(sim::CardCount(), 0);
}

TEST(Listing, OnlyTheCardInterfaceClassListsCards) {
    quelt_test::TempMachine machine(true);
    const GUID other = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    struct Case {
        const GUID* guid;
        DWORD flags;
        bool cards;
    } cases[] = {
        {&CARD_INTERFACE_GUID, kListFlags, true},
        {&CARD_INTERFACE_GUID, DIGCF_DEVICEINTERFACE, true},
        {&CARD_INTERFACE_GUID, DIGCF_PRESENT, false},  // a setup class, not the interface class
        {&other, kListFlags, false},
    };
    for (const auto& c : cases) {
        HDEVINFO set = SetupDiGetClassDevsA(c.guid, nullptr, nullptr, c.flags);
        ASSERT_NE(set, INVALID_HANDLE_VALUE);
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        EXPECT_EQ(SetupDiEnumDeviceInfo(set, 0, &data) != FALSE, c.cards);
        if (!c.cards) {
            EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
        }
        EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    }
    EXPECT_EQ(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, kListFlags), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(sim::OpenDeviceLists(), 0);
}

TEST(Listing, RecordSizesAndSizeQueriesAsOnWindows) {
    quelt_test::TempMachine machine;
    sim::AddCard(Card("Exactly this description"));
    HDEVINFO set = SetupDiGetClassDevsA(&CARD_INTERFACE_GUID, nullptr, nullptr, kListFlags);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    EXPECT_EQ(sim::OpenDeviceLists(), 1);

    SP_DEVINFO_DATA data{};
    data.cbSize = 28;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &data));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 1, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));

    DWORD size = 0;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_DEVICEDESC, nullptr, nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(size, std::strlen("Exactly this description") + 1);
    std::vector<BYTE> small(size - 1, 0xAA);
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_DEVICEDESC, nullptr, small.data(),
                                                   static_cast<DWORD>(small.size()), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(small[0], 0xAA);  // nothing written
    std::vector<BYTE> buf(size);
    DWORD type = 0;
    ASSERT_TRUE(
        SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_DEVICEDESC, &type, buf.data(), size, nullptr));
    EXPECT_STREQ(reinterpret_cast<char*>(buf.data()), "Exactly this description");
    EXPECT_EQ(type, 1u);  // REG_SZ

    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = 24;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, &data, &CARD_INTERFACE_GUID, 0, &iface));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
    iface.cbSize = sizeof iface;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, &data, &CARD_INTERFACE_GUID, 0, &iface));
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, &data, &CARD_INTERFACE_GUID, 1, &iface));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);

    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &iface, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    // The library's own size query: an 8-byte record with cbSize 8.
    SP_DEVICE_INTERFACE_DETAIL_DATA_A probe{};
    probe.cbSize = 8;
    DWORD required8 = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &iface, &probe, 8, &required8, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(required8, required);
    std::vector<std::uint8_t> detailBuf(required);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detailBuf.data());
    detail->cbSize = static_cast<DWORD>(required);  // a common mistake: the whole size
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, required, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
    detail->cbSize = 8;
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, required, nullptr, nullptr));
    EXPECT_EQ(required, 4 + std::strlen(detail->DevicePath) + 1);
    EXPECT_EQ(std::string(detail->DevicePath).rfind("\\\\?\\", 0), 0u);

    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(sim::OpenDeviceLists(), 0);
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &data));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Listing, IsASnapshot) {
    quelt_test::TempMachine machine;
    sim::AddCard(Card("A"));
    HDEVINFO set = SetupDiGetClassDevsA(&CARD_INTERFACE_GUID, nullptr, nullptr, kListFlags);
    sim::AddCard(Card("B"));
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 1, &data));
    SetupDiDestroyDeviceInfoList(set);
    EXPECT_EQ(ListDescriptions(), (std::vector<std::string>{"A", "B"}));
}

TEST(Listing, RemovedCardsMoveTheNextUpAndTheirPathsNoLongerOpen) {
    quelt_test::TempMachine machine;
    sim::AddCard(Card("A"));
    sim::AddCard(Card("B"));
    sim::AddCard(Card("C"));
    std::string pathA = DevicePathOf(1);
    sim::RemoveCard(1);
    EXPECT_EQ(ListDescriptions(), (std::vector<std::string>{"B", "C"}));
    HANDLE h =
        CreateFileA(pathA.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_THROW(sim::RemoveCard(3), sim::Error);
}

struct FaultCase {
    const char* name;
    sim::Fault fault;
    std::vector<std::string> expected;  // descriptions a walk over the list sees
    bool opens;                         // CreateFileA on device 2 still works
};

// Each SetupAPI step armed once on device 2 of A, B, C.
TEST(Listing, EachFaultFailsItsStepOnly) {
    const FaultCase cases[] = {
        {"class devs", sim::Fault::ClassDevsFails, {}, false},
        {"enum step", sim::Fault::EnumStepFails, {"A", "C"}, true},
        {"description", sim::Fault::DescriptionUnreadable, {"A", "C"}, true},
        {"interface", sim::Fault::NoInterface, {"A", "B", "C"}, false},
        {"device path", sim::Fault::NoDevicePath, {"A", "B", "C"}, false},
        {"create file", sim::Fault::CreateFileFails, {"A", "B", "C"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        quelt_test::TempMachine machine;
        for (const char* n : {"A", "B", "C"}) sim::AddCard(Card(n));
        sim::ArmFault(c.fault, c.fault == sim::Fault::ClassDevsFails ? 0 : 2, 1);
        if (c.fault == sim::Fault::NoInterface || c.fault == sim::Fault::NoDevicePath ||
            c.fault == sim::Fault::CreateFileFails) {
            EXPECT_EQ(ListDescriptions(), c.expected);
            HANDLE h = OpenCard(2);
            EXPECT_EQ(h, INVALID_HANDLE_VALUE);
            // Used up: the next try succeeds.
            h = OpenCard(2);
            EXPECT_NE(h, INVALID_HANDLE_VALUE);
            CloseHandle(h);
        } else {
            EXPECT_EQ(ListDescriptions(), c.expected);
            EXPECT_EQ(ListDescriptions(), (std::vector<std::string>{"A", "B", "C"}));
        }
        EXPECT_EQ(sim::OpenDeviceLists(), 0);
    }
}

TEST(Listing, FaultsCarryTheirErrorCodeAndCount) {
    quelt_test::TempMachine machine;
    sim::AddCard(Card("A"));
    sim::ArmFault(sim::Fault::EnumStepFails, 1, 2, ERROR_NOT_ENOUGH_MEMORY);
    sim::ArmFault(sim::Fault::ClassDevsFails, 0, 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(SetupDiGetClassDevsA(&CARD_INTERFACE_GUID, nullptr, nullptr, kListFlags), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    HDEVINFO set = SetupDiGetClassDevsA(&CARD_INTERFACE_GUID, nullptr, nullptr, kListFlags);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &data));
        EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    }
    EXPECT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    SetupDiDestroyDeviceInfoList(set);
    // A fault armed for another device leaves this one alone.
    sim::ArmFault(sim::Fault::AttachFails, 5);
    HANDLE h = OpenCard(1);
    AttachRecord rec;
    EXPECT_TRUE(Attach(h, &rec).ok);
    CloseHandle(h);
    sim::ClearFaults();
    EXPECT_THROW(sim::ArmFault(sim::Fault::AttachFails, 1, 0), sim::Error);
}

TEST(InstallParams, KeptPerDeviceWithArmableFailures) {
    quelt_test::TempMachine machine;
    sim::AddCard(Card("A"));
    sim::AddCard(Card("B"));
    HDEVINFO set = SetupDiGetClassDevsA(&CARD_INTERFACE_GUID, nullptr, nullptr, kListFlags);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 1, &data));
    sim::SetInstallParamsFlags(2, DI_NEEDREBOOT | DI_NEEDRESTART | 0x4);

    SP_DEVINSTALL_PARAMS_A params{};
    params.cbSize = 300;
    EXPECT_FALSE(SetupDiGetDeviceInstallParamsA(set, &data, &params));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
    params.cbSize = sizeof params;
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(set, &data, &params));
    EXPECT_EQ(params.Flags, DI_NEEDREBOOT | DI_NEEDRESTART | 0x4);
    params.Flags = 0x4;
    ASSERT_TRUE(SetupDiSetDeviceInstallParamsA(set, &data, &params));
    EXPECT_EQ(sim::InstallParamsFlags(2), 0x4u);
    EXPECT_EQ(sim::InstallParamsFlags(1), 0u);

    sim::ArmFault(sim::Fault::InstallParamsFail, 2, 1, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(SetupDiGetDeviceInstallParamsA(set, &data, &params));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    EXPECT_TRUE(SetupDiInstallDevice(set, &data));
    sim::ArmFault(sim::Fault::InstallDeviceFails, 2, 1, ERROR_NO_SUCH_DEVINST);
    EXPECT_FALSE(SetupDiInstallDevice(set, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_DEVINST);
    EXPECT_EQ(sim::InstallDeviceCalls(2), 2);
    EXPECT_EQ(sim::InstallDeviceCalls(1), 0);
    SetupDiDestroyDeviceInfoList(set);
}

// A root named explicitly (by the control API or QUELT_SIM_ROOT) that holds
// no machine is an error naming it; nothing is made there by using it.
TEST(Listing, AnExplicitRootWithoutAMachineIsAnErrorAndIsNeverMade) {
    quelt_test::TempMachine machine;
    const std::string missing = machine.root() + "/missing";
    struct Case {
        const char* how;
        bool byEnvironment;
    };
    for (const Case c : {Case{"UseRoot", false}, Case{"QUELT_SIM_ROOT", true}}) {
        SCOPED_TRACE(c.how);
        if (c.byEnvironment) {
            sim::UseRoot("");
            SetEnvironment("QUELT_SIM_ROOT", missing.c_str());
        } else {
            sim::UseRoot(missing);
        }
        EXPECT_FALSE(sim::DefaultRootInUse());
        HDEVINFO set = SetupDiGetClassDevsA(&CARD_INTERFACE_GUID, nullptr, nullptr, 0x12);
        EXPECT_EQ(set, INVALID_HANDLE_VALUE);
        try {
            sim::UseMachine();
            ADD_FAILURE() << "no error";
        } catch (const sim::Error& e) {
            EXPECT_NE(std::string(e.what()).find(missing), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find("quelt-sim init"), std::string::npos) << e.what();
        }
        EXPECT_THROW(sim::CardCount(), sim::Error);
        EXPECT_THROW(sim::AddCard(sim::DefaultCard(sim::CardFamily::OX9162)), sim::Error);
        EXPECT_FALSE(Exists(missing));
        SetEnvironment("QUELT_SIM_ROOT", nullptr);
    }
    // Made on purpose, it is there.
    sim::UseRoot(missing);
    sim::InitMachine(false, false);
    EXPECT_EQ(ListDescriptions().size(), 4u);
    sim::UseRoot(machine.root());
}

// A default machine deleted while it may be in use is not made again behind
// the users' backs: using it is an error until a machine is made on purpose.
TEST(Listing, ADeletedDefaultMachineIsNotSilentlyReplaced) {
    quelt_test::TempMachine machine;
    DefaultRootInside fresh(machine);
    ASSERT_EQ(ListDescriptions().size(), 4u);
    sim::DeleteMachine(fresh.root);
    EXPECT_EQ(SetupDiGetClassDevsA(&CARD_INTERFACE_GUID, nullptr, nullptr, 0x12), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Exists(fresh.root));
    try {
        sim::UseMachine();
        ADD_FAILURE() << "no error";
    } catch (const sim::Error& e) {
        EXPECT_NE(std::string(e.what()).find("deleted"), std::string::npos) << e.what();
    }
    sim::InitMachine(false, false);
    EXPECT_EQ(ListDescriptions().size(), 4u);
}

}  // namespace
