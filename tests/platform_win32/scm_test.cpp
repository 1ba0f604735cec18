// The service control manager through its public calls: Windows' error
// codes, rights, deletion, and a database that outlives a shutdown.
#include "host/failure_control.h"
#include "host/io_control.h"
#include "host/kernel32_control.h"
#include "system_fixture.h"

namespace {

constexpr char kIoTest[] = "\\SystemRoot\\System32\\Drivers\\iotest.sys";

using ScmTest = SystemFixture;

SC_HANDLE Create(SC_HANDLE manager, const char* name, DWORD start = SERVICE_DEMAND_START,
                 const char* image = kIoTest)
{
    return CreateServiceA(manager, name, name, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, start,
                          SERVICE_ERROR_NORMAL, image, "Base", nullptr, nullptr, nullptr, nullptr);
}

TEST_F(ScmTest, CallsAnswerWithWindowsErrorCodes)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    SC_HANDLE service = Create(manager, "IoTest");
    ASSERT_NE(service, nullptr);
    SERVICE_STATUS status{};
    EXPECT_FAILS(Create(manager, "iotest"), ERROR_SERVICE_EXISTS);
    EXPECT_FAILS(OpenServiceA(manager, "Nothing", SERVICE_ALL_ACCESS),
                 ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_FAILS(ControlService(service, SERVICE_CONTROL_STOP, &status), ERROR_SERVICE_NOT_ACTIVE);
    ASSERT_TRUE(StartServiceW(service, 0, nullptr));
    EXPECT_TRUE(HostIoObjectExistsA("\\Device\\IoTest"));
    EXPECT_FAILS(StartServiceA(service, 0, nullptr), ERROR_SERVICE_ALREADY_RUNNING);
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status));
    EXPECT_EQ(status.dwCurrentState, DWORD(SERVICE_RUNNING));
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(status.dwCurrentState, DWORD(SERVICE_STOPPED));
    EXPECT_FALSE(HostIoObjectExistsA("\\Device\\IoTest"));

    // A deleted service is marked, and goes with its last handle.
    ASSERT_TRUE(DeleteService(service));
    EXPECT_FAILS(DeleteService(service), ERROR_SERVICE_MARKED_FOR_DELETE);
    EXPECT_FAILS(StartServiceA(service, 0, nullptr), ERROR_SERVICE_MARKED_FOR_DELETE);
    EXPECT_FAILS(Create(manager, "IoTest"), ERROR_SERVICE_MARKED_FOR_DELETE);
    ASSERT_TRUE(CloseServiceHandle(service));
    EXPECT_FAILS(OpenServiceA(manager, "IoTest", SERVICE_ALL_ACCESS), ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_FAILS(CloseServiceHandle(service), ERROR_INVALID_HANDLE);

    // A driver that cannot load gives NT's Win32 error for its status.
    service = Create(manager, "Missing", SERVICE_DEMAND_START,
                     "\\SystemRoot\\System32\\Drivers\\missing.sys");
    EXPECT_FAILS(StartServiceA(service, 0, nullptr), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(DeleteService(service));
    EXPECT_TRUE(CloseServiceHandle(service));
    service = Create(manager, "IoTest");
    HostIoFailNth(HostIoFailCreateDevice, 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FAILS(StartServiceA(service, 0, nullptr), ERROR_NO_SYSTEM_RESOURCES);
    ASSERT_TRUE(QueryServiceStatus(service, &status));
    EXPECT_EQ(status.dwWin32ExitCode, DWORD(ERROR_NO_SYSTEM_RESOURCES));
    HostFailNth(HostFailQueryServiceStatus, 1, ERROR_ACCESS_DENIED);
    EXPECT_FAILS(QueryServiceStatus(service, &status), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(DeleteService(service));
    EXPECT_TRUE(CloseServiceHandle(service));
    EXPECT_TRUE(CloseServiceHandle(manager));
}

TEST_F(ScmTest, ALimitedUserMayLookButNotChange)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = Create(manager, "IoTest");
    ASSERT_NE(service, nullptr);
    HOST_PROCESS_OPTIONS options{"user", TRUE, nullptr, nullptr};
    PEPROCESS user = Start(&options);
    {
        InProcess scope(user);
        EXPECT_FAILS(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), ERROR_ACCESS_DENIED);
        SC_HANDLE looking = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        ASSERT_NE(looking, nullptr);
        EXPECT_FAILS(CloseServiceHandle(manager), ERROR_INVALID_HANDLE);   // not its handle
        EXPECT_FAILS(OpenServiceA(looking, "IoTest", SERVICE_ALL_ACCESS), ERROR_ACCESS_DENIED);
        SC_HANDLE query = OpenServiceA(looking, "IoTest", SERVICE_QUERY_STATUS);
        SERVICE_STATUS status;
        EXPECT_TRUE(QueryServiceStatus(query, &status));
        DWORD needed = 0;
        EXPECT_FAILS(QueryServiceConfigA(query, nullptr, 0, &needed), ERROR_ACCESS_DENIED);
        EXPECT_FAILS(StartServiceA(query, 0, nullptr), ERROR_ACCESS_DENIED);
        // Without the right to raise priority, real-time becomes high.
        EXPECT_TRUE(SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS));
        EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), DWORD(HIGH_PRIORITY_CLASS));
    }   // its handles close when it ends
    EXPECT_EQ(HostEndProcess(user, 0), STATUS_SUCCESS);
    EXPECT_TRUE(DeleteService(service));
    EXPECT_TRUE(CloseServiceHandle(service));
    EXPECT_TRUE(CloseServiceHandle(manager));
}

