// tonsetup as a Windows user runs it: in its own process on the host
// system, from the unpacked package on drive D:, against tonwave and
// tonkern themselves. The whole cycle across reboots with the conduit
// played in between, the refusals that change nothing, and a failed
// install that takes back only what it added.
#include <strings.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "host/advapi32_control.h"
#include "host/failure_control.h"
#include "host/kernel32_control.h"
#include "host/user32_control.h"
#include "host/winmm_control.h"
#include "kept_root.h"
#include "setup_commands.h"
#include "wave_fixture.h"

namespace fs = std::filesystem;

namespace {

constexpr char kDrivers32[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";
constexpr char kKernelFile[] = "System32/Drivers/tonkern.sys";
constexpr char kWaveFile[] = "System32/tonwave.dll";
constexpr DWORD kBufferBytes = 100 * BytesPerMs;

struct SetupRun {
    UINT status;
    std::string output;
    std::string errors;
    DWORD keysLeft;     // registry keys tonsetup left open
};

// What of Tonvane a machine holds.
struct Installed {
    bool kernelFile;
    bool waveFile;
    bool listed;
    bool service;
    bool running;
};

bool operator==(const Installed& a, const Installed& b)
{
    return a.kernelFile == b.kernelFile && a.waveFile == b.waveFile && a.listed == b.listed
           && a.service == b.service && a.running == b.running;
}

void PrintTo(const Installed& s, std::ostream* out)
{
    *out << "{files " << s.kernelFile << s.waveFile << ", listed " << s.listed << ", service "
         << s.service << s.running << "}";
}

constexpr Installed kNothing{false, false, false, false, false};
constexpr Installed kEverything{true, true, true, true, true};

class SetupTest : public ::testing::Test {
protected:
    // A fresh root without Tonvane's images; they lie on D: with tonsetup.
    void SetUp() override
    {
        root_.MoveToDrive(kKernelFile);
        root_.MoveToDrive(kWaveFile);
        root_.Boot();
    }

    void TearDown() override { root_.Shutdown(); }

    void Reboot() { root_.Reboot(); }

    fs::path Root() const { return root_.Root(); }

    // tonsetup <command> in a process of its own, started from D:.
    static SetupRun Setup(const char* command, BOOL limitedUser = FALSE, BOOL wow64 = FALSE)
    {
        App app("tonsetup");
        const DWORD id = DWORD(reinterpret_cast<ULONG_PTR>(PsGetProcessId(app.process)));
        HostK32SetAdministrator(id, !limitedUser);
        HostK32SetProgram(id, "D:\\tonsetup.exe", wow64);
        SetupRun run{};
        app.Do([&] {
            run.status = RunSetup((std::string("\"D:\\tonsetup.exe\" ") + command).c_str());
            char text[8192];
            HostK32ConsoleText(id, STD_OUTPUT_HANDLE, text, sizeof(text));
            run.output = text;
            HostK32ConsoleText(id, STD_ERROR_HANDLE, text, sizeof(text));
            run.errors = text;
            run.keysLeft = HostRegOpenKeyCount(id);
        });
        app.End();
        EXPECT_EQ(run.keysLeft, 0u) << command;
        return run;
    }

    Installed State() const
    {
        Installed state{fs::exists(Root() / kKernelFile), fs::exists(Root() / kWaveFile), false,
                        false, false};
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDrivers32, 0, KEY_QUERY_VALUE, &key) == 0) {
            char name[32];
            char image[64];
            for (DWORD index = 0;; ++index) {
                DWORD nameLength = sizeof(name);
                DWORD size = sizeof(image);
                if (RegEnumValueA(key, index, name, &nameLength, nullptr, nullptr,
                                  reinterpret_cast<BYTE*>(image), &size) != 0) {
                    break;
                }
                state.listed = state.listed || strcasecmp(image, "tonwave.dll") == 0;
            }
            RegCloseKey(key);
        }
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE service = OpenServiceA(manager, "Tonvane", SERVICE_QUERY_STATUS);
        SERVICE_STATUS status{};
        state.service = service != nullptr;
        state.running = service != nullptr && QueryServiceStatus(service, &status)
                        && status.dwCurrentState == SERVICE_RUNNING;
        if (service != nullptr) {
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
        return state;
    }

    // Every file of the root (but Temp) and the content of the registry.
    std::string Snapshot() const
    {
        std::vector<std::string> entries;
        for (const auto& entry : fs::recursive_directory_iterator(Root())) {
            const std::string path = entry.path().lexically_relative(Root()).string();
            if (path.rfind("Temp", 0) == 0) {
                continue;
            }
            std::stringstream content;
            if (path.rfind("Registry", 0) == 0 && entry.is_regular_file()) {
                content << std::ifstream(entry.path()).rdbuf();
            }
            entries.push_back(path + "\n" + content.str());
        }
        std::sort(entries.begin(), entries.end());
        std::string all;
        for (const std::string& entry : entries) {
            all += entry + "\n";
        }
        return all;
    }

    KeptRoot root_;
};

// The WinMM id of the Out or In device with that name.
UINT DeviceNamed(bool out, const char* name)
{
    const UINT count = out ? waveOutGetNumDevs() : waveInGetNumDevs();
    for (UINT device = 0; device < count; ++device) {
        WAVEOUTCAPSA outCaps{};
        WAVEINCAPSA inCaps{};
        if (out ? waveOutGetDevCapsA(device, &outCaps, sizeof(outCaps)) == 0
                      && strcmp(outCaps.szPname, name) == 0
                : waveInGetDevCapsA(device, &inCaps, sizeof(inCaps)) == 0
                      && strcmp(inCaps.szPname, name) == 0) {
            return device;
        }
    }
    ADD_FAILURE() << name << " not among " << count << " devices";
    return UINT(-1);
}

TEST_F(SetupTest, InstallRebootPlayRemoveRebootLeavesNothing)
{
    SetupRun run = Setup("install");
    ASSERT_EQ(run.status, SETUP_SUCCEEDED) << run.output << run.errors;
    EXPECT_NE(run.output.find("Service \"Tonvane\": running."), std::string::npos) << run.output;
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(HostUser32MessageBoxCount(), 0u);
    EXPECT_EQ(State(), kEverything);

    Reboot();
    EXPECT_EQ(State(), kEverything);

    // One application plays into the conduit while another records it.
    App player("player");
    App recorder("recorder");
    WAVEHDR* played = nullptr;
    WAVEHDR* recorded = nullptr;
    HWAVEIN in = nullptr;
    HWAVEOUT out = nullptr;
    recorder.Do([&] {
        recorded = NewHeader(kBufferBytes, 0x55);
        ASSERT_EQ(waveInOpen(&in, DeviceNamed(false, "Tonvane 1 In"), &Stereo16, 0, 0,
                             CALLBACK_NULL),
                  MMSYSERR_NOERROR);
        ASSERT_EQ(waveInPrepareHeader(in, recorded, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(in, recorded, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    });
    player.Do([&] {
        played = NewHeader(kBufferBytes);
        auto* samples = reinterpret_cast<short*>(played->lpData);
        for (DWORD i = 0; i < kBufferBytes / 2; ++i) {
            samples[i] = short(i * 37 - 20000);
        }
        ASSERT_EQ(waveOutOpen(&out, DeviceNamed(true, "Tonvane 1 Out"), &Stereo16, 0, 0,
                              CALLBACK_NULL),
                  MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutPrepareHeader(out, played, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(out, played, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    });
    ASSERT_NE(in, nullptr);
    ASSERT_NE(out, nullptr);
    for (int tick = 0; tick < 10 && (recorded->dwFlags & WHDR_DONE) == 0; ++tick) {
        HostKeAdvanceClockMs(100);
        HostWaitForQuiet();
    }
    ASSERT_TRUE(recorded->dwFlags & WHDR_DONE);
    EXPECT_TRUE(played->dwFlags & WHDR_DONE);
    EXPECT_EQ(recorded->dwBytesRecorded, kBufferBytes);
    EXPECT_EQ(memcmp(recorded->lpData, played->lpData, kBufferBytes), 0);
    player.Do([&] {
        EXPECT_EQ(waveOutUnprepareHeader(out, played, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
        GlobalFree(played);
    });
    recorder.Do([&] {
        EXPECT_EQ(waveInReset(in), MMSYSERR_NOERROR);
        EXPECT_EQ(waveInUnprepareHeader(in, recorded, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
        GlobalFree(recorded);
    });
    recorder.End();

    run = Setup("status");
    EXPECT_EQ(run.status, SETUP_SUCCEEDED) << run.errors;
    for (const char* line : {"Service \"Tonvane\": running.", "tonwave.dll as \"wave\"",
                             "tonkern.sys: present", ": Tonvane 1 Out", ": Tonvane 1 In"}) {
        EXPECT_NE(run.output.find(line), std::string::npos) << line << " in\n" << run.output;
    }

    // The player still runs with tonwave.dll loaded: it goes at the restart,
    // and until then a new install is refused, even once the player ended.
    run = Setup("remove");
    ASSERT_EQ(run.status, SETUP_SUCCEEDED) << run.output << run.errors;
    EXPECT_NE(run.output.find("tonwave.dll is in use; Windows deletes it at the next restart."),
              std::string::npos)
        << run.output;
    EXPECT_EQ(State(), (Installed{false, true, false, false, false}));
    player.End();
    const std::string removed = Snapshot();
    run = Setup("install");
    EXPECT_EQ(run.status, SETUP_FAILED);
    EXPECT_NE(run.errors.find("Restart Windows, then install again."), std::string::npos)
        << run.errors;
    EXPECT_EQ(Snapshot(), removed);

    Reboot();
    EXPECT_EQ(State(), kNothing);
    EXPECT_EQ(Setup("status").output.find("Tonvane 1"), std::string::npos);
}

struct Refusal {
    const char* name;
    const char* command;
    BOOL limitedUser;
    BOOL wow64;
    UINT status;
    const char* says;
};

class RefusalTest : public SetupTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusalTest, ChangesNothing)
{
    const Refusal& refusal = GetParam();
    const std::string name = refusal.name;
    if (name == "ServicePresent") {
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE service = CreateServiceA(
            manager, "Tonvane", "Tonvane", SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
            SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
            "\\SystemRoot\\System32\\Drivers\\tonkern.sys", "Base", nullptr, nullptr, nullptr,
            nullptr);
        ASSERT_NE(service, nullptr);
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
    } else if (name == "Listed") {
        ASSERT_TRUE(HostWinmmSetDriver("wave3", "TONWAVE.DLL"));
    } else if (name == "NoMemory") {
        // Another program's file waits for the restart; reading the list
        // needs memory, and there is none.
        ASSERT_TRUE(MoveFileExA("C:\\WINNT\\other.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
        HostFailNth(HostFailLocalAlloc, 1, ERROR_NOT_ENOUGH_MEMORY);
    } else if (name == "ServiceManagerFails") {
        HostFailNth(HostFailOpenSCManager, 1, ERROR_ACCESS_DENIED);
    } else if (name == "AllWaveNamesTaken") {
        for (const char* alias : {"wave", "wave1", "wave2", "wave3", "wave4", "wave5", "wave6",
                                  "wave7", "wave8", "wave9"}) {
            ASSERT_TRUE(HostWinmmSetDriver(alias, "testwave.dll"));
        }
    }
    const std::string before = Snapshot();
    const SetupRun run = Setup(refusal.command, refusal.limitedUser, refusal.wow64);
    EXPECT_EQ(run.status, refusal.status);
    EXPECT_NE(run.errors.find(refusal.says), std::string::npos) << run.errors;
    EXPECT_EQ(run.output.find("Copied"), std::string::npos) << run.output;
    EXPECT_EQ(Snapshot(), before);
    EXPECT_EQ(HostUser32MessageBoxCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Setup, RefusalTest,
    ::testing::Values(
        Refusal{"NothingToRemove", "remove", FALSE, FALSE, SETUP_FAILED,
                "Tonvane is not installed"},
        Refusal{"Wow64", "install", FALSE, TRUE, SETUP_FAILED, "this is 64-bit Windows"},
        Refusal{"Wow64Status", "status", FALSE, TRUE, SETUP_FAILED, "this is 64-bit Windows"},
        Refusal{"NoAdministrator", "install", TRUE, FALSE, SETUP_FAILED,
                "error 5 (0x5): Access is denied."},
        Refusal{"ServicePresent", "install", FALSE, FALSE, SETUP_FAILED,
                "error 1073 (0x431): The specified service already exists."},
        Refusal{"Listed", "install", FALSE, FALSE, SETUP_FAILED,
                "WinMM lists tonwave.dll as \"wave3\""},
        Refusal{"NoMemory", "install", FALSE, FALSE, SETUP_FAILED,
                "error 8 (0x8): Not enough storage is available to process this command."},
        Refusal{"ServiceManagerFails", "remove", FALSE, FALSE, SETUP_FAILED,
                "cannot ask the service manager about the \"Tonvane\" service"},
        Refusal{"AllWaveNamesTaken", "install", FALSE, FALSE, SETUP_FAILED,
                "all ten wave driver entries"},
        Refusal{"UnknownCommand", "instal", FALSE, FALSE, SETUP_USAGE, "expected one command"},
        Refusal{"TwoCommands", "install remove", FALSE, FALSE, SETUP_USAGE,
                "expected one command"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return info.param.name; });

TEST_F(SetupTest, InstallTakesTheLastFreeWaveName)
{
    for (const char* alias : {"wave", "wave1", "wave2", "wave3", "wave4", "wave5", "wave6",
                              "wave7", "wave8"}) {
        ASSERT_TRUE(HostWinmmSetDriver(alias, "testwave.dll"));
    }
    const SetupRun run = Setup("install");
    ASSERT_EQ(run.status, SETUP_SUCCEEDED) << run.output << run.errors;
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDrivers32, 0, KEY_QUERY_VALUE, &key), 0);
    char image[64] = {};
    DWORD size = sizeof(image);
    EXPECT_EQ(RegQueryValueExA(key, "wave9", nullptr, nullptr, reinterpret_cast<BYTE*>(image),
                               &size),
              0);
    RegCloseKey(key);
    EXPECT_STRCASEEQ(image, "tonwave.dll");
}

TEST_F(SetupTest, AFailedInstallTakesBackOnlyWhatItAdded)
{
    // tonkern.sys was there before; the handshake after the start fails.
    ASSERT_TRUE(fs::copy_file(root_.Drive() / "tonkern.sys", Root() / kKernelFile));
    HostFailNth(HostFailCreateFile, 1, ERROR_FILE_NOT_FOUND);
    SetupRun run = Setup("install");
    EXPECT_EQ(run.status, SETUP_FAILED);
    ASSERT_EQ(HostUser32MessageBoxCount(), 1u);
    HOST_MESSAGE_BOX box{};
    ASSERT_TRUE(HostUser32GetMessageBox(0, &box));
    EXPECT_STREQ(box.Text, "Kernel-mode driver failed to start");
    EXPECT_NE(run.errors.find("what it had added was taken back"), std::string::npos)
        << run.errors;
    EXPECT_EQ(State(), (Installed{true, false, false, false, false}));

    // The service cannot be stopped again: files and listing stay for a
    // remove, which then finds everything.
    HostUser32ClearMessageBoxes();
    fs::remove(Root() / kKernelFile);
    HostFailNth(HostFailCreateFile, 1, ERROR_FILE_NOT_FOUND);
    HostFailNth(HostFailControlService, 1, ERROR_ACCESS_DENIED);
    run = Setup("install");
    EXPECT_EQ(run.status, SETUP_FAILED);
    EXPECT_NE(run.errors.find("stay for \"tonsetup remove\""), std::string::npos) << run.errors;
    EXPECT_EQ(State(), kEverything);
    run = Setup("remove");
    EXPECT_EQ(run.status, SETUP_SUCCEEDED) << run.errors;
    EXPECT_EQ(State(), kNothing);
}

}  // namespace
