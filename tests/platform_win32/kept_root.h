// A system root that outlives its boots, for tests of what survives a
// restart, with a directory of its own mapped as drive D: (where a user
// would keep an unpacked package). Each boot is in virtual time and each
// shutdown must leave nothing behind.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "host/kernel32_control.h"
#include "host/system_control.h"

class KeptRoot {
public:
    KeptRoot()
    {
        char path[4096];
        EXPECT_TRUE(HostCreateSystemRoot(path, sizeof(path)));
        root_ = path;
        drive_ = root_.string() + "-D";
        std::filesystem::create_directories(drive_);
    }

    ~KeptRoot()
    {
        HostK32MapDrive('D', nullptr);
        HostDeleteSystemRoot(root_.c_str());
        std::filesystem::remove_all(drive_);
    }

    KeptRoot(const KeptRoot&) = delete;
    KeptRoot& operator=(const KeptRoot&) = delete;

    void Boot()
    {
        const HOST_BOOT_OPTIONS options{HostKeClockVirtual, 0, root_.c_str(), HostWindowsNt4ToXp};
        ASSERT_EQ(HostBoot(&options), STATUS_SUCCESS);
        HostK32MapDrive('D', drive_.c_str());
    }

    void Shutdown()
    {
        HOST_LEFTOVERS left{};
        char text[1024];
        const NTSTATUS status = HostShutdown(&left);
        HostDescribeLeftovers(&left, text, sizeof(text));
        EXPECT_EQ(status, STATUS_SUCCESS) << text;
    }

    void Reboot()
    {
        Shutdown();
        Boot();
    }

    // Moves a file of the fresh root (a link into the build tree) to D:.
    void MoveToDrive(const char* relative) const
    {
        const std::filesystem::path file = root_ / relative;
        std::filesystem::copy_file(file, drive_ / file.filename());
        std::filesystem::remove(file);
    }

    const std::filesystem::path& Root() const { return root_; }
    const std::filesystem::path& Drive() const { return drive_; }

private:
    std::filesystem::path root_;
    std::filesystem::path drive_;
};
