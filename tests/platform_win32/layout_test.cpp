// The documented layouts of the records product code shares with the
// stand-ins, as 64-bit Windows lays them out (pointer-sized fields are 8
// bytes on the host; the multimedia headers are byte-packed).
#include <mmddk.h>

#include <cstddef>

#include "system_fixture.h"

namespace {

struct Layout {
    const char* what;
    size_t actual;
    size_t documented;
};

#define SIZE(type, bytes) Layout{#type, sizeof(type), bytes}
#define OFFSET(type, field, at) Layout{#type "." #field, offsetof(type, field), at}

TEST(LayoutTest, SharedRecordsHaveTheirDocumentedLayouts)
{
    const Layout layouts[] = {
        SIZE(WAVEFORMATEX, 18),       OFFSET(WAVEFORMATEX, nBlockAlign, 12),
        OFFSET(WAVEFORMATEX, cbSize, 16),
        SIZE(WAVEHDR, 48),            OFFSET(WAVEHDR, dwBytesRecorded, 12),
        OFFSET(WAVEHDR, dwUser, 16),  OFFSET(WAVEHDR, dwFlags, 24),
        OFFSET(WAVEHDR, lpNext, 32),
        SIZE(MMTIME, 12),             OFFSET(MMTIME, u, 4),
        SIZE(WAVEOUTCAPSA, 52),       SIZE(WAVEINCAPSA, 48),
        SIZE(WAVEOUTCAPSW, 84),       OFFSET(WAVEOUTCAPSW, dwFormats, 72),
        OFFSET(WAVEOUTCAPSW, dwSupport, 80),
        SIZE(WAVEINCAPSW, 80),        OFFSET(WAVEINCAPSW, wChannels, 76),
        SIZE(WAVEOPENDESC, 44),       OFFSET(WAVEOPENDESC, uMappedDeviceID, 32),
        OFFSET(WAVEOPENDESC, dnDevNode, 36),
        SIZE(MSG, 48),                OFFSET(MSG, message, 8),
        OFFSET(MSG, wParam, 16),      OFFSET(MSG, time, 32),
        OFFSET(MSG, pt, 36),
        SIZE(SERVICE_STATUS, 28),     OFFSET(SERVICE_STATUS, dwWin32ExitCode, 12),
        SIZE(OVERLAPPED, 32),         OFFSET(OVERLAPPED, Offset, 16),
        OFFSET(OVERLAPPED, hEvent, 24),
        SIZE(CRITICAL_SECTION, 40),   OFFSET(CRITICAL_SECTION, LockSemaphore, 24),
    };
    for (const Layout& layout : layouts) {
        EXPECT_EQ(layout.actual, layout.documented) << layout.what;
    }
}

}  // namespace
