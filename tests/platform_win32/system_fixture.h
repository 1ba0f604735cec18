// Shared set-up of the Win32 stand-in tests: each test boots the host system
// in virtual time on its own scratch root and shuts it down clean.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include "host/system_control.h"

#include "client_text.h"

// FALSE (or NULL) with this last error.
#define EXPECT_FAILS(call, error)                    \
    do {                                             \
        SetLastError(0);                             \
        EXPECT_FALSE(call);                          \
        EXPECT_EQ(GetLastError(), DWORD(error));     \
    } while (0)

inline std::string Describe(const HOST_LEFTOVERS& left)
{
    char text[1024];
    HostDescribeLeftovers(&left, text, sizeof(text));
    return text;
}

class SystemFixture : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(HostBoot(nullptr), STATUS_SUCCESS); }

    void TearDown() override
    {
        HOST_LEFTOVERS left{};
        EXPECT_EQ(HostShutdown(&left), STATUS_SUCCESS) << Describe(left);
    }

    using InProcess = HostInProcess;

    static PEPROCESS Start(const HOST_PROCESS_OPTIONS* options = nullptr)
    {
        PEPROCESS process = nullptr;
        EXPECT_EQ(HostStartProcess(options, &process), STATUS_SUCCESS);
        return process;
    }
};