TEST(ScmPersistenceTest, TheDatabaseOutlivesShutdownsAndSystemStartServicesLoadAtBoot)
{
    char root[1024];
    ASSERT_TRUE(HostCreateSystemRoot(root, sizeof(root)));
    const HOST_BOOT_OPTIONS options{HostKeClockVirtual, 0, root, HostWindowsNt4ToXp};
    HOST_LEFTOVERS left{};

    ASSERT_EQ(HostBoot(&options), STATUS_SUCCESS);
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    EXPECT_TRUE(CloseServiceHandle(Create(manager, "IoTest", SERVICE_SYSTEM_START)));
    EXPECT_TRUE(CloseServiceHandle(Create(manager, "Later", SERVICE_DEMAND_START,
                                          "System32\\Drivers\\iotest_minimal.sys")));
    EXPECT_TRUE(CloseServiceHandle(manager));
    EXPECT_FALSE(HostIoObjectExistsA("\\Device\\IoTest"));
    EXPECT_EQ(HostShutdown(&left), STATUS_SUCCESS) << Describe(left);

    ASSERT_EQ(HostBoot(&options), STATUS_SUCCESS);
    EXPECT_TRUE(HostIoObjectExistsA("\\Device\\IoTest"));
    EXPECT_FALSE(HostIoObjectExistsA("\\Device\\IoTestMinimal"));
    manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceA(manager, "IoTest", SERVICE_ALL_ACCESS);
    SERVICE_STATUS status;
    ASSERT_TRUE(QueryServiceStatus(service, &status));
    EXPECT_EQ(status.dwCurrentState, DWORD(SERVICE_RUNNING));
    // Its configuration as created: the record, then its strings.
    alignas(8) char buffer[256];
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer);
    DWORD needed = 0;
    EXPECT_FAILS(QueryServiceConfigA(service, config, sizeof(*config), &needed),
                 ERROR_INSUFFICIENT_BUFFER);
    ASSERT_TRUE(QueryServiceConfigA(service, config, needed, &needed));
    EXPECT_EQ(config->dwServiceType, DWORD(SERVICE_KERNEL_DRIVER));
    EXPECT_EQ(config->dwStartType, DWORD(SERVICE_SYSTEM_START));
    EXPECT_STREQ(config->lpBinaryPathName, kIoTest);
    EXPECT_STREQ(config->lpLoadOrderGroup, "Base");
    EXPECT_STREQ(config->lpDisplayName, "IoTest");
    EXPECT_EQ(config->lpDisplayName + sizeof("IoTest"), buffer + needed);
    // Marked while running: it stays until stopped, here by the shutdown.
    EXPECT_TRUE(DeleteService(service));
    EXPECT_TRUE(CloseServiceHandle(service));
    EXPECT_TRUE(CloseServiceHandle(manager));
    EXPECT_EQ(HostShutdown(&left), STATUS_SUCCESS) << Describe(left);

    ASSERT_EQ(HostBoot(&options), STATUS_SUCCESS);
    manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    EXPECT_FAILS(OpenServiceA(manager, "IoTest", SERVICE_QUERY_STATUS), ERROR_SERVICE_DOES_NOT_EXIST);
    SC_HANDLE later = OpenServiceA(manager, "Later", SERVICE_QUERY_STATUS);
    EXPECT_NE(later, nullptr);
    EXPECT_TRUE(CloseServiceHandle(later));
    EXPECT_TRUE(CloseServiceHandle(manager));
    EXPECT_EQ(HostShutdown(&left), STATUS_SUCCESS) << Describe(left);
    HostDeleteSystemRoot(root);
}

}  // namespace
