// Device handles of the POSIX layer over the simulated card driver: opening a
// device path, requests, closing, and a close that races a request in flight
// on another thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/contract.h"
#include "platform/posix/test_hooks.h"
#include "platform/win32.h"
#include "support/temp_machine.h"

namespace {

template <typename Pred>
bool Eventually(Pred pred) {
    for (int i = 0; i < 10000; ++i) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pred();
}

class DevicesTest : public ::testing::Test {
protected:
    void SetUp() override {
        machine_ = std::make_unique<quelt_test::TempMachine>(true);
        handles_ = posix_test::OpenHandleCount();
        path_ = FirstDevicePath();
        ASSERT_FALSE(path_.empty());
    }
    void TearDown() override {
        EXPECT_EQ(posix_test::OpenHandleCount(), handles_);
        machine_.reset();
    }
    static std::string FirstDevicePath() {
        HDEVINFO set = SetupDiGetClassDevsA(&CARD_INTERFACE_GUID, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set == INVALID_HANDLE_VALUE) return "";
        SP_DEVICE_INTERFACE_DATA iface{};
        iface.cbSize = sizeof iface;
        std::string path;
        if (SetupDiEnumDeviceInterfaces(set, nullptr, &CARD_INTERFACE_GUID, 0, &iface)) {
            DWORD needed = 0;
            SetupDiGetDeviceInterfaceDetailA(set, &iface, nullptr, 0, &needed, nullptr);
            std::vector<char> buffer(needed + 8);
            auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
            if (SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, needed, nullptr, nullptr))
                path = detail->DevicePath;
        }
        SetupDiDestroyDeviceInfoList(set);
        return path;
    }
    HANDLE OpenDevice() const {
        return CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    }

    std::unique_ptr<quelt_test::TempMachine> machine_;
    std::size_t handles_ = 0;
    std::string path_;
};

TEST_F(DevicesTest, ADeviceHandleServesRequestsUntilClosed) {
    HANDLE device = OpenDevice();
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(posix_test::OpenHandleCount(), handles_ + 1);

    // The version request answers with its byte count.
    DWORD bytes = 0;
    EXPECT_TRUE(DeviceIoControl(device, IOCTL_CARD_DRIVER_VERSION, nullptr, 0, nullptr, 0, &bytes, nullptr));
    EXPECT_EQ(bytes, sim::DriverVersion());

    // What the layer itself refuses, before the driver sees it.
    struct {
        const char* what;
        void* in;
        DWORD inSize;
        void* out;
        DWORD outSize;
        bool overlapped;
        DWORD error;
    } cases[] = {
        {"null input with a size", nullptr, 8, nullptr, 0, false, ERROR_NOACCESS},
        {"null output with a size", nullptr, 0, nullptr, 8, false, ERROR_NOACCESS},
        {"overlapped", nullptr, 0, nullptr, 0, true, ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        char overlapped[32] = {};
        SetLastError(0);
        EXPECT_FALSE(DeviceIoControl(device, IOCTL_CARD_DRIVER_VERSION, c.in, c.inSize, c.out, c.outSize,
                                     &bytes,
                                     c.overlapped ? reinterpret_cast<LPOVERLAPPED>(overlapped) : nullptr));
        EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_FALSE(
        DeviceIoControl(device, IOCTL_CARD_DRIVER_VERSION, nullptr, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    EXPECT_TRUE(CloseHandle(device));
    EXPECT_FALSE(DeviceIoControl(device, IOCTL_CARD_DRIVER_VERSION, nullptr, 0, nullptr, 0, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(device));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(DevicesTest, FailedDeviceOpensReportTheDriversError) {
    sim::ArmFault(sim::Fault::CreateFileFails, 0, 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenDevice(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    // Devices are opened, never created.
    for (DWORD disposition : {CREATE_NEW, CREATE_ALWAYS, OPEN_ALWAYS, TRUNCATE_EXISTING}) {
        SCOPED_TRACE(disposition);
        EXPECT_EQ(CreateFileA(path_.c_str(), GENERIC_READ, 0, nullptr, disposition, 0, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    // A device path of a card the machine does not have.
    const std::string missing = path_.substr(0, path_.find("#card-")) + "#card-999" +
                                path_.substr(path_.find('#', path_.find("#card-") + 1));
    SetLastError(0);
    EXPECT_EQ(CreateFileA(missing.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_NE(GetLastError(), ERROR_SUCCESS);
}

// Closing a handle while another thread's request is still in the driver
// returns at once; the request finishes normally and the device is detached
// once it has. (Bounded only by the test's time-out: a close that waited for
// the hour-long request would never reach the interrupt that ends it.)
TEST_F(DevicesTest, CloseDuringARequestOnAnotherThreadDetachesWhenTheRequestEnds) {
    HANDLE device = OpenDevice();
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    AttachRecord record;
    std::memset(&record, 0, sizeof record);
    record.recordSize = ATTACH_RECORD_SIZE;
    DWORD bytes = 0;
    ASSERT_TRUE(DeviceIoControl(device, IOCTL_CARD_ATTACH, &record, sizeof record, &record, sizeof record,
                                &bytes, nullptr));
    ASSERT_EQ(sim::AttachedHandles(1), 1);

    std::atomic<int> waitResult{-1};
    std::thread waiter([&] {
        std::int64_t oneHour = -36000000000LL;  // 100 ns units, relative
        DWORD waitBytes = 0;
        waitResult = DeviceIoControl(device, IOCTL_CARD_WAIT_IRQ, &oneHour, sizeof oneHour, nullptr, 0,
                                     &waitBytes, nullptr);
    });
    ASSERT_TRUE(Eventually([] { return sim::PendingWaits(1) == 1; }));

    EXPECT_TRUE(CloseHandle(device));
    EXPECT_FALSE(CloseHandle(device));
    EXPECT_EQ(waitResult.load(), -1) << "the wait ended before any interrupt";
    sim::RaiseIrq(1);
    waiter.join();
    EXPECT_EQ(waitResult.load(), TRUE);
    EXPECT_TRUE(Eventually([] { return sim::AttachedHandles(1) == 0; }));
}

}  // namespace
