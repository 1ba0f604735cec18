// Tonrelay's dialog as a person uses it. WinMain runs on the first thread of
// an application process, with the dialog template of the program's
// compiled resources; the test clicks, types and presses keys through the
// stand-in's input and waits for quiet after each.
#include <gtest/gtest.h>

#include <commctrl.h>

#include <atomic>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "conduit_signal.h"
#include "host/system_control.h"
#include "relay_engine.h"
#include "resource.h"

namespace {

using Texts = std::vector<std::string>;

constexpr int settingsControls[] = {IDC_WAVE_IN,    IDC_WAVE_OUT,      IDC_SAMPLE_RATE,
                                    IDC_BITS,       IDC_CHANNELS,      IDC_TOTAL_BUFFER,
                                    IDC_BUFFERS,    IDC_CHANNELS_SPIN, IDC_BUFFERS_SPIN};

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        HostCardReset();
        ASSERT_EQ(HostBoot(nullptr), STATUS_SUCCESS);       // virtual time from 0
        ListDrivers();
        active = this;
        const HOST_PROCESS_OPTIONS program{"Tonrelay", FALSE, Program, this};
        ASSERT_EQ(HostStartProcess(&program, &process_), STATUS_SUCCESS);
        HostWaitForQuiet();
        dialog_ = FindWindowA("#32770", "Tonrelay 1.03");
        ASSERT_NE(dialog_, nullptr);
        buttonProcedure_ = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
            Item(IDC_START), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ButtonSpy)));
    }

    void TearDown() override
    {
        if (!HostPsProcessEnded(process_)) {
            EXPECT_EQ(HostEndProcess(process_, 0), STATUS_SUCCESS);
        }
        HOST_LEFTOVERS left{};
        char text[1024];
        EXPECT_EQ(HostShutdown(&left), STATUS_SUCCESS)
            << (HostDescribeLeftovers(&left, text, sizeof(text)), text);
    }

    virtual void ListDrivers() { ASSERT_TRUE(HostWinmmSetDriver("wave", "hostcard.dll")); }

    HWND Item(int id) const { return GetDlgItem(dialog_, id); }

    // A click at a share of a control's height, in the middle of its width.
    void Click(int id, int eighths = 4) const
    {
        RECT client;
        GetClientRect(Item(id), &client);
        EXPECT_TRUE(HostUser32Click(Item(id), client.right / 2, client.bottom * eighths / 8));
        HostWaitForQuiet();
    }

    void Press(UINT key) const
    {
        HostUser32PressKey(dialog_, key);
        HostWaitForQuiet();
    }

    // Clicks into a field and types over its text.
    void Type(int id, const std::string& text) const
    {
        Click(id);
        HostUser32TypeText(dialog_, (std::string(Text(id).size(), '\b') + text).c_str());
        HostWaitForQuiet();
    }

    std::string Text(int id) const
    {
        char text[MAXPNAMELEN] = {};
        SendMessageA(Item(id), WM_GETTEXT, sizeof(text), reinterpret_cast<LPARAM>(text));
        return text;
    }

    Texts Entries(int list) const
    {
        Texts entries;
        for (LRESULT i = 0; i < SendMessageA(Item(list), CB_GETCOUNT, 0, 0); ++i) {
            char entry[MAXPNAMELEN] = {};
            SendMessageA(Item(list), CB_GETLBTEXT, WPARAM(i), reinterpret_cast<LPARAM>(entry));
            entries.push_back(entry);
        }
        return entries;
    }

    // Whether every settings control and up-down is enabled (or every one
    // disabled).
    bool Settings(BOOL enabled) const
    {
        for (int id : settingsControls) {
            if (IsWindowEnabled(Item(id)) != enabled) {
                return false;
            }
        }
        return true;
    }

    // What the Start/Stop button was told since the last call: its texts,
    // and "enabled" or "disabled".
    Texts ButtonLog()
    {
        std::lock_guard<std::mutex> guard(logLock_);
        return std::exchange(buttonLog_, {});
    }

    static void Advance(ULONG ms)
    {
        for (ULONG done = 0; done < ms; done += 10) {
            HostKeAdvanceClockMs(10);
            HostWaitForQuiet();
        }
    }

    static Texts TakeMessageBoxes()
    {
        Texts texts;
        HOST_MESSAGE_BOX box;
        for (ULONG i = 0; HostUser32GetMessageBox(i, &box); ++i) {
            texts.push_back(box.Text);
        }
        HostUser32ClearMessageBoxes();
        return texts;
    }

    PEPROCESS process_ = nullptr;
    HWND dialog_ = nullptr;
    std::atomic<int> exitCode_{-2};

