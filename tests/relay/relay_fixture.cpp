#include "relay_fixture.h"

#include <cstring>

namespace {

RelayFixture* active;       // the running test's fixture

} // namespace

// The engine's dialog side, answered from the fixture and recorded.
class FixtureDialog final : public RelayDialogSide {
public:
    UINT SelectedDevice(RelayDirection direction) override
    {
        return active->devices_[direction];
    }
    VOID DeviceText(RelayDirection direction, char* text) override
    {
        std::strcpy(text, direction == RelayInput ? "Host Microphone" : "Host Speaker");
    }
    HWND Window() override { return active->windows_[RelayFixture::Dialog]; }
    HWND QueueBar(RelayDirection direction) override
    {
        return active->windows_[direction == RelayInput ? RelayFixture::InBar : RelayFixture::OutBar];
    }
    VOID ShowRunning() override { active->Record(Window(), WM_TEST_SHOW_RUNNING, 0); }
    VOID ShowStopped() override { active->Record(Window(), WM_TEST_SHOW_STOPPED, 0); }
};

namespace {
FixtureDialog dialogSide;
} // namespace

void RelayFixture::SetUp()
{
    HostCardReset();
    const HOST_BOOT_OPTIONS options{HostKeClockVirtual, 0, nullptr};
    ASSERT_EQ(HostBoot(&options), STATUS_SUCCESS);
    ListDrivers();
    active = this;
    relayState = RelayInitialState;
    const HOST_PROCESS_OPTIONS relay{"Tonrelay", FALSE, nullptr, nullptr};
    ASSERT_EQ(HostStartProcess(&relay, &app_), STATUS_SUCCESS);
    previous_ = HostPsSetCurrentProcess(app_);
    ready_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    dialogThread_ = CreateThread(nullptr, 0, DialogThread, this, 0, &dialogThreadId_);
    ASSERT_NE(dialogThread_, nullptr);
    WaitForSingleObject(ready_, INFINITE);
}

void RelayFixture::ListDrivers()
{
    ASSERT_TRUE(HostWinmmSetDriver("wave", "hostcard.dll"));
}

void RelayFixture::TearDown()
{
    if (dialogThread_ != nullptr) {
        PostThreadMessageA(dialogThreadId_, WM_QUIT, 0, 0);
        WaitForSingleObject(dialogThread_, INFINITE);
        CloseHandle(dialogThread_);
    }
    CloseHandle(ready_);
    HostPsSetCurrentProcess(previous_);
    EXPECT_EQ(HostEndProcess(app_, 0), STATUS_SUCCESS);
    active = nullptr;
    HOST_LEFTOVERS left{};
    char text[1024];
    EXPECT_EQ(HostShutdown(&left), STATUS_SUCCESS)
        << (HostDescribeLeftovers(&left, text, sizeof(text)), text);
}

DWORD WINAPI RelayFixture::DialogThread(LPVOID parameter)
{
    RelayFixture& fixture = *static_cast<RelayFixture*>(parameter);
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = Procedure;
    windowClass.lpszClassName = "RelayRecorder";
    RegisterClassA(&windowClass);
    for (HWND& window : fixture.windows_) {
        window = CreateWindowExA(0, "RelayRecorder", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 nullptr, nullptr);
    }
    InitialiseRelayEngine();
    savedPriorityClass = GetPriorityClass(GetCurrentProcess());
    SetEvent(fixture.ready_);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        DispatchMessageA(&message);
    }
    for (HWND window : fixture.windows_) {
        DestroyWindow(window);
    }
    return 0;
}

LRESULT CALLBACK RelayFixture::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    switch (message) {
    case WM_TEST_START:
        result = StartRelay(dialogSide);
        break;
    case WM_TEST_STOP:
        RequestRelayStop();
        break;
    case WM_RELAY_ENDED:
        active->Record(window, message, wParam);
        OnRelayEnded(dialogSide);
        break;
    case PBM_SETRANGE:
        active->Record(window, message, WPARAM(lParam));
        break;
    case PBM_SETPOS:
        active->Record(window, message, wParam);
        break;
    default:
        result = DefWindowProcA(window, message, wParam, lParam);
        break;
    }
    return result;
}

void RelayFixture::Record(HWND window, UINT message, WPARAM wParam)
{
    std::lock_guard<std::mutex> guard(logLock_);
    log_.push_back(Recorded{window, message, wParam, timeGetTime()});
}

void RelayFixture::Settings(int rate, int bits, int channels, int totalMs, int buffers)
{
    relayState = RelayInitialState;
    relayState.sampleRate = rate;
    relayState.bitsPerSample = bits;
    relayState.channels = channels;
    relayState.totalBufferMs = totalMs;
    relayState.bufferCount = buffers;
}

void RelayFixture::Advance(ULONG ms, ULONG step)
{
    for (ULONG done = 0; done < ms; done += step) {
        HostKeAdvanceClockMs(step);
        HostWaitForQuiet();
    }
}

bool RelayFixture::Stopped() const
{
    HostWaitForQuiet();
    return relayState.workerThread == nullptr && RelayFlags() == 0;
}

std::vector<Recorded> RelayFixture::Log(Window window, UINT message) const
{
    std::lock_guard<std::mutex> guard(logLock_);
    std::vector<Recorded> found;
    for (const Recorded& entry : log_) {
        if (entry.window == windows_[window] && entry.message == message) {
            found.push_back(entry);
        }
    }
    return found;
}

void RelayFixture::ClearLog()
{
    std::lock_guard<std::mutex> guard(logLock_);
    log_.clear();
}

std::vector<int> RelayFixture::BarPositions(Window window) const
{
    std::vector<int> positions;
    for (const Recorded& entry : Log(window, PBM_SETPOS)) {
        positions.push_back(int(entry.wParam));
    }
    return positions;
}

std::vector<std::string> RelayFixture::TakeMessageBoxes()
{
    std::vector<std::string> texts;
    for (ULONG i = 0; i < HostUser32MessageBoxCount(); ++i) {
        HOST_MESSAGE_BOX box;
        HostUser32GetMessageBox(i, &box);
        EXPECT_EQ(box.Owner, nullptr);
        EXPECT_STREQ(box.Caption, "Error");
        EXPECT_EQ(box.Style, UINT(MB_ICONERROR));
        texts.push_back(box.Text);
    }
    HostUser32ClearMessageBoxes();
    return texts;
}
