// The registry calls and the installer's file calls through their public
// interface: Windows' result codes and rights, WinMM reading its drivers
// from the registry, images in use, and the file operations a boot runs
// after the system-start drivers.
#include <filesystem>
#include <fstream>

#include "host/advapi32_control.h"
#include "host/io_control.h"
#include "host/kernel32_control.h"
#include "host/winmm_control.h"
#include "system_fixture.h"

namespace {

constexpr char kDrivers32[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";
constexpr char kSessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr char kIoTest[] = "C:\\WINNT\\SYSTEM32\\DRIVERS\\iotest.sys";

using RegistryTest = SystemFixture;

LONG SetText(HKEY key, const char* name, const char* text)
{
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                          DWORD(strlen(text) + 1));
}

TEST_F(RegistryTest, CallsFollowWindowsRulesAndWinmmReadsTheDriverList)
{
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nothing", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDrivers32, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                            &key),
              ERROR_SUCCESS);
    ASSERT_EQ(SetText(key, "wave", "testwave.dll"), ERROR_SUCCESS);
    ASSERT_EQ(SetText(key, "midi", "other.drv"), ERROR_SUCCESS);

    // Sizes: none asked, too small, enough; names count their NUL going in.
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "WAVE", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_SZ));
    EXPECT_EQ(size, 13u);
    BYTE data[16];
    size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "wave", nullptr, nullptr, data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 13u);
    char name[8];
    DWORD nameLength = 4;
    size = sizeof(data);
    EXPECT_EQ(RegEnumValueA(key, 1, name, &nameLength, nullptr, &type, data, &size),
              ERROR_MORE_DATA);
    nameLength = 5;
    EXPECT_EQ(RegEnumValueA(key, 1, name, &nameLength, nullptr, &type, data, &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, "midi");
    EXPECT_EQ(nameLength, 4u);
    EXPECT_STREQ(reinterpret_cast<char*>(data), "other.drv");
    nameLength = sizeof(name);
    EXPECT_EQ(RegEnumValueA(key, 2, name, &nameLength, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegDeleteValueA(key, "MIDI"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "midi"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(key, "midi", nullptr, nullptr, nullptr, nullptr),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);

    // Every user reads; only administrators change, with a key opened to.
    HOST_PROCESS_OPTIONS limited{"user", TRUE, nullptr, nullptr};
    PEPROCESS user = Start(&limited);
    {
        InProcess scope(user);
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDrivers32, 0, KEY_SET_VALUE, &key),
                  ERROR_ACCESS_DENIED);
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDrivers32, 0, KEY_QUERY_VALUE, &key),
                  ERROR_SUCCESS);
        EXPECT_EQ(SetText(key, "wave1", "x.dll"), ERROR_ACCESS_DENIED);
        EXPECT_EQ(RegDeleteValueA(key, "wave"), ERROR_ACCESS_DENIED);
        // WinMM reads the same list: testwave.dll has two Out devices.
        EXPECT_EQ(waveOutGetNumDevs(), 2u);
        EXPECT_EQ(HostRegOpenKeyCount(GetCurrentProcessId()), 1u);
    }
    const DWORD userId = DWORD(reinterpret_cast<ULONG_PTR>(PsGetProcessId(user)));
    ASSERT_EQ(HostEndProcess(user, 0), STATUS_SUCCESS);
    EXPECT_EQ(HostRegOpenKeyCount(userId), 0u);
}

// Boots on a root of its own that outlives each boot, with drive D: mapped.
class FileTest : public SystemFixture {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(HostCreateSystemRoot(root_, sizeof(root_)));
        drive_ = std::filesystem::path(root_).parent_path() /
                 (std::filesystem::path(root_).filename().string() + "-D");
        std::filesystem::create_directories(drive_);
        std::filesystem::copy_file(std::filesystem::path(root_) / "System32/Drivers/iotest.sys",
                                   drive_ / "iotest.sys");
        std::filesystem::remove(std::filesystem::path(root_) / "System32/Drivers/iotest.sys");
        Boot();
    }

    void TearDown() override
    {
        HOST_LEFTOVERS left{};
        EXPECT_EQ(HostShutdown(&left), STATUS_SUCCESS) << Describe(left);
        HostK32MapDrive('D', nullptr);
        HostDeleteSystemRoot(root_);
        std::filesystem::remove_all(drive_);
    }

    void Boot()
    {
        HOST_BOOT_OPTIONS options{HostKeClockVirtual, 0, root_};
        ASSERT_EQ(HostBoot(&options), STATUS_SUCCESS);
        HostK32MapDrive('d', drive_.c_str());
    }

    void Reboot()
    {
        HOST_LEFTOVERS left{};
        EXPECT_EQ(HostShutdown(&left), STATUS_SUCCESS) << Describe(left);
        Boot();
    }

    std::filesystem::path InRoot(const char* path) const
    {
        return std::filesystem::path(root_) / path;
    }

    char root_[4096];
    std::filesystem::path drive_;
};

#define EXPECT_FAILS(call, error)                    \
    do {                                             \
        SetLastError(0);                             \
        EXPECT_FALSE(call);                          \
        EXPECT_EQ(GetLastError(), DWORD(error));     \
    } while (0)

