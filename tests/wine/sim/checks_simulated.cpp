// The simulated DLL under Wine against a simulated machine: the same exports
// a Windows application calls, served by the simulated card driver on
// Windows primitives, across real Windows processes (child roles of this
// program).
//
// The machine is the default one (OX952 function 0 and 1, OX9162, EP4GXA at
// device numbers 1 to 4), made in a temporary root that QUELT_SIM_ROOT names
// for the library and every child.
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "harness.h"
#include "sim/control.h"
#include "sim/os.h"
#include "sim/store.h"

// The library's export, called through the loaded library.
#define Q(fn) QUELT_EXPORT(fn)

namespace {

constexpr int kOx9162Device = 3;
constexpr int kEp4gxaDevice = 4;

// The machine of this run, made on first use.
void UseMachine() {
    static const std::string root = [] {
        std::string made = sim::CreateTempMachine(true);
        SetEnvironmentVariableA("QUELT_SIM_ROOT", made.c_str());
        return made;
    }();
}

void Say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::string Number(std::uint32_t value) {
    return std::to_string(value);
}

// A named event the parent sets to let a child go on.
struct Signal {
    std::string name = "Local\\quelt-check-" + std::to_string(GetCurrentProcessId()) + "-" +
                       std::to_string(GetTickCount64());
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    ~Signal() { CloseHandle(event); }
    void Set() { SetEvent(event); }
};

// Polls until done() or about 20 s have passed.
template <typename F>
bool Eventually(F done) {
    for (int i = 0; i < 4000; ++i) {
        if (done()) return true;
        Sleep(5);
    }
    return done();
}

std::uint32_t OpenKind(const std::string& kind) {
    if (kind == "multi") return Q(EP4GXA_OpenMulti)(0, 0);
    if (kind == "diagnostic") return Q(EP4GXA_OpenDiagnostic)(0, 0);
    return Q(EP4GXA_Open)(0, 0);
}

}  // namespace

// Opens the EP4GXA card in the given kind and reports the result; then holds
// it until the named event is set (and closes it) or, with "-", until killed.
WINE_CHILD(hold) {
    const std::uint32_t rc = OpenKind(args.at(0));
    Say("open " + Number(rc));
    if (rc != QUELT_OK) return 0;
    if (args.at(1) == "-") {
        Sleep(INFINITE);
        return 0;
    }
    HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, args.at(1).c_str());
    if (go == nullptr) return 3;
    WaitForSingleObject(go, 30000);
    CloseHandle(go);
    Say("closed " + Number(Q(EP4GXA_Close)(0)));
    return 0;
}

// Raises one interrupt on the EP4GXA card once a wait is in progress on it.
WINE_CHILD(raise) {
    const bool waiting = Eventually([] { return sim::PendingWaits(kEp4gxaDevice) > 0; });
    if (!waiting) {
        Say("no wait came");
        return 4;
    }
    sim::RaiseIrq(kEp4gxaDevice);
    Say("raised");
    return 0;
}

// Raises count interrupts on the EP4GXA card, each as soon as a wait is in
// progress and the interrupts before it were taken: often between the
// waiter's last look at the counters and its sleep, where a wake-up would be
// lost.
WINE_CHILD(raise_each_wait) {
    const int count = std::stoi(args.at(0));
    const auto base = static_cast<std::uint32_t>(std::stoul(args.at(1)));
    for (int i = 0; i < count; ++i) {
        const std::uint32_t raised = base + static_cast<std::uint32_t>(i);
        if (!Eventually([raised] {
                return sim::ReadStatusWord(kEp4gxaDevice, 8) == raised &&
                       sim::PendingWaits(kEp4gxaDevice) > 0;
            })) {
            Say("no wait came at round " + std::to_string(i));
            return 4;
        }
        sim::RaiseIrq(kEp4gxaDevice);
    }
    Say("raised " + std::to_string(count));
    return 0;
}

WINE_CHILD(eeprom_write) {
    const std::uint32_t open = Q(OX9162_Open)(0, 0);
    const std::uint32_t wrote =
        Q(OX9162_EEPROM_WR)(0, static_cast<std::uint32_t>(std::stoul(args.at(0))),
                            static_cast<std::uint16_t>(std::stoul(args.at(1), nullptr, 0)));
    Say("wrote " + Number(open) + " " + Number(wrote) + " " + Number(Q(OX9162_Close)(0)));
    return 0;
}

