// user32 through its public calls: a cross-thread SendMessage that waits for
// its owner to pump, thread queues and WM_QUIT, resources, and wsprintf's
// formats. The dialog manager, the controls and message boxes are used by
// the relay dialog's and the wave driver's tests.
#include <atomic>
#include <fstream>
#include <string>
#include <vector>

#include "host/user32_control.h"
#include "system_fixture.h"

namespace {

using User32Test = SystemFixture;

struct Owner {
    HANDLE ready;
    HANDLE pump;
    HWND window;
    std::atomic<DWORD> handledOn{0};
};
Owner* owner = nullptr;

LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_USER + 1) {
        owner->handledOn = GetCurrentThreadId();
        return LRESULT(wParam) * 6;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// Makes a window, then waits without pumping until told, then pumps until
// WM_QUIT.
DWORD WINAPI OwnerThread(LPVOID)
{
    owner->window = CreateWindowExA(0, "User32TestWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                    nullptr, nullptr, nullptr);
    SetEvent(owner->ready);
    WaitForSingleObject(owner->pump, INFINITE);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        DispatchMessageA(&message);
    }
    DestroyWindow(owner->window);
    return DWORD(message.wParam);
}

DWORD WINAPI SenderThread(LPVOID)
{
    return DWORD(SendMessageA(owner->window, WM_USER + 1, 7, 0));
}

TEST_F(User32Test, CrossThreadSendMessageWaitsUntilTheOwnerPumps)
{
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = Procedure;
    windowClass.lpszClassName = "User32TestWindow";
    ASSERT_NE(RegisterClassA(&windowClass), 0);
    Owner state{CreateEventA(nullptr, TRUE, FALSE, nullptr),
                CreateEventA(nullptr, TRUE, FALSE, nullptr), nullptr};
    owner = &state;
    DWORD ownerId = 0;
    HANDLE threads[2];
    threads[0] = CreateThread(nullptr, 0, OwnerThread, nullptr, 0, &ownerId);
    ASSERT_EQ(WaitForSingleObject(state.ready, INFINITE), WAIT_OBJECT_0);
    threads[1] = CreateThread(nullptr, 0, SenderThread, nullptr, 0, nullptr);
    HostWaitForQuiet();
    // Both wait: the sender in SendMessage, the owner elsewhere.
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(threads[1], &code));
    EXPECT_EQ(code, DWORD(STILL_ACTIVE));
    EXPECT_EQ(state.handledOn, 0u);
    ASSERT_TRUE(SetEvent(state.pump));
    EXPECT_EQ(WaitForSingleObject(threads[1], INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(threads[1], &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(state.handledOn, ownerId);
    ASSERT_TRUE(PostThreadMessageA(ownerId, WM_QUIT, 5, 0));
    EXPECT_EQ(WaitForMultipleObjects(2, threads, TRUE, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(threads[0], &code));
    EXPECT_EQ(code, 5u);
    for (HANDLE handle : {threads[0], threads[1], state.ready, state.pump}) {
        EXPECT_TRUE(CloseHandle(handle));
    }
}

DWORD WINAPI WaitOnly(LPVOID event)
{
    return WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
}

TEST_F(User32Test, AThreadHasAQueueOnceItCallsUser32)
{
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, WaitOnly, event, 0, &id);
    EXPECT_FALSE(PostThreadMessageA(id, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_THREAD_ID));
    SetEvent(event);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(event);

    MSG message;
    EXPECT_FALSE(PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE));
    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_USER + 2, 1, 2));
    PostQuitMessage(3);
    ASSERT_EQ(GetMessageA(&message, nullptr, 0, 0), TRUE);     // posted before the quit
    EXPECT_EQ(message.message, UINT(WM_USER + 2));
    EXPECT_EQ(GetMessageA(&message, nullptr, 0, 0), FALSE);
    EXPECT_EQ(message.message, UINT(WM_QUIT));
    EXPECT_EQ(message.wParam, 3u);
}

