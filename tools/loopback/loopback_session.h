// The applications of one run on a booted system, and the checks of what
// they record: recorders are started first, then the players one by one
// (so the conduit mixes them in player order); then each player's first
// frame is located in each recording from the devices' positions, read
// with no tick between them, and every recording is checked against the
// saturated sum of the sources from there on.
//
// Used by one thread, the run's; the applications run on their own.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app_link.h"
#include "mix_check.h"
#include "wav_file.h"
#include "wave_client.h"

struct SessionPlan {
    PcmFormat format;
    std::vector<const AudioSource*> sources;    // one player each
    uint32_t recorders = 1;
    uint64_t frames = 0;                        // each recorder's
    WavWriter* wav = nullptr;                   // the first recorder's, if any
    uint32_t ringBuffers = 4;
    uint32_t bufferMs = 100;
};

// Every device's position at one moment between two ticks (a crashed
// player's stays 0).
struct Positions {
    std::vector<DevicePosition> recorders;
    std::vector<DevicePosition> players;
};

class LoopbackSession {
public:
    explicit LoopbackSession(const SessionPlan& plan);
    ~LoopbackSession();
    LoopbackSession(const LoopbackSession&) = delete;
    LoopbackSession& operator=(const LoopbackSession&) = delete;

    bool StartRecorders(std::string* error);
    // Starts the players and arms the checks; false with a message.
    bool StartPlayers(std::string* error);
    bool ReadPositions(Positions* positions, std::string* error);
    // Where player i's first frame lies in recording r; UINT64_MAX before
    // the players have started.
    uint64_t StartFrame(size_t recorder, size_t player) const
    {
        return recorder < starts_.size() ? starts_[recorder][player] : UINT64_MAX;
    }
    // Ends player i's process abruptly; the checks learn from the
    // recorders' positions around it where its frames stop.
    bool CrashPlayer(size_t player, std::string* error);
    // True once every recorder has its frames.
    bool Recorded() const;
    // The first application failure, or empty.
    std::string Failure() const;
    // Orders every application still running to close, recorders first,
    // and waits; false with a message.
    bool Close(std::string* error);

    AppLink& Player(size_t i) { return *players_[i].link; }
    AppLink& Recorder(size_t r) { return *recorders_[r].link; }
    MixCheck& Check(size_t r) { return recorders_[r].sink->check; }
    size_t PlayerCount() const { return players_.size(); }
    size_t RecorderCount() const { return recorders_.size(); }

private:
    // What a recorder's frames go to: its check and maybe the WAV file.
    struct Sink : RecordingSink {
        Sink(const PcmFormat& format, std::vector<const AudioSource*> sources, WavWriter* wav)
            : check(format, std::move(sources)), wav(wav)
        {
        }
        bool Take(const uint8_t* data, uint32_t bytes) override
        {
            check.Take(data, bytes);
            return wav == nullptr || wav->Write(data, bytes);
        }
        MixCheck check;
        WavWriter* wav;
    };
    struct App {
        std::unique_ptr<AppLink> link;
        std::unique_ptr<Sink> sink;
        std::unique_ptr<WaveClient> client;
    };
    bool Start(App& app, std::string* error);
    bool Ask(AppLink& link, DevicePosition* position, std::string* error);

    const SessionPlan plan_;
    std::vector<App> recorders_;
    std::vector<App> players_;
    std::vector<std::vector<uint64_t>> starts_;     // [recorder][player]
};
