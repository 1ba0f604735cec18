// A small installable wave driver for the WinMM tests. It logs every call,
// answers device counts and capabilities, leaves preparation to WinMM, keeps
// queued headers until a reset returns them done, and calls its clients back
// through DriverCallback. Variants: TESTWAVE_OUT/TESTWAVE_IN devices,
// TESTWAVE_TAKES_REFUSED_RATE, TESTWAVE_REFUSE_LOAD.
#include <windows.h>
#include <mmddk.h>

#include <cstring>
#include <vector>

#include "testwave_log.h"

namespace {

TestWaveLog log;
TestWaveLog* mirror = nullptr;
DWORD bytesQueued = 0;

struct Instance {
    int direction;
    HWAVE handle;
    DWORD_PTR callback;
    DWORD_PTR user;
    DWORD flags;
    std::vector<LPWAVEHDR> queued;
};

void Record(int entry, UINT device, UINT message, DWORD_PTR user, DWORD_PTR param1,
            DWORD_PTR param2)
{
    for (TestWaveLog* target : {&log, mirror}) {
        if (target != nullptr && target->count < 64) {
            target->calls[target->count++] = TestWaveCall{entry, device, message, user, param1,
                                                         param2};
        }
    }
}

void Notify(const Instance& instance, UINT outMessage, UINT inMessage, DWORD_PTR param1)
{
    DriverCallback(instance.callback, HIWORD(instance.flags), reinterpret_cast<HDRVR>(instance.handle),
                   instance.direction == TestWaveIn ? inMessage : outMessage, instance.user, param1,
                   0);
}

DWORD Message(int direction, UINT device, UINT message, DWORD_PTR user, DWORD_PTR param1,
              DWORD_PTR param2)
{
    Record(direction, device, message, user, param1, param2);
    const bool out = direction == TestWaveOut;
    Instance* instance = reinterpret_cast<Instance*>(user);
    switch (out ? message : message - (WIDM_GETNUMDEVS - WODM_GETNUMDEVS)) {
    case WODM_GETNUMDEVS:
        return out ? TESTWAVE_OUT : TESTWAVE_IN;
    case WODM_GETDEVCAPS: {
        WAVEOUTCAPSW caps{};
        wsprintfW(caps.szPname, reinterpret_cast<LPCWSTR>(u"Test %s %u"),
                  reinterpret_cast<LPCWSTR>(out ? u"Out" : u"In"), device);
        caps.dwFormats = WAVE_FORMAT_1M16;
        caps.wChannels = 2;
        const size_t full = out ? sizeof(WAVEOUTCAPSW) : sizeof(WAVEINCAPSW);
        memcpy(reinterpret_cast<void*>(param1), &caps, param2 < full ? param2 : full);
        return MMSYSERR_NOERROR;
    }
    case WODM_OPEN: {
        const WAVEOPENDESC* description = reinterpret_cast<const WAVEOPENDESC*>(param1);
        const WAVEFORMAT* format = description->lpFormat;
        if (format->wFormatTag != WAVE_FORMAT_PCM ||
            (format->nSamplesPerSec == TESTWAVE_REFUSED_RATE && !TESTWAVE_TAKES_REFUSED_RATE)) {
            return WAVERR_BADFORMAT;
        }
        if (param2 & WAVE_FORMAT_QUERY) {
            return MMSYSERR_NOERROR;
        }
        Instance* opened = new Instance{direction, description->hWave, description->dwCallback,
                                        description->dwInstance, DWORD(param2), {}};
        *reinterpret_cast<DWORD_PTR*>(user) = reinterpret_cast<DWORD_PTR>(opened);
        Notify(*opened, WOM_OPEN, WIM_OPEN, 0);
        return MMSYSERR_NOERROR;
    }
    case WODM_CLOSE:
        if (!instance->queued.empty()) {
            return WAVERR_STILLPLAYING;
        }
        Notify(*instance, WOM_CLOSE, WIM_CLOSE, 0);
        delete instance;
        return MMSYSERR_NOERROR;
    case WODM_WRITE: {
        LPWAVEHDR header = reinterpret_cast<LPWAVEHDR>(param1);
        header->dwFlags = (header->dwFlags & ~DWORD(WHDR_DONE)) | WHDR_INQUEUE;
        instance->queued.push_back(header);
        bytesQueued += header->dwBufferLength;
        return MMSYSERR_NOERROR;
    }
    case WODM_RESET:
        for (LPWAVEHDR header : instance->queued) {
            header->dwFlags = (header->dwFlags & ~DWORD(WHDR_INQUEUE)) | WHDR_DONE;
            Notify(*instance, WOM_DONE, WIM_DATA, reinterpret_cast<DWORD_PTR>(header));
        }
        instance->queued.clear();
        return MMSYSERR_NOERROR;
    case WODM_GETPOS: {
        LPMMTIME time = reinterpret_cast<LPMMTIME>(param1);
        time->wType = TIME_BYTES;
        time->u.cb = bytesQueued;
        return MMSYSERR_NOERROR;
    }
    case WODM_PAUSE:
    case WODM_RESTART:
    case WODM_BREAKLOOP:
        return MMSYSERR_NOERROR;
    default:
        // DRVM_INIT, PREPARE and UNPREPARE among them.
        return MMSYSERR_NOTSUPPORTED;
    }
}

}  // namespace

extern "C" {

LRESULT WINAPI DriverProc(DWORD_PTR dwDriverId, HDRVR hdrvr, UINT msg, LPARAM lParam1,
                          LPARAM lParam2)
{
    Record(TestWaveDriverProc, 0, msg, dwDriverId, DWORD_PTR(lParam1), DWORD_PTR(lParam2));
    switch (msg) {
    case DRV_LOAD:
        return TESTWAVE_REFUSE_LOAD ? 0 : 1;
    case DRV_OPEN:
        return 0x51;
    case DRV_CLOSE:
        return 1;
    case TESTWAVE_MIRROR:
        mirror = reinterpret_cast<TestWaveLog*>(lParam1);
        return 1;
    default:
        return DefDriverProc(dwDriverId, hdrvr, msg, lParam1, lParam2);
    }
}

DWORD WINAPI wodMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                        DWORD_PTR dwParam2)
{
    return Message(TestWaveOut, uDeviceID, uMsg, dwUser, dwParam1, dwParam2);
}

DWORD WINAPI widMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                        DWORD_PTR dwParam2)
{
    return Message(TestWaveIn, uDeviceID, uMsg, dwUser, dwParam1, dwParam2);
}

TestWaveLog* TestWaveGetLog(void)
{
    return &log;
}

}  // extern "C"