TEST_F(FileTest, CopyDeleteAndImagesInUseAsWindowsAnswers)
{
    char directory[MAX_PATH];
    ASSERT_EQ(GetSystemDirectoryA(directory, 4), 18u);
    ASSERT_EQ(GetSystemDirectoryA(directory, sizeof(directory)), 17u);
    EXPECT_STREQ(directory, "C:\\WINNT\\system32");

    // Names match without case; the file lands where the loader looks.
    ASSERT_TRUE(CopyFileA("D:\\IOTEST.sys", kIoTest, TRUE));
    EXPECT_TRUE(std::filesystem::is_regular_file(InRoot("System32/Drivers/iotest.sys")));
    EXPECT_EQ(GetFileAttributesA(kIoTest), DWORD(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_FAILS(CopyFileA("D:\\iotest.sys", kIoTest, TRUE), ERROR_FILE_EXISTS);
    EXPECT_FAILS(CopyFileA("D:\\none.sys", kIoTest, FALSE), ERROR_FILE_NOT_FOUND);
    EXPECT_FAILS(CopyFileA("D:\\iotest.sys", "C:\\WINNT\\none\\x.sys", FALSE),
                 ERROR_PATH_NOT_FOUND);
    EXPECT_FAILS(CopyFileA("E:\\iotest.sys", kIoTest, FALSE), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(GetFileAttributesA("C:\\WINNT\\system32\\none.dll"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));

    HOST_PROCESS_OPTIONS limited{"user", TRUE, nullptr, nullptr};
    PEPROCESS user = Start(&limited);
    {
        InProcess scope(user);
        EXPECT_FAILS(CopyFileA("D:\\iotest.sys", kIoTest, FALSE), ERROR_ACCESS_DENIED);
        EXPECT_FAILS(DeleteFileA(kIoTest), ERROR_ACCESS_DENIED);
        EXPECT_FAILS(MoveFileExA(kIoTest, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT),
                     ERROR_ACCESS_DENIED);
    }
    ASSERT_EQ(HostEndProcess(user, 0), STATUS_SUCCESS);

    // A loaded driver's image and a process's module can be neither
    // overwritten nor deleted.
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = CreateServiceA(manager, "IoTest", "IoTest", SERVICE_ALL_ACCESS,
                                       SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                       SERVICE_ERROR_NORMAL,
                                       "\\SystemRoot\\System32\\Drivers\\iotest.sys", "Base",
                                       nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(StartServiceA(service, 0, nullptr));
    EXPECT_FAILS(CopyFileA("D:\\iotest.sys", kIoTest, FALSE), ERROR_SHARING_VIOLATION);
    EXPECT_FAILS(DeleteFileA("c:\\winnt\\system32\\drivers\\IOTEST.SYS"), ERROR_ACCESS_DENIED);
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(CopyFileA("D:\\iotest.sys", kIoTest, FALSE));
    EXPECT_TRUE(DeleteService(service));
    EXPECT_TRUE(CloseServiceHandle(service));
    EXPECT_TRUE(CloseServiceHandle(manager));

    HMODULE module = LoadLibraryA("testwave.dll");
    ASSERT_NE(module, nullptr);
    EXPECT_FAILS(DeleteFileA("C:\\WINNT\\system32\\testwave.dll"), ERROR_ACCESS_DENIED);
    ASSERT_TRUE(FreeLibrary(module));
    EXPECT_TRUE(DeleteFileA("C:\\WINNT\\system32\\testwave.dll"));
    EXPECT_FAILS(DeleteFileA("C:\\WINNT\\system32\\testwave.dll"), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(DeleteFileA(kIoTest));
}

TEST_F(FileTest, ABootLoadsSystemStartDriversBeforeItRunsTheFileOperationsKeptForIt)
{
    ASSERT_TRUE(CopyFileA("D:\\iotest.sys", kIoTest, FALSE));
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = CreateServiceA(manager, "IoTest", "IoTest", SERVICE_ALL_ACCESS,
                                       SERVICE_KERNEL_DRIVER, SERVICE_SYSTEM_START,
                                       SERVICE_ERROR_NORMAL,
                                       "\\SystemRoot\\System32\\Drivers\\iotest.sys", "Base",
                                       nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(service, nullptr);
    EXPECT_TRUE(CloseServiceHandle(service));
    EXPECT_TRUE(CloseServiceHandle(manager));
    ASSERT_TRUE(CopyFileA("D:\\iotest.sys", "C:\\WINNT\\iotest.old", FALSE));
    ASSERT_TRUE(MoveFileExA(kIoTest, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(MoveFileExA("C:\\WINNT\\iotest.old", "C:\\WINNT\\iotest.new",
                            MOVEFILE_DELAY_UNTIL_REBOOT));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS);
    char list[512];
    DWORD size = sizeof(list);
    ASSERT_EQ(RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, nullptr,
                               reinterpret_cast<BYTE*>(list), &size),
              ERROR_SUCCESS);
    const std::string kept(list, size);
    EXPECT_EQ(kept, std::string("\\??\\") + kIoTest + '\0' + '\0' +
                        "\\??\\C:\\WINNT\\iotest.old" + '\0' + "\\??\\C:\\WINNT\\iotest.new" +
                        '\0' + '\0');
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_TRUE(std::filesystem::exists(InRoot("System32/Drivers/iotest.sys")));

    Reboot();
    // The driver loaded from the file before the file went.
    EXPECT_TRUE(HostIoObjectExistsA("\\Device\\IoTest"));
    EXPECT_FALSE(std::filesystem::exists(InRoot("System32/Drivers/iotest.sys")));
    EXPECT_TRUE(std::filesystem::exists(InRoot("iotest.new")));
    EXPECT_FALSE(std::filesystem::exists(InRoot("iotest.old")));
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, nullptr, nullptr,
                               nullptr),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

}  // namespace
