// The registry calls and the installer's file calls through their public
// interface: Windows' result codes and rights, WinMM reading its drivers
// from the registry, images in use, and the file operations a boot runs
// after the system-start drivers.
#include <filesystem>

#include "host/advapi32_control.h"
#include "host/io_control.h"
#include "host/kernel32_control.h"
#include "host/winmm_control.h"
#include "kept_root.h"
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

// Boots on a root that outlives each boot; iotest.sys lies on D:.
class FileTest : public SystemFixture {
protected:
    void SetUp() override
    {
        root_.MoveToDrive("System32/Drivers/iotest.sys");
        root_.Boot();
    }

    void TearDown() override { root_.Shutdown(); }

    std::filesystem::path InRoot(const char* path) const { return root_.Root() / path; }

    KeptRoot root_;
};

SC_HANDLE CreateIoTest(SC_HANDLE manager, DWORD start)
{
    return CreateServiceA(manager, "IoTest", "IoTest", SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                          start, SERVICE_ERROR_NORMAL,
                          "\\SystemRoot\\System32\\Drivers\\iotest.sys", "Base", nullptr,
                          nullptr, nullptr, nullptr);
}

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
    SC_HANDLE service = CreateIoTest(manager, SERVICE_DEMAND_START);
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
    SC_HANDLE service = CreateIoTest(manager, SERVICE_SYSTEM_START);
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

    root_.Reboot();
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