private:
    static DWORD WINAPI Program(LPVOID parameter)
    {
        auto* test = static_cast<DialogTest*>(parameter);
        const HINSTANCE instance = HostUser32LoadResources(TONRELAY_RES);
        test->exitCode_ = WinMain(instance, nullptr, const_cast<LPSTR>(""), SW_SHOWNORMAL);
        return DWORD(test->exitCode_);
    }

    static LRESULT CALLBACK ButtonSpy(HWND button, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_SETTEXT || message == WM_ENABLE) {
            std::lock_guard<std::mutex> guard(active->logLock_);
            active->buttonLog_.push_back(message == WM_SETTEXT ? reinterpret_cast<LPCSTR>(lParam)
                                         : wParam != 0         ? "enabled"
                                                               : "disabled");
        }
        return CallWindowProcA(active->buttonProcedure_, button, message, wParam, lParam);
    }

    static inline DialogTest* active;
    WNDPROC buttonProcedure_ = nullptr;
    std::mutex logLock_;
    Texts buttonLog_;
};

TEST_F(DialogTest, TheFocusStartsOnStartAndTabFollowsTheTemplate)
{
    const int order[] = {IDC_WAVE_IN, IDC_WAVE_OUT,    IDC_BITS,         IDC_CHANNELS,
                         IDC_BUFFERS, IDC_SAMPLE_RATE, IDC_TOTAL_BUFFER, IDC_START};
    EXPECT_EQ(HostUser32GetFocus(dialog_), Item(IDC_START));
    for (int id : order) {
        Press(VK_TAB);
        EXPECT_EQ(HostUser32GetFocus(dialog_), Item(id)) << id;
    }
}

// Each row is typed over the field's text and followed by a key: Tab moves
// the focus on and commits, Enter (IDOK) changes nothing.
TEST_F(DialogTest, ATypedValueIsCommittedWhenItsFieldLosesTheFocus)
{
    struct Row {
        int control;
        const char* typed;
        UINT key;
        int RelayState::*field;
        int stored;
        const char* shown;
    };
    const Row rows[] = {
        {IDC_SAMPLE_RATE, " 48000", VK_TAB, &RelayState::sampleRate, 48000, " 48000"},
        {IDC_SAMPLE_RATE, "44100 ", VK_TAB, &RelayState::sampleRate, 48000, "48000"},
        {IDC_SAMPLE_RATE, "49", VK_TAB, &RelayState::sampleRate, 48000, "48000"},
        {IDC_SAMPLE_RATE, "50", VK_TAB, &RelayState::sampleRate, 50, "50"},
        {IDC_SAMPLE_RATE, "262145", VK_TAB, &RelayState::sampleRate, 50, "50"},
        {IDC_SAMPLE_RATE, "262144", VK_RETURN, &RelayState::sampleRate, 50, "262144"},
        {IDC_SAMPLE_RATE, "262144", VK_TAB, &RelayState::sampleRate, 262144, "262144"},
        {IDC_SAMPLE_RATE, "0000000500", VK_TAB, &RelayState::sampleRate, 262144, "262144"},
        {IDC_SAMPLE_RATE, "000044100", VK_TAB, &RelayState::sampleRate, 44100, "000044100"},
        {IDC_BITS, "+24", VK_TAB, &RelayState::bitsPerSample, 24, "+24"},
        {IDC_BITS, "12", VK_TAB, &RelayState::bitsPerSample, 12, "12"},
        {IDC_BITS, "7", VK_TAB, &RelayState::bitsPerSample, 12, "12"},
        {IDC_CHANNELS, "-1", VK_TAB, &RelayState::channels, 2, "2"},
        {IDC_CHANNELS, "0x10", VK_TAB, &RelayState::channels, 2, "2"},
        {IDC_CHANNELS, "257", VK_TAB, &RelayState::channels, 2, "2"},
        {IDC_CHANNELS, "1", VK_TAB, &RelayState::channels, 1, "1"},
        {IDC_TOTAL_BUFFER, "4", VK_TAB, &RelayState::totalBufferMs, 1000, "1000"},
        {IDC_TOTAL_BUFFER, "10000", VK_TAB, &RelayState::totalBufferMs, 10000, "10000"},
        {IDC_BUFFERS, "65", VK_TAB, &RelayState::bufferCount, 8, "8"},
        {IDC_BUFFERS, "3", VK_TAB, &RelayState::bufferCount, 3, "3"},
        {IDC_BUFFERS, "", VK_TAB, &RelayState::bufferCount, 3, ""},
    };
    for (const Row& row : rows) {
        Type(row.control, row.typed);
        Press(row.key);
        EXPECT_EQ(relayState.*row.field, row.stored) << "\"" << row.typed << "\"";
        EXPECT_EQ(Text(row.control), row.shown) << "\"" << row.typed << "\"";
    }
    EXPECT_TRUE(IsWindow(dialog_));

    // The next start uses the values kept: 3 buffers for an emptied field.
    Click(IDC_START);
    EXPECT_EQ(SendMessageA(Item(IDC_IN_QUEUE), PBM_GETRANGE, FALSE, 0), 3);
    Click(IDC_START);
}