WINE_CHILD(eeprom_read) {
    const std::uint32_t open = Q(OX9162_Open)(0, 0);
    std::uint16_t value = 0;
    const std::uint32_t read =
        Q(OX9162_EEPROM_RD)(0, static_cast<std::uint32_t>(std::stoul(args.at(0))), &value);
    Say("read " + Number(open) + " " + Number(read) + " " + Number(value) + " " + Number(Q(OX9162_Close)(0)));
    return 0;
}

// Takes the OX9162 card's EEPROM lock, as an access of the part does, and
// holds it until killed.
WINE_CHILD(lock_eeprom) {
    sim::store::CardMap map = sim::store::MapDevice(kOx9162Device, false);
    sim::os::LockSharedMutex(&map.header()->eeprom.lock);
    Say("locked");
    Sleep(INFINITE);
    return 0;
}

// Ends the process (returning from main) while another thread waits for an
// interrupt: the library's unload runs with that thread gone.
WINE_CHILD(exit_while_waiting) {
    if (Q(EP4GXA_Open)(0, 1) != QUELT_OK || Q(EP4GXA_IRQ_SetTimeout)(0, 0) != QUELT_OK) return 5;
    std::thread([] {
        std::uint32_t count = 0;
        Q(EP4GXA_IRQ_Wait)(0, &count);
    }).detach();
    if (!Eventually([] { return sim::PendingWaits(kEp4gxaDevice) == 1; })) return 6;
    Say("waiting");
    return 0;
}

WINE_CHILD(count_cards) {
    std::uint32_t ox9162 = 0, ep4gxa = 0, ox952 = 0;
    const std::uint32_t a = Q(OX9162_CardsInSystem)(&ox9162);
    const std::uint32_t b = Q(EP4GXA_CardsInSystem)(&ep4gxa);
    const std::uint32_t c = Q(OX952_CardsInSystem)(&ox952);
    Say("cards " + Number(a | b | c) + " " + Number(ox952) + " " + Number(ox9162) + " " + Number(ep4gxa));
    return 0;
}

