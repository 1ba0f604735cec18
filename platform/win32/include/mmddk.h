// Host stand-in for the multimedia driver kit: the messages WinMM sends to
// an installable wave driver's wodMessage and widMessage, the open
// description, and DriverCallback. Byte-packed as the DDK's header, so
// WAVEOPENDESC is 44 bytes on the 64-bit host. On the host the drivers'
// message parameters are pointer-sized (DWORD_PTR), as in the 64-bit
// headers; on i386 they are the 32-bit DWORDs of the product.
#pragma once

#include "mmsystem.h"

#pragma pack(push, 1)

#define DRVM_INIT 100
#define DRVM_EXIT 101
#define DRVM_USER 0x4000
#define WODM_INIT DRVM_INIT
#define WIDM_INIT DRVM_INIT

#define DCB_NULL 0x0000
#define DCB_WINDOW 0x0001
#define DCB_TASK 0x0002
#define DCB_FUNCTION 0x0003
#define DCB_EVENT 0x0005
#define DCB_TYPEMASK 0x0007
#define DCB_NOSWITCH 0x0008

typedef struct waveopendesc_tag {
    HWAVE hWave;
    LPWAVEFORMAT lpFormat;
    DWORD_PTR dwCallback;
    DWORD_PTR dwInstance;
    UINT uMappedDeviceID;
    DWORD_PTR dnDevNode;
} WAVEOPENDESC, *LPWAVEOPENDESC;

#define WODM_GETNUMDEVS 3
#define WODM_GETDEVCAPS 4
#define WODM_OPEN 5
#define WODM_CLOSE 6
#define WODM_PREPARE 7
#define WODM_UNPREPARE 8
#define WODM_WRITE 9
#define WODM_PAUSE 10
#define WODM_RESTART 11
#define WODM_RESET 12
#define WODM_GETPOS 13
#define WODM_GETPITCH 14
#define WODM_SETPITCH 15
#define WODM_GETVOLUME 16
#define WODM_SETVOLUME 17
#define WODM_GETPLAYBACKRATE 18
#define WODM_SETPLAYBACKRATE 19
#define WODM_BREAKLOOP 20

#define WIDM_GETNUMDEVS 50
#define WIDM_GETDEVCAPS 51
#define WIDM_OPEN 52
#define WIDM_CLOSE 53
#define WIDM_PREPARE 54
#define WIDM_UNPREPARE 55
#define WIDM_ADDBUFFER 56
#define WIDM_START 57
#define WIDM_STOP 58
#define WIDM_RESET 59
#define WIDM_GETPOS 60

#pragma pack(pop)

#ifdef __cplusplus
extern "C" {
#endif

// Calls a client back by the type in the low bits of dwFlags (DCB_*).
// Window and thread callbacks post dwMsg with hDevice as wParam and
// dwParam1 as lParam; a function callback is called on the calling thread;
// an event is set. TRUE when a callback was made (or none was asked for).
WINMMAPI BOOL WINAPI DriverCallback(DWORD_PTR dwCallback, DWORD dwFlags, HDRVR hDevice,
                                    DWORD dwMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                                    DWORD_PTR dwParam2);

#ifdef __cplusplus
}
#endif