TEST_F(DialogTest, TheButtonAndTheSettingsFollowTheRun)
{
    Click(IDC_START);
    EXPECT_EQ(ButtonLog(), (Texts{"disabled", "Stop", "enabled"}));
    EXPECT_TRUE(Settings(FALSE));

    // Locked controls take no clicks; Escape and the close button are ignored.
    EXPECT_FALSE(HostUser32Click(Item(IDC_CHANNELS_SPIN), 1, 1));
    Press(VK_ESCAPE);
    PostMessageA(dialog_, WM_SYSCOMMAND, SC_CLOSE, 0);
    Advance(300);
    EXPECT_TRUE(IsWindow(dialog_));

    // Stop: the button stays disabled until the run has ended.
    Click(IDC_START);
    EXPECT_EQ(ButtonLog(), (Texts{"disabled", "Start", "enabled"}));
    EXPECT_TRUE(Settings(TRUE));
    EXPECT_EQ(SendMessageA(Item(IDC_IN_QUEUE), PBM_GETPOS, 0, 0), 0);
    EXPECT_EQ(SendMessageA(Item(IDC_OUT_QUEUE), PBM_GETPOS, 0, 0), 0);

    // A start that fails leaves everything as it was.
    HostCardRefuse(HostCardMicrophone, HostCardOpen, 1);
    Click(IDC_START);
    EXPECT_EQ(ButtonLog(), (Texts{"disabled", "enabled"}));
    EXPECT_EQ(TakeMessageBoxes(), Texts{"Cannot open device Host Microphone"});
    EXPECT_TRUE(Settings(TRUE));

    // A run that loses its one buffer to the speaker ends by itself.
    Type(IDC_BUFFERS, "1");
    HostCardRefuse(HostCardSpeaker, HostCardQueue, 1);
    Click(IDC_START);
    Advance(1100);
    EXPECT_EQ(ButtonLog(), (Texts{"disabled", "Stop", "enabled", "Start"}));
    EXPECT_TRUE(Settings(TRUE));

    Press(VK_ESCAPE);
    EXPECT_TRUE(HostPsProcessEnded(process_));
    EXPECT_EQ(exitCode_, 0);
}

