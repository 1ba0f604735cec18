// Resource and control identifiers of Tonrelay, shared by the resource
// script, the program and its tests. Plain defines: the resource compiler
// reads this file too.
#pragma once

#define IDD_RELAY 101
#define IDI_RELAY 102

#define IDC_START 1000
#define IDC_WAVE_IN 1001
#define IDC_WAVE_OUT 1002
#define IDC_SAMPLE_RATE 1003
#define IDC_BITS 1005
#define IDC_CHANNELS 1006
#define IDC_TOTAL_BUFFER 1007
#define IDC_BUFFERS 1008
#define IDC_IN_QUEUE 1011
#define IDC_OUT_QUEUE 1014

// Up-down controls are made at run time: IDC_SPIN_BASE + settings row.
#define IDC_SPIN_BASE 0x4000
#define IDC_CHANNELS_SPIN (IDC_SPIN_BASE + 2)
#define IDC_BUFFERS_SPIN (IDC_SPIN_BASE + 4)
