// Tonrelay's program start and its one modal dialog: device lists, the five
// settings, the Start/Stop button and the two queue bars.
//
//   relay state  button text  button    settings controls  close (IDCANCEL)
//   Stopped      "Start"      enabled   enabled            ends the dialog, result 0
//   Starting     "Start"      disabled  enabled            (within one command)
//   Running      "Stop"       enabled   disabled           ignored
//   Stopping     "Stop"       disabled  disabled           ignored
//
// Everything here runs on the program's main thread. A typed value reaches
// relayState only when its control loses the focus, and only while no run
// is in progress, as the controls are locked during a run.
#include "relay_dialog.h"

#include <commctrl.h>

#include "relay_engine.h"
#include "resource.h"

namespace {

HINSTANCE programInstance;
HWND dialogWindow;      // stored on every call of the dialog procedure
HICON programIcon;

// One numeric setting: its control, its field and the inclusive range the
// dialog admits. A row with an up-down gets one made at initialisation, with
// the identifier IDC_SPIN_BASE + row.
struct SettingField {
    int control;
    int RelayState::*field;
    int minimum;
    int maximum;
    bool upDown;
};

constexpr SettingField settingFields[] = {
    {IDC_SAMPLE_RATE, &RelayState::sampleRate, 50, 262144, false},
    {IDC_BITS, &RelayState::bitsPerSample, 8, 32, false},
    {IDC_CHANNELS, &RelayState::channels, 1, 256, true},
    {IDC_TOTAL_BUFFER, &RelayState::totalBufferMs, 5, 10000, false},
    {IDC_BUFFERS, &RelayState::bufferCount, 1, 64, true},
};
static_assert(settingFields[IDC_CHANNELS_SPIN - IDC_SPIN_BASE].control == IDC_CHANNELS);
static_assert(settingFields[IDC_BUFFERS_SPIN - IDC_SPIN_BASE].control == IDC_BUFFERS);

// A setting's text is read up to this length; a longer one is refused.
constexpr int SettingTextLength = 9;

// Locked during a run, in this order; an up-down goes with its buddy.
constexpr int lockedControls[] = {
    IDC_WAVE_IN, IDC_WAVE_OUT, IDC_SAMPLE_RATE, IDC_BITS, IDC_CHANNELS, IDC_TOTAL_BUFFER,
    IDC_BUFFERS,
};

struct Suggestions {
    int control;
    const int* values;
    int count;
};
constexpr int sampleRates[] = {5000, 8000, 11025, 22050, 44100, 48000, 96000};
constexpr int sampleBits[] = {8, 16, 18, 20, 22, 24};
constexpr int totalBuffers[] = {50, 100, 200, 400, 800, 1000, 2000, 4000, 8000};
constexpr Suggestions suggestionLists[] = {
    {IDC_SAMPLE_RATE, sampleRates, ARRAYSIZE(sampleRates)},
    {IDC_BITS, sampleBits, ARRAYSIZE(sampleBits)},
    {IDC_TOTAL_BUFFER, totalBuffers, ARRAYSIZE(totalBuffers)},
};

int DeviceList(RelayDirection direction)
{
    return direction == RelayInput ? IDC_WAVE_IN : IDC_WAVE_OUT;
}

VOID SetControlText(int control, const char* text)
{
    SendDlgItemMessageA(dialogWindow, control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

VOID SetControlNumber(int control, int value)
{
    char text[16];
    wsprintfA(text, "%d", value);
    SetControlText(control, text);
}

// The settings controls, each with its up-down, enabled or disabled in list order.
VOID EnableSettings(BOOL enable)
{
    for (int control : lockedControls) {
        EnableWindow(GetDlgItem(dialogWindow, control), enable);
        for (int row = 0; row < int(ARRAYSIZE(settingFields)); ++row) {
            if (settingFields[row].control == control && settingFields[row].upDown) {
                EnableWindow(GetDlgItem(dialogWindow, IDC_SPIN_BASE + row), enable);
            }
        }
    }
}

// Disabling the focused Start/Stop button leaves no window with the focus,
// and the keyboard dead; once the button is enabled again it takes the
// focus back.
VOID EnableStartButton()
{
    const HWND button = GetDlgItem(dialogWindow, IDC_START);
    EnableWindow(button, TRUE);
    if (GetFocus() == nullptr) {
        SendMessageA(dialogWindow, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(button), TRUE);
    }
}

// The dialog's controls as the relay engine sees them.
class DialogRelaySide final : public RelayDialogSide {
public:
    UINT SelectedDevice(RelayDirection direction) override
    {
        // CB_ERR (-1) when nothing is selected: WAVE_MAPPER.
        return UINT(SendDlgItemMessageA(dialogWindow, DeviceList(direction), CB_GETCURSEL, 0, 0));
    }

    VOID DeviceText(RelayDirection direction, char* text) override
    {
        text[0] = '\0';
        SendDlgItemMessageA(dialogWindow, DeviceList(direction), WM_GETTEXT,
                            RelayDeviceTextSize, reinterpret_cast<LPARAM>(text));
        text[RelayDeviceTextSize - 1] = '\0';
    }

    HWND Window() override { return dialogWindow; }

    HWND QueueBar(RelayDirection direction) override
    {
        return GetDlgItem(dialogWindow, direction == RelayInput ? IDC_IN_QUEUE : IDC_OUT_QUEUE);
    }

    VOID ShowRunning() override
    {
        EnableSettings(FALSE);
        SetControlText(IDC_START, "Stop");
    }

    VOID ShowStopped() override
    {
        SetControlText(IDC_START, "Start");
        EnableSettings(TRUE);
        EnableStartButton();
    }
};

constinit DialogRelaySide dialogSide;

// Every device WinMM reports, in device-number order; one whose capabilities
// cannot be read gets an empty entry, so that positions stay device numbers.
template <typename Caps, typename GetCaps>
VOID FillDeviceList(int list, UINT count, GetCaps getCaps)
{
    for (UINT device = 0; device < count; ++device) {
        Caps caps;
        if (getCaps(device, &caps, sizeof(caps)) != MMSYSERR_NOERROR) {
            caps.szPname[0] = '\0';
        }
        caps.szPname[MAXPNAMELEN - 1] = '\0';
        SendDlgItemMessageA(dialogWindow, list, CB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>(caps.szPname));
    }
    SendDlgItemMessageA(dialogWindow, list, CB_SETCURSEL, 0, 0);
}

BOOL IsEditControl(HWND control)
{
    char className[10];
    return GetClassNameA(control, className, sizeof(className)) != 0
           && lstrcmpA(className, "Edit") == 0;
}

VOID InitialiseDialog()
{
    PostMessageA(dialogWindow, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(programIcon));
    savedPriorityClass = GetPriorityClass(GetCurrentProcess());
    FillDeviceList<WAVEOUTCAPSA>(IDC_WAVE_OUT, waveOutGetNumDevs(), waveOutGetDevCapsA);
    FillDeviceList<WAVEINCAPSA>(IDC_WAVE_IN, waveInGetNumDevs(), waveInGetDevCapsA);

    for (int row = 0; row < int(ARRAYSIZE(settingFields)); ++row) {
        const SettingField& setting = settingFields[row];
        const int value = relayState.*setting.field;
        const HWND control = GetDlgItem(dialogWindow, setting.control);
        SetControlNumber(setting.control, value);
        if (setting.upDown && IsEditControl(control)) {
            CreateUpDownControl(WS_CHILD | WS_VISIBLE | UDS_SETBUDDYINT | UDS_ALIGNRIGHT
                                    | UDS_NOTHOUSANDS,
                                0, 0, 0, 0, dialogWindow, IDC_SPIN_BASE + row, programInstance,
                                control, setting.maximum, setting.minimum, value);
        }
    }
    for (const Suggestions& list : suggestionLists) {
        for (int i = 0; i < list.count; ++i) {
            char text[16];
            wsprintfA(text, "%d", list.values[i]);
            SendDlgItemMessageA(dialogWindow, list.control, CB_ADDSTRING, 0,
                                reinterpret_cast<LPARAM>(text));
        }
    }
}

// A whole decimal number as "%d%n" takes it, with nothing after it: leading
// white space and one sign are admitted. The text is at most
// SettingTextLength characters, so the value cannot overflow.
BOOL ScanSettingValue(const char* text, int* value)
{
    const char* at = text;
    while (*at == ' ' || (*at >= '\t' && *at <= '\r')) {
        ++at;
    }
    const BOOL negative = *at == '-';
    if (*at == '-' || *at == '+') {
        ++at;
    }
    const char* digits = at;
    int number = 0;
    while (*at >= '0' && *at <= '9') {
        number = number * 10 + (*at - '0');
        ++at;
    }
    const BOOL taken = at != digits && *at == '\0';
    if (taken) {
        *value = negative ? -number : number;
    }
    return taken;
}

// Kill-focus of a settings control: a whole number within the row's range is
// stored; any other text but an empty one is replaced by the stored value.
VOID CommitSetting(int control, int notification)
{
    for (const SettingField& setting : settingFields) {
        if (setting.control == control
            && (notification == CBN_KILLFOCUS || notification == EN_KILLFOCUS)) {
            // One character more than is read, to see a longer text.
            char text[SettingTextLength + 2];
            const LRESULT length = SendDlgItemMessageA(dialogWindow, control, WM_GETTEXT,
                                                       sizeof(text), reinterpret_cast<LPARAM>(text));
            int value = 0;
            if (length <= SettingTextLength && ScanSettingValue(text, &value)
                && value >= setting.minimum && value <= setting.maximum) {
                relayState.*setting.field = value;
            } else if (length != 0) {
                SetControlNumber(control, relayState.*setting.field);
            }
        }
    }
}

// The button is disabled while it acts; after Stop it stays so until the
// run has ended.
VOID PressStartStop()
{
    EnableWindow(GetDlgItem(dialogWindow, IDC_START), FALSE);
    if ((RelayFlags() & RELAY_RUNNING) != 0) {
        RequestRelayStop();
    } else {
        StartRelay(dialogSide);
    }
    if ((RelayFlags() & RELAY_STOPPING) == 0) {
        EnableStartButton();
    }
}

VOID OnCommand(int control, int notification)
{
    if (control == IDCANCEL) {
        // Closing waits for the end of a run, or of a stop in progress.
        if ((RelayFlags() & RELAY_RUNNING) == 0) {
            EndDialog(dialogWindow, 0);
        }
    } else if (control == IDC_START) {
        PressStartStop();
    } else {
        CommitSetting(control, notification);
    }
}

} // namespace

INT_PTR CALLBACK RelayDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    INT_PTR handled = TRUE;
    dialogWindow = window;
    switch (message) {
    case WM_INITDIALOG:
        // TRUE: the system gives the focus to the first tab stop, Start/Stop.
        InitialiseDialog();
        break;
    case WM_COMMAND:
        OnCommand(LOWORD(wParam), HIWORD(wParam));
        break;
    case WM_RELAY_ENDED:
        OnRelayEnded(dialogSide);
        break;
    default:
        handled = FALSE;
        break;
    }
    return handled;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    InitCommonControls();
    programInstance = instance;
    relayState = RelayInitialState;
    InitialiseRelayEngine();
    programIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_RELAY));
    return int(DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_RELAY), nullptr, RelayDialogProc, 0));
}