WINE_CHECK(SimulatedCardsAreListedWithTheirIdentity) {
    UseMachine();
    std::uint32_t count = 0;
    EXPECT_EQ(Q(OX952_CardsInSystem)(&count), QUELT_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(Q(OX9162_CardsInSystem)(&count), QUELT_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(Q(EP4GXA_CardsInSystem)(&count), QUELT_OK);
    EXPECT_EQ(count, 1u);
    std::uint32_t value = 0;
    EXPECT_EQ(Q(EP4GXA_Card_ID)(0, &value), QUELT_OK);
    EXPECT_EQ(value, 0x4701u);
    EXPECT_EQ(Q(EP4GXA_Card_SerNr)(0, &value), QUELT_OK);
    EXPECT_EQ(value, 1001u);
    // Region memory is the card file's, seen by the control API too.
    ASSERT_EQ(Q(EP4GXA_Open)(0, 0), QUELT_OK);
    EXPECT_EQ(Q(EP4GXA_WriteReg32)(0, 0x40, 0xA5A55A5Au), QUELT_OK);
    std::uint32_t seen = 0;
    std::memcpy(&seen, sim::RegionMemory(kEp4gxaDevice, 0) + 0x40, 4);
    EXPECT_EQ(seen, 0xA5A55A5Au);
    EXPECT_EQ(sim::AttachedHandles(kEp4gxaDevice), 1);
    EXPECT_EQ(Q(EP4GXA_Close)(0), QUELT_OK);
    EXPECT_EQ(sim::AttachedHandles(kEp4gxaDevice), 0);
}

WINE_CHECK(ConnectionRulesAdmitAndRefuseOtherProcesses) {
    UseMachine();
    // A normal connection in another process refuses normal and multi ones
    // here, and admits a diagnostic one.
    Signal release;
    wine::Child holder("hold", {"normal", release.name});
    ASSERT_EQ(holder.AwaitLine("open"), "open 0");
    EXPECT_EQ(Q(EP4GXA_Open)(0, 0), QUELT_REFUSED);
    EXPECT_EQ(Q(EP4GXA_OpenMulti)(0, 0), QUELT_REFUSED);
    EXPECT_EQ(Q(EP4GXA_OpenDiagnostic)(0, 0), QUELT_OK);
    EXPECT_EQ(Q(EP4GXA_Close)(0), QUELT_OK);
    release.Set();
    EXPECT_EQ(holder.AwaitLine("closed"), "closed 0");
    EXPECT_EQ(holder.Wait(), 0);

    // Once it closed, this process gets the normal connection, and another
    // process is refused one in turn; multi connections share the card.
    ASSERT_EQ(Q(EP4GXA_Open)(0, 0), QUELT_OK);
    wine::Child refused("hold", {"normal", "-"});
    EXPECT_EQ(refused.AwaitLine("open"), "open " + Number(QUELT_REFUSED));
    EXPECT_EQ(refused.Wait(), 0);
    EXPECT_EQ(Q(EP4GXA_Close)(0), QUELT_OK);
    ASSERT_EQ(Q(EP4GXA_OpenMulti)(0, 0), QUELT_OK);
    Signal release2;
    wine::Child multi("hold", {"multi", release2.name});
    EXPECT_EQ(multi.AwaitLine("open"), "open 0");
    release2.Set();
    EXPECT_EQ(multi.AwaitLine("closed"), "closed 0");
    EXPECT_EQ(Q(EP4GXA_Close)(0), QUELT_OK);
}

WINE_CHECK(InterruptRaisedByAnotherProcessWakesTheWait) {
    UseMachine();
    ASSERT_EQ(Q(EP4GXA_Open)(0, 1), QUELT_OK);
    ASSERT_EQ(Q(EP4GXA_IRQ_SetTimeout)(0, 20000), QUELT_OK);
    wine::Child raiser("raise");
    std::uint32_t count = 0;
    const std::uint32_t late = sim::WaitsEndedAtDeadline(kEp4gxaDevice);
    EXPECT_EQ(Q(EP4GXA_IRQ_Wait)(0, &count), QUELT_OK);
    // The library asks the driver in slices of 5 s and looks at the counters
    // between them: a lost wake-up would still end the wait with the
    // interrupt, at a slice's end. Woken, no request ran to its deadline.
    EXPECT_EQ(sim::WaitsEndedAtDeadline(kEp4gxaDevice), late);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(raiser.AwaitLine("raised"), "raised");
    EXPECT_EQ(raiser.Wait(), 0);
    EXPECT_EQ(Q(EP4GXA_IRQ_Count)(0), 1u);
    EXPECT_EQ(Q(EP4GXA_Close)(0), QUELT_OK);
}

WINE_CHECK(NoInterruptOfAnotherProcessIsSleptThrough) {
    UseMachine();
    constexpr int kRounds = 100;
    // Every interrupt of the checks before taken note of: the first wait
    // then waits for the first of these.
    const std::uint32_t base = sim::ReadStatusWord(kEp4gxaDevice, 4);
    sim::WriteStatusWord(kEp4gxaDevice, 8, base);
    ASSERT_EQ(Q(EP4GXA_Open)(0, 1), QUELT_OK);
    ASSERT_EQ(Q(EP4GXA_IRQ_SetTimeout)(0, 20000), QUELT_OK);
    wine::Child raiser("raise_each_wait", {std::to_string(kRounds), std::to_string(base)});
    const std::uint32_t late = sim::WaitsEndedAtDeadline(kEp4gxaDevice);
    for (int i = 0; i < kRounds; ++i) {
        std::uint32_t count = 0;
        if (!EXPECT_EQ(Q(EP4GXA_IRQ_Wait)(0, &count), QUELT_OK)) break;
    }
    // Each wait was woken: none found its interrupt only at the end of a 5 s
    // slice of the library's wait.
    EXPECT_EQ(sim::WaitsEndedAtDeadline(kEp4gxaDevice), late);
    EXPECT_EQ(raiser.AwaitLine("raised"), "raised " + std::to_string(kRounds));
    EXPECT_EQ(raiser.Wait(), 0);
    EXPECT_EQ(Q(EP4GXA_IRQ_Count)(0), static_cast<std::uint32_t>(kRounds));
    EXPECT_EQ(Q(EP4GXA_Close)(0), QUELT_OK);
}

// The command line a Windows user raises interrupts with, beside this program.
WINE_CHECK(InterruptRaisedByQueltSimWakesTheWait) {
    UseMachine();
    char self[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string tool = self;
    tool = tool.substr(0, tool.find_last_of('\\') + 1) + "quelt-sim.exe";
    ASSERT_TRUE(GetFileAttributesA(tool.c_str()) != INVALID_FILE_ATTRIBUTES);
    ASSERT_EQ(Q(EP4GXA_Open)(0, 1), QUELT_OK);
    ASSERT_EQ(Q(EP4GXA_IRQ_SetTimeout)(0, 20000), QUELT_OK);
    DWORD toolExit = 1000;
    std::thread raiser([&tool, &toolExit] {
        if (!Eventually([] { return sim::PendingWaits(kEp4gxaDevice) > 0; })) return;
        std::string command = "\"" + tool + "\" irq " + std::to_string(kEp4gxaDevice);
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &info))
            return;
        WaitForSingleObject(info.hProcess, 20000);
        GetExitCodeProcess(info.hProcess, &toolExit);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    });
    std::uint32_t count = 0;
    const std::uint32_t late = sim::WaitsEndedAtDeadline(kEp4gxaDevice);
    EXPECT_EQ(Q(EP4GXA_IRQ_Wait)(0, &count), QUELT_OK);
    raiser.join();
    EXPECT_EQ(toolExit, 0u);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(sim::WaitsEndedAtDeadline(kEp4gxaDevice), late);  // woken, not found at a slice's end
    EXPECT_EQ(Q(EP4GXA_Close)(0), QUELT_OK);
}

WINE_CHECK(CloseEndsAWaitInAnotherThread) {
    UseMachine();
    ASSERT_EQ(Q(EP4GXA_Open)(0, 1), QUELT_OK);
    ASSERT_EQ(Q(EP4GXA_IRQ_SetTimeout)(0, 20000), QUELT_OK);
    std::uint32_t result = 0;
    std::thread waiter([&result] {
        std::uint32_t count = 0;
        result = Q(EP4GXA_IRQ_Wait)(0, &count);
    });
    EXPECT_TRUE(Eventually([] { return sim::PendingWaits(kEp4gxaDevice) == 1; }));
    const std::uint32_t late = sim::WaitsEndedAtDeadline(kEp4gxaDevice);
    EXPECT_EQ(Q(EP4GXA_Close)(0), QUELT_OK);
    waiter.join();
    EXPECT_EQ(result, QUELT_WAIT_ENDED);
    // Woken by the discard, not found discarded at the end of a 5 s slice.
    EXPECT_EQ(sim::WaitsEndedAtDeadline(kEp4gxaDevice), late);
    EXPECT_EQ(sim::PendingWaits(kEp4gxaDevice), 0u);
}

WINE_CHECK(EepromWordsWrittenByOneProcessAreReadByAnother) {
    UseMachine();
    wine::Child writer("eeprom_write", {"5", "0xBEEF"});
    EXPECT_EQ(writer.AwaitLine("wrote"), "wrote 0 0 0");
    EXPECT_EQ(writer.Wait(), 0);
    // Written through the part's serial protocol into the card file.
    EXPECT_EQ(sim::EepromWords(kOx9162Device).at(5), 0xBEEFu);
    ASSERT_EQ(Q(OX9162_Open)(0, 0), QUELT_OK);
    std::uint16_t value = 0;
    EXPECT_EQ(Q(OX9162_EEPROM_RD)(0, 5, &value), QUELT_OK);
    EXPECT_EQ(value, 0xBEEFu);
    EXPECT_EQ(Q(OX9162_EEPROM_WR)(0, 6, 0x1234), QUELT_OK);
    EXPECT_EQ(Q(OX9162_Close)(0), QUELT_OK);
    wine::Child reader("eeprom_read", {"6"});
    EXPECT_EQ(reader.AwaitLine("read"), "read 0 0 " + Number(0x1234) + " 0");
    EXPECT_EQ(reader.Wait(), 0);
}

WINE_CHECK(KilledHolderReleasesItsAttach) {
    UseMachine();
    wine::Child holder("hold", {"normal", "-"});
    ASSERT_EQ(holder.AwaitLine("open"), "open 0");
    EXPECT_EQ(sim::AttachedHandles(kEp4gxaDevice), 1);
    EXPECT_EQ(Q(EP4GXA_Open)(0, 0), QUELT_REFUSED);
    holder.Kill();
    // The system closed the dead process's handles, and its attach with them.
    EXPECT_EQ(sim::AttachedHandles(kEp4gxaDevice), 0);
    EXPECT_EQ(Q(EP4GXA_Open)(0, 0), QUELT_OK);
    std::uint32_t open = 0;
    EXPECT_EQ(Q(EP4GXA_Card_OpenCount)(0, &open), QUELT_OK);
    EXPECT_EQ(open, 1u);
    EXPECT_EQ(Q(EP4GXA_Close)(0), QUELT_OK);
}

WINE_CHECK(ProcessEndingDuringAWaitExitsAndReleasesTheCard) {
    UseMachine();
    wine::Child child("exit_while_waiting");
    EXPECT_EQ(child.AwaitLine("waiting"), "waiting");
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_EQ(sim::AttachedHandles(kEp4gxaDevice), 0);
    EXPECT_EQ(sim::PendingWaits(kEp4gxaDevice), 0u);
    ASSERT_EQ(Q(EP4GXA_Open)(0, 0), QUELT_OK);
    EXPECT_EQ(Q(EP4GXA_Close)(0), QUELT_OK);
}

WINE_CHECK(DefaultMachineIsMadeOnFirstUseOfTheDefaultRoot) {
    // A process with no QUELT_SIM_ROOT uses the per-user default under the
    // local application data folder, here pointed at a fresh folder.
    const std::string local = wine::TempDirectory();
    const std::string root = local + "\\quelt-sim";
    char saved[MAX_PATH] = "";
    char savedLocal[MAX_PATH] = "";
    const DWORD hadRoot = GetEnvironmentVariableA("QUELT_SIM_ROOT", saved, sizeof saved);
    const DWORD hadLocal = GetEnvironmentVariableA("LOCALAPPDATA", savedLocal, sizeof savedLocal);
    SetEnvironmentVariableA("QUELT_SIM_ROOT", nullptr);
    SetEnvironmentVariableA("LOCALAPPDATA", local.c_str());
    EXPECT_EQ(GetFileAttributesA(root.c_str()), INVALID_FILE_ATTRIBUTES);
    {
        wine::Child first("count_cards");
        EXPECT_EQ(first.AwaitLine("cards"), "cards 0 1 1 1");
        EXPECT_EQ(first.Wait(), 0);
    }
    const DWORD made = GetFileAttributesA(root.c_str());
    EXPECT_TRUE(made != INVALID_FILE_ATTRIBUTES && (made & FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_TRUE(GetFileAttributesA((root + "\\machine").c_str()) != INVALID_FILE_ATTRIBUTES);
    {
        // Found, not made again, by the next process.
        wine::Child second("count_cards");
        EXPECT_EQ(second.AwaitLine("cards"), "cards 0 1 1 1");
        EXPECT_EQ(second.Wait(), 0);
    }
    SetEnvironmentVariableA("QUELT_SIM_ROOT", hadRoot ? saved : nullptr);
    SetEnvironmentVariableA("LOCALAPPDATA", hadLocal ? savedLocal : nullptr);
}

namespace {

// Reads an EEPROM word of the OX9162 card on another thread; a read that
// does not end within 20 s is reported, and the program ends, since its
// thread cannot be taken back.
std::uint16_t ReadWordOrEnd(std::uint32_t word) {
    std::uint32_t rc = 0xFFFFFFFFu;
    std::uint16_t value = 0;
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread reader([&] {
        rc = Q(OX9162_EEPROM_RD)(0, word, &value);
        SetEvent(done);
    });
    if (WaitForSingleObject(done, 20000) != WAIT_OBJECT_0) {
        wine::Fail(__FILE__, __LINE__, "the EEPROM read still waits for the dead holder's lock");
        std::fflush(stdout);
        ExitProcess(1);
    }
    reader.join();
    CloseHandle(done);
    EXPECT_EQ(rc, QUELT_OK);
    return value;
}

}  // namespace

// Takes and gives back the lock as the EEPROM model does; whether the last
// holder died holding it.
bool TakenFromTheDead(sim::store::CardMap& map) {
    const bool died = sim::os::LockSharedMutex(&map.header()->eeprom.lock) == sim::os::Locked::OwnerDied;
    sim::os::UnlockSharedMutex(&map.header()->eeprom.lock);
    return died;
}

// A process killed inside an access of the part leaves its lock to the next
// locker, which is told so, whether another process had the lock open (the
// system reports it abandoned) or not (the holder's mark in the card file
// tells); the library's accesses go on.
WINE_CHECK(EepromLockOfAKilledHolderIsTakenOver) {
    UseMachine();
    sim::SetEepromWord(kOx9162Device, 9, 0x0909);
    sim::SetEepromWord(kOx9162Device, 10, 0x1010);
    sim::store::CardMap map = sim::store::MapDevice(kOx9162Device, false);
    ASSERT_EQ(Q(OX9162_Open)(0, 0), QUELT_OK);
    {
        // Nobody else has the lock open when its holder dies.
        wine::Child holder("lock_eeprom");
        ASSERT_EQ(holder.AwaitLine("locked"), "locked");
        holder.Kill();
    }
    EXPECT_TRUE(TakenFromTheDead(map));
    EXPECT_FALSE(TakenFromTheDead(map));
    EXPECT_EQ(ReadWordOrEnd(9), 0x0909u);
    {
        // This process has it open now: the system sees it abandoned.
        wine::Child holder("lock_eeprom");
        ASSERT_EQ(holder.AwaitLine("locked"), "locked");
        holder.Kill();
    }
    EXPECT_TRUE(TakenFromTheDead(map));
    EXPECT_FALSE(TakenFromTheDead(map));
    EXPECT_EQ(ReadWordOrEnd(10), 0x1010u);
    EXPECT_EQ(Q(OX9162_Close)(0), QUELT_OK);
}
