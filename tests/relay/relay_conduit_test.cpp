// End to end: a player plays a known signal into "Tonvane 1 Out"; the relay
// moves "Tonvane 1 In" to the Host Speaker, which must play that signal
// unchanged, about half of the total buffer length later.
#include "conduit_signal.h"
#include "relay_fixture.h"

namespace {

class RelayConduitTest : public RelayFixture {
protected:
    void ListDrivers() override { ListConduitAndCard(); }
};

TEST_F(RelayConduitTest, TheSpeakerPlaysWhatWasPlayedIntoTheConduit)
{
    devices_[RelayInput] = 0;       // "Tonvane 1 In"
    devices_[RelayOutput] = 1;      // "Host Speaker"
    HostCardSpeakerKeep(TRUE);
    ASSERT_TRUE(StartRun());        // 44100 Hz, 16 bits, 2 channels, 1000 ms, 8 buffers
    Advance(300);

    const WAVEFORMATEX format = RelayFormat(relayState);
    ConduitPlayer player;
    player.Play(format);
    Advance(4000);
    Stop();
    ASSERT_TRUE(Stopped());
    player.End();

    DWORD delay = 0;
    player.CheckSpeaker(format, &delay);
    EXPECT_GE(delay, 500u);
    EXPECT_LE(delay, 700u);
}

} // namespace