// A .res file: the empty entry that opens it, then an RT_DIALOG entry named
// 101 that claims claimed bytes and holds body.
std::string ResFile(const std::string& name, const std::vector<BYTE>& body, DWORD claimed)
{
    auto entry = [](DWORD size, WORD type, WORD id) {
        const DWORD header[8] = {size, 32, 0xFFFFu | DWORD(type) << 16, 0xFFFFu | DWORD(id) << 16};
        return std::string(reinterpret_cast<const char*>(header), sizeof(header));
    };
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary)
        << entry(0, 0, 0) << entry(claimed, 5, 101) << std::string(body.begin(), body.end());
    return path;
}

// The resource file and the template are read with bounds checks: what is
// cut short or missing is refused with the error Windows gives.
TEST_F(User32Test, MalformedResourcesAreRefused)
{
    const std::vector<BYTE> cut(10, 0);     // a template cut short
    EXPECT_EQ(HostUser32LoadResources("/nonexistent.res"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(HostUser32LoadResources(ResFile("claims.res", cut, 11).c_str()), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_FORMAT));
    const HINSTANCE instance = HostUser32LoadResources(ResFile("cut.res", cut, 10).c_str());
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(DialogBoxParamA(instance, MAKEINTRESOURCEA(101), nullptr, nullptr, 0), -1);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA));
    EXPECT_EQ(DialogBoxParamA(instance, MAKEINTRESOURCEA(102), nullptr, nullptr, 0), -1);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(LoadIconA(instance, MAKEINTRESOURCEA(102)), nullptr);

    std::vector<BYTE> itemless(24, 0);      // a whole header that claims one item
    itemless[8] = 1;
    const HINSTANCE claiming = HostUser32LoadResources(ResFile("item.res", itemless, 24).c_str());
    ASSERT_NE(claiming, nullptr);
    EXPECT_EQ(DialogBoxParamA(claiming, MAKEINTRESOURCEA(101), nullptr, nullptr, 0), -1);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA));
}

std::string A(LPCSTR format, ...)
{
    char out[1100];
    va_list arguments;
    va_start(arguments, format);
    const int count = wvsprintfA(out, format, arguments);
    va_end(arguments);
    EXPECT_EQ(size_t(count), strlen(out));
    return out;
}

TEST(WsprintfTest, FormatsAsWindowsDoes)
{
    EXPECT_EQ(A("%d|%i|%u|%ld", -5, -5, 4294967291u, -7), "-5|-5|4294967291|-7");
    EXPECT_EQ(A("%x|%X|%#x|%#X|%#x", 255, 255, 255, 255, 0), "ff|FF|0xff|0XFF|0");
    EXPECT_EQ(A("%5d|%-5d|%05d|%.3d|%05X", 42, 42, -42, 7, 0xAB), "   42|42   |-0042|007|000AB");
    EXPECT_EQ(A("%c%C%hc%lc", 'A', WCHAR(u'B'), 'C', WCHAR(u'D')), "ABCD");
    EXPECT_EQ(A("%s|%S|%.2s|%4s|%-4s|%ls", "abc", u"wide", "xyz", "r", "l", u"w"),
              "abc|wide|xy|   r|l   |w");
    EXPECT_EQ(A("%s|%%|%q", static_cast<const char*>(nullptr)), "(null)|%|q");
    EXPECT_EQ(A("%I64u|%I64d", 1ull << 40, -(1ll << 33)), "1099511627776|-8589934592");
    EXPECT_EQ(A("Cannot create service for kernel-mode driver (%X)", 1073),
              "Cannot create service for kernel-mode driver (431)");
    WCHAR wide[64];
    EXPECT_EQ(wsprintfW(wide, W(u"%s %S %u"), W(u"Tonvane"), "1", 2u), 11);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(wide)), u"Tonvane 1 2");
    // 1023 characters, then the terminating zero: 1024 in all.
    const std::string longText(2000, 'a');
    char out[1100];
    EXPECT_EQ(wsprintfA(out, "%s", longText.c_str()), 1023);
    EXPECT_EQ(strlen(out), 1023u);
}

}  // namespace
