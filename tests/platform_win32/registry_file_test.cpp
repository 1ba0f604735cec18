// The file operations a boot runs after the system-start drivers, which
// the installer's removal of a loaded image relies on.
#include <filesystem>

#include "host/io_control.h"
#include "host/kernel32_control.h"
#include "kept_root.h"
#include "system_fixture.h"

namespace {

constexpr char kSessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr char kIoTest[] = "C:\\WINNT\\SYSTEM32\\DRIVERS\\iotest.sys";

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
