// tonwave's life as WinMM and the Multimedia applet drive it: DRV_* in one
// process's copy, installation and removal of the "Tonvane" service with
// every message box, the banner, and a failure at each allocation and each
// file, port, thread and event creation.
#include "host/failure_control.h"
#include "wave_fixture.h"

namespace {

using Proc = LRESULT(CALLBACK*)(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM);
using Entry = DWORD(APIENTRY*)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

template <typename Function>
Function Export(HMODULE module, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

using WaveDriverTest = WaveFixture;

TEST_F(WaveDriverTest, LoadEnableDisableAndFreeWithAnInstanceStillOpen)
{
    App app("app");     // has not used WinMM: its copy of tonwave is fresh
    app.Do([&] {
        HMODULE module = LoadLibraryA("tonwave.dll");
        auto proc = Export<Proc>(module, "DriverProc");
        auto wod = Export<Entry>(module, "wodMessage");
        // A load that fails at any of its three allocations takes back what
        // it made: the next load succeeds.
        for (DWORD n = 1; n <= 4; ++n) {
            HostFailNth(HostFailGlobalAlloc, n, ERROR_NOT_ENOUGH_MEMORY);
            EXPECT_EQ(proc(0, nullptr, DRV_LOAD, 0, 0), n <= 3 ? 0 : 1) << n;
            HostFailReset();
        }
        EXPECT_EQ(proc(0, nullptr, DRV_FREE, 0, 0), 1);
        EXPECT_EQ(proc(0, nullptr, DRV_LOAD, 0, 0), 1);
        EXPECT_EQ(proc(0, nullptr, DRV_LOAD, 0, 0), 0);
        EXPECT_EQ(wod(0, WODM_GETNUMDEVS, 0, 0, 0), MMSYSERR_NOTENABLED);
        EXPECT_EQ(proc(0, nullptr, DRV_ENABLE, 0, 0), 1);
        EXPECT_EQ(wod(0, WODM_GETNUMDEVS, 0, 0, 0), 1u);
        for (UINT message : {DRV_OPEN, DRV_CLOSE, DRV_QUERYCONFIGURE}) {
            EXPECT_EQ(proc(0, nullptr, message, 0, 0), 1) << message;
        }
        EXPECT_EQ(proc(7, nullptr, DRV_EXITSESSION, 1, 2), DefDriverProc(7, nullptr, DRV_EXITSESSION, 1, 2));

        // An open instance with a buffer in the kernel: DRV_FREE closes it
        // without a callback and ends its thread.
        Device device;
        WAVEFORMATEX format = Stereo16;
        WAVEOPENDESC description{nullptr, reinterpret_cast<LPWAVEFORMAT>(&format),
                                 DWORD_PTR(&Device::Record), DWORD_PTR(&device), 0, 0};
        DWORD_PTR instance = 0;
        ASSERT_EQ(wod(0, WODM_OPEN, DWORD_PTR(&instance), DWORD_PTR(&description), CALLBACK_FUNCTION),
                  MMSYSERR_NOERROR);
        WAVEHDR* header = NewHeader(BytesPerMs * 100);
        header->dwFlags = WHDR_PREPARED;
        ASSERT_EQ(wod(0, WODM_WRITE, instance, DWORD_PTR(header), sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        EXPECT_EQ(proc(0, nullptr, DRV_DISABLE, 0, 0), 1);
        EXPECT_EQ(wod(0, WODM_GETNUMDEVS, 0, 0, 0), MMSYSERR_NOTENABLED);
        EXPECT_EQ(proc(0, nullptr, DRV_FREE, 0, 0), 1);
        EXPECT_EQ(device.Messages(), std::vector<UINT>{WOM_OPEN});

        EXPECT_EQ(proc(0, nullptr, DRV_LOAD, 0, 0), 1);
        EXPECT_EQ(proc(0, nullptr, DRV_FREE, 0, 0), 1);
        GlobalFree(header);
        FreeLibrary(module);
    });
}

// Install and remove against the stand-in service manager, from the state
// the fixture leaves (installed and running), one step after another.
TEST_F(WaveDriverTest, InstallAndRemoveReportEveryFailure)
{
    struct Step {
        UINT message;
        HOST_FAILURE_POINT point;   // HostFailPointCount: none
        LRESULT result;
        const char* box;            // nullptr: none
    };
    const Step steps[] = {
        {DRV_INSTALL, HostFailPointCount, 0, "Cannot create service for kernel-mode driver (431)"},
        {DRV_REMOVE, HostFailControlService, 0, "Cannot stop kernel-mode driver service (5)"},
        {DRV_REMOVE, HostFailDeleteService, 0, "Cannot remove kernel-mode driver service (5)"},
        {DRV_REMOVE, HostFailPointCount, 1, nullptr},       // stopped already
        {DRV_REMOVE, HostFailPointCount, 0, "Cannot open kernel-mode driver service (424)"},
        {DRV_REMOVE, HostFailOpenSCManager, 0, "Cannot open Service Manager (5)"},
        {DRV_INSTALL, HostFailStartService, 0, "Cannot start service for kernel-mode driver (5)"},
        {DRV_INSTALL, HostFailCreateFile, 0, "Kernel-mode driver failed to start"},
        {DRV_INSTALL, HostFailPointCount, 1, nullptr},
    };
    App applet("applet");
    for (const Step& step : steps) {
        HostUser32ClearMessageBoxes();
        if (step.point != HostFailPointCount) {
            HostFailNth(step.point, 1, ERROR_ACCESS_DENIED);
        }
        LRESULT result = -1;
        applet.Do([&] { result = SendToTonwave(step.message); });
        HostFailReset();
        EXPECT_EQ(result, step.result) << step.message << " " << step.point;
        const std::vector<HOST_MESSAGE_BOX> boxes = Boxes();
        ASSERT_EQ(boxes.size(), step.box ? 1u : 0u) << step.message << " " << step.point;
        if (step.box != nullptr) {
            EXPECT_STREQ(boxes[0].Text, step.box);
            EXPECT_STREQ(boxes[0].Caption, "Tonvane");
            EXPECT_EQ(boxes[0].Style, UINT(MB_ICONHAND));
        }
    }
    applet.Do([&] { EXPECT_EQ(waveOutGetNumDevs(), 1u); });
}

TEST_F(WaveDriverTest, ConfigureShowsTheBanner)
{
    App applet("applet");
    LRESULT result = 0;
    applet.Do([&] { result = SendToTonwave(DRV_CONFIGURE); });
    EXPECT_EQ(result, DRVCNF_OK);
    const std::vector<HOST_MESSAGE_BOX> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(std::string(boxes[0].Text).rfind("Tonvane 2.03 (17.05.00)\n", 0), 0u) << boxes[0].Text;
    EXPECT_EQ(std::string(boxes[0].Text).find('%'), std::string::npos);
    EXPECT_STREQ(boxes[0].Caption, "Tonvane");
    EXPECT_EQ(boxes[0].Style, UINT(MB_ICONINFORMATION));
}

// The n-th allocation or creation fails, for every n the play of one buffer
// reaches: each call answers success or the failure's own result, and the
// shutdown finds nothing left behind.
TEST_F(WaveDriverTest, EachAllocationAndCreationFailure)
{
    const HOST_FAILURE_POINT points[] = {HostFailGlobalAlloc, HostFailCreateFile,
                                         HostFailCreateIoCompletionPort, HostFailCreateThread,
                                         HostFailCreateEvent};
    for (HOST_FAILURE_POINT point : points) {
        for (DWORD n = 1;; ++n) {
            App app("app");
            DWORD injected = 0;
            app.Do([&] {
                Device device;
                ASSERT_EQ(waveOutGetNumDevs(), 1u);
                HostFailNth(point, n, ERROR_NOT_ENOUGH_MEMORY);
                std::vector<MMRESULT> results{device.Open(false)};
                if (results[0] == MMSYSERR_NOERROR) {
                    results.push_back(device.Queue(BytesPerMs * 100));
                    results.push_back(device.Call(WODM_RESET, WIDM_RESET));
                    results.push_back(device.Close());
                }
                injected = HostFailInjectedCount();
                HostFailReset();
                // A refused prepare or reset makes WinMM refuse what follows.
                for (MMRESULT result : results) {
                    EXPECT_TRUE(result == MMSYSERR_NOERROR || result == MMSYSERR_NOMEM ||
                                result == MMSYSERR_NODRIVER || result == MMSYSERR_BADDEVICEID ||
                                result == WAVERR_UNPREPARED || result == WAVERR_STILLPLAYING)
                        << point << " " << n << " " << result;
                }
                if (results[0] == MMSYSERR_NOERROR && results.back() != MMSYSERR_NOERROR) {
                    EXPECT_EQ(device.Close(), MMSYSERR_NOERROR) << point << " " << n;
                }
            });
            app.End();
            if (injected == 0) {
                break;
            }
        }
    }
}

}  // namespace