// Each row types a value (or keeps the text) and clicks one arrow.
TEST_F(DialogTest, UpDownArrowsStepTheTextWithinTheRange)
{
    struct Row {
        int spin;
        int buddy;
        const char* typed;
        bool up;
        const char* shown;
    };
    const Row rows[] = {
        {IDC_CHANNELS_SPIN, IDC_CHANNELS, nullptr, true, "3"},
        {IDC_CHANNELS_SPIN, IDC_CHANNELS, "1", false, "1"},
        {IDC_CHANNELS_SPIN, IDC_CHANNELS, "256", true, "256"},
        {IDC_CHANNELS_SPIN, IDC_CHANNELS, "999", true, "256"},
        {IDC_BUFFERS_SPIN, IDC_BUFFERS, "64", true, "64"},
        {IDC_BUFFERS_SPIN, IDC_BUFFERS, "64", false, "63"},
    };
    for (const Row& row : rows) {
        if (row.typed != nullptr) {
            Type(row.buddy, row.typed);
        }
        Click(row.spin, row.up ? 2 : 6);
        EXPECT_EQ(Text(row.buddy), row.shown);
        EXPECT_EQ(HostUser32GetFocus(dialog_), Item(row.buddy));
    }
    // Only the text changed; leaving the field commits it.
    EXPECT_EQ(relayState.bufferCount, 8);
    Press(VK_TAB);
    EXPECT_EQ(relayState.bufferCount, 63);
}

class DialogWithoutMicrophoneTest : public DialogTest {
protected:
    void ListDrivers() override
    {
        HostCardDropDevice(HostCardMicrophone, TRUE);
        DialogTest::ListDrivers();
    }
};

// An empty list has no selection: the start opens WAVE_MAPPER, which finds
// no device either, and the error names no device.
TEST_F(DialogWithoutMicrophoneTest, AnEmptyListStartsWithTheMapper)
{
    EXPECT_EQ(Entries(IDC_WAVE_IN), Texts{});
    EXPECT_EQ(SendMessageA(Item(IDC_WAVE_IN), CB_GETCURSEL, 0, 0), CB_ERR);
    Click(IDC_START);
    EXPECT_EQ(TakeMessageBoxes(), Texts{"Cannot open device "});
    EXPECT_EQ(ButtonLog(), (Texts{"disabled", "enabled"}));
}

class DialogConduitTest : public DialogTest {
protected:
    void ListDrivers() override { ListConduitAndCard(); }
};

TEST_F(DialogConduitTest, ARunChosenInTheDialogRelaysTheConduitToTheSpeaker)
{
    EXPECT_EQ(Entries(IDC_WAVE_IN), (Texts{"Tonvane 1 In", "Host Microphone"}));
    EXPECT_EQ(Entries(IDC_WAVE_OUT), (Texts{"Tonvane 1 Out", "Host Speaker"}));
    EXPECT_EQ(Text(IDC_WAVE_OUT), "Tonvane 1 Out");

    // The dropped list takes Escape first, and undoes the choice.
    Click(IDC_WAVE_OUT);
    Press(VK_DOWN);
    Press(VK_ESCAPE);
    EXPECT_EQ(Text(IDC_WAVE_OUT), "Tonvane 1 Out");
    EXPECT_EQ(SendMessageA(Item(IDC_WAVE_OUT), CB_GETDROPPEDSTATE, 0, 0), FALSE);
    EXPECT_TRUE(IsWindow(dialog_));
    Click(IDC_WAVE_OUT);
    Press(VK_DOWN);
    Press(VK_RETURN);
    EXPECT_EQ(Text(IDC_WAVE_OUT), "Host Speaker");

    HostCardSpeakerKeep(TRUE);
    Click(IDC_START);
    Advance(300);
    ConduitPlayer player;
    player.Play(RelayFormat(relayState));
    Advance(4000);
    Click(IDC_START);
    EXPECT_EQ(ButtonLog(), (Texts{"disabled", "Stop", "enabled", "disabled", "Start", "enabled"}));
    player.End();
    DWORD delay = 0;
    player.CheckSpeaker(RelayFormat(relayState), &delay);
    EXPECT_GE(delay, 500u);
    EXPECT_LE(delay, 700u);
}

} // namespace
