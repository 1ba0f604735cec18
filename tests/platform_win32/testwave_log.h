// What the test wave driver records, shared by the driver image and the
// tests. Each process's copy of the image keeps its own log.
#pragma once

#include <windows.h>

enum TestWaveEntryPoint { TestWaveDriverProc, TestWaveOut, TestWaveIn };

struct TestWaveCall {
    int entry;              // TestWaveEntryPoint
    UINT device;
    UINT message;
    DWORD_PTR user;
    DWORD_PTR param1;
    DWORD_PTR param2;
};

struct TestWaveLog {
    int count;
    TestWaveCall calls[64];
};

// DriverProc message that makes the driver copy every later call into a
// log of the caller's (lParam1), which outlives the driver's image.
#define TESTWAVE_MIRROR (DRV_USER + 1)
// A rate the driver refuses (WAVERR_BADFORMAT), unless it was built to take it.
#define TESTWAVE_REFUSED_RATE 11111

typedef TestWaveLog* (*TESTWAVE_GET_LOG)(void);
