// Applications of the loaded tonwave and tonkern, through WinMM as they use
// it. Each test boots the host system in virtual time on its own root, lists
// tonwave.dll as the wave driver, installs tonkern with tonwave's own
// DRV_INSTALL, and ends with a clean shutdown.
#pragma once

#include <gtest/gtest.h>

#include "host/ke_control.h"
#include "host/system_control.h"
#include "host/user32_control.h"
#include "host/winmm_control.h"
#include "wave_app.h"

class WaveFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        const HOST_BOOT_OPTIONS options{HostKeClockVirtual, 0, nullptr, HostWindowsNt4ToXp};
        ASSERT_EQ(HostBoot(&options), STATUS_SUCCESS);
        ASSERT_TRUE(HostWinmmSetDriver("wave", "tonwave.dll"));
        LRESULT installed = 0;
        App setup("setup");
        setup.Do([&] { installed = SendToTonwave(DRV_INSTALL); });
        ASSERT_EQ(installed, DRVCNF_OK);
        HostUser32ClearMessageBoxes();
    }

    void TearDown() override
    {
        HOST_LEFTOVERS left{};
        char text[1024];
        EXPECT_EQ(HostShutdown(&left), STATUS_SUCCESS)
            << (HostDescribeLeftovers(&left, text, sizeof(text)), text);
    }

    // Moves virtual time and lets every callback it causes run.
    static void Play(ULONG ms)
    {
        HostKeAdvanceClockMs(ms);
        HostWaitForQuiet();
    }

    static std::vector<HOST_MESSAGE_BOX> Boxes()
    {
        std::vector<HOST_MESSAGE_BOX> boxes(HostUser32MessageBoxCount());
        for (ULONG i = 0; i < boxes.size(); ++i) {
            HostUser32GetMessageBox(i, &boxes[i]);
        }
        return boxes;
    }
};
