#include "loopback_session.h"

namespace {

// Readings of the positions that a tick may split are repeated.
constexpr int PositionAttempts = 100;

}  // namespace

LoopbackSession::LoopbackSession(const SessionPlan& plan) : plan_(plan)
{
    const uint32_t bufferFrames = static_cast<uint32_t>(plan.format.FramesIn(plan.bufferMs));
    for (uint32_t r = 0; r < plan.recorders; ++r) {
        App app;
        app.link = std::make_unique<AppLink>("recorder " + std::to_string(r + 1));
        app.sink = std::make_unique<Sink>(plan.format, plan.sources, r == 0 ? plan.wav : nullptr);
        ClientPlan client;
        client.play = false;
        client.deviceName = u"Tonvane 1 In";
        client.format = plan.format;
        client.callback = r % 2 == 0 ? CallbackKind::Thread : CallbackKind::Window;
        client.ringBuffers = plan.ringBuffers;
        client.bufferFrames = bufferFrames;
        client.sink = app.sink.get();
        client.frames = plan.frames;
        app.client = std::make_unique<WaveClient>(client, app.link.get());
        recorders_.push_back(std::move(app));
    }
    for (size_t i = 0; i < plan.sources.size(); ++i) {
        App app;
        app.link = std::make_unique<AppLink>("player " + std::to_string(i + 1));
        ClientPlan client;
        client.deviceName = u"Tonvane 1 Out";
        client.format = plan.format;
        client.callback = i % 2 == 0 ? CallbackKind::Window : CallbackKind::Thread;
        client.ringBuffers = plan.ringBuffers;
        client.bufferFrames = bufferFrames;
        client.source = plan.sources[i];
        app.client = std::make_unique<WaveClient>(client, app.link.get());
        players_.push_back(std::move(app));
    }
}

LoopbackSession::~LoopbackSession() = default;

bool LoopbackSession::Start(App& app, std::string* error)
{
    if (!app.link->Start(WaveClient::Main, app.client.get())
        || !app.link->WaitFor(AppPhase::Running)) {
        *error = app.link->Error();
        return false;
    }
    return true;
}

bool LoopbackSession::StartRecorders(std::string* error)
{
    for (App& recorder : recorders_) {
        if (!Start(recorder, error)) {
            return false;
        }
    }
    return true;
}

bool LoopbackSession::StartPlayers(std::string* error)
{
    for (App& player : players_) {
        if (!Start(player, error)) {
            return false;
        }
    }
    Positions at;
    if (!ReadPositions(&at, error)) {
        return false;
    }
    const uint32_t block = plan_.format.BlockAlign();
    starts_.assign(recorders_.size(), std::vector<uint64_t>(players_.size()));
    for (size_t r = 0; r < recorders_.size(); ++r) {
        // A recording that ended before the players began cannot place them.
        if (at.recorders[r].moved == plan_.frames * block) {
            *error = "the recording ended before the players had started; record for longer";
            return false;
        }
        for (size_t i = 0; i < players_.size(); ++i) {
            starts_[r][i] = (at.recorders[r].moved - at.players[i].moved) / block;
        }
        Check(r).Arm(starts_[r]);
    }
    return true;
}

bool LoopbackSession::Ask(AppLink& link, DevicePosition* position, std::string* error)
{
    if (!link.AskPosition(position)) {
        *error = link.Error().empty() ? link.Name() + ": no position" : link.Error();
        return false;
    }
    return true;
}

// The first recorder's position is read first and last: equal, no tick
// came between (every running recorder moves at each tick).
bool LoopbackSession::ReadPositions(Positions* positions, std::string* error)
{
    for (int attempt = 0; attempt < PositionAttempts; ++attempt) {
        Positions& at = *positions;
        at.recorders.assign(recorders_.size(), DevicePosition{});
        at.players.assign(players_.size(), DevicePosition{});
        for (size_t r = 0; r < recorders_.size(); ++r) {
            if (!Ask(*recorders_[r].link, &at.recorders[r], error)) {
                return false;
            }
        }
        for (size_t i = 0; i < players_.size(); ++i) {
            if (players_[i].link->Phase() != AppPhase::Crashed
                && !Ask(*players_[i].link, &at.players[i], error)) {
                return false;
            }
        }
        DevicePosition last;
        if (!Ask(*recorders_[0].link, &last, error)) {
            return false;
        }
        if (last.moved == at.recorders[0].moved) {
            return true;
        }
    }
    *error = "the devices' positions could not be read between two ticks";
    return false;
}

bool LoopbackSession::CrashPlayer(size_t player, std::string* error)
{
    const uint32_t block = plan_.format.BlockAlign();
    std::vector<DevicePosition> before(recorders_.size());
    for (size_t r = 0; r < recorders_.size(); ++r) {
        if (!Ask(*recorders_[r].link, &before[r], error)) {
            return false;
        }
        Check(r).EndSource(player, before[r].moved / block, UINT64_MAX);
    }
    players_[player].link->Crash();
    for (size_t r = 0; r < recorders_.size(); ++r) {
        DevicePosition after;
        if (!Ask(*recorders_[r].link, &after, error)) {
            return false;
        }
        Check(r).EndSource(player, before[r].moved / block, after.moved / block);
    }
    return true;
}

bool LoopbackSession::Recorded() const
{
    for (const App& recorder : recorders_) {
        const AppPhase phase = recorder.link->Phase();
        if (phase != AppPhase::Finished && phase != AppPhase::Closed) {
            return false;
        }
    }
    return true;
}

std::string LoopbackSession::Failure() const
{
    for (const std::vector<App>* apps : {&recorders_, &players_}) {
        for (const App& app : *apps) {
            if (app.link->Phase() == AppPhase::Failed) {
                return app.link->Error();
            }
        }
    }
    return {};
}

bool LoopbackSession::Close(std::string* error)
{
    bool closed = true;
    for (std::vector<App>* apps : {&recorders_, &players_}) {
        for (App& app : *apps) {
            const AppPhase phase = app.link->Phase();
            if (phase != AppPhase::Running && phase != AppPhase::Finished) {
                continue;
            }
            if (!app.link->Order(OrderClose) || !app.link->WaitFor(AppPhase::Closed)) {
                if (closed) {
                    *error = app.link->Error().empty() ? app.link->Name() + ": cannot be closed"
                                                       : app.link->Error();
                }
                closed = false;
            }
        }
    }
    return closed;
}
