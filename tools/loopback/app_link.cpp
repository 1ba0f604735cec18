#include "app_link.h"

#include <chrono>

namespace {

// An application that neither reports nor fails for this long is hung.
constexpr auto AnswerLimit = std::chrono::seconds(30);

}  // namespace

void AppLink::Running(DWORD threadId, const DeviceInfo& device)
{
    std::lock_guard<std::mutex> guard(lock_);
    threadId_ = threadId;
    device_ = device;
    phase_ = AppPhase::Running;
    changed_.notify_all();
}

void AppLink::Finished()
{
    std::lock_guard<std::mutex> guard(lock_);
    if (phase_ == AppPhase::Running) {
        phase_ = AppPhase::Finished;
    }
    changed_.notify_all();
}

void AppLink::Closed()
{
    std::lock_guard<std::mutex> guard(lock_);
    if (phase_ != AppPhase::Failed) {
        phase_ = AppPhase::Closed;
    }
    changed_.notify_all();
}

void AppLink::Failed(const std::string& error)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (phase_ != AppPhase::Failed) {
        error_ = name_ + ": " + error;
        phase_ = AppPhase::Failed;
    }
    changed_.notify_all();
}

void AppLink::Answer(const DevicePosition& position)
{
    std::lock_guard<std::mutex> guard(lock_);
    position_ = position;
    ++answers_;
    changed_.notify_all();
}

bool AppLink::Start(LPTHREAD_START_ROUTINE main, LPVOID parameter)
{
    const HOST_PROCESS_OPTIONS options{name_.c_str(), TRUE, main, parameter};
    if (HostStartProcess(&options, &process_) != STATUS_SUCCESS) {
        Failed("cannot start the process");
        return false;
    }
    return true;
}

bool AppLink::WaitFor(AppPhase phase)
{
    std::unique_lock<std::mutex> guard(lock_);
    const bool reached = changed_.wait_for(guard, AnswerLimit, [&] {
        return phase_ == AppPhase::Failed || phase_ == AppPhase::Crashed || phase_ >= phase;
    });
    if (!reached) {
        error_ = name_ + ": no answer within 30 s";
        phase_ = AppPhase::Failed;
    }
    return phase_ != AppPhase::Failed && phase_ != AppPhase::Crashed;
}

bool AppLink::AskPosition(DevicePosition* position)
{
    std::unique_lock<std::mutex> guard(lock_);
    const uint64_t asked = answers_;
    const DWORD thread = threadId_;
    guard.unlock();
    if (!PostThreadMessageA(thread, OrderPosition, 0, 0)) {
        return false;
    }
    guard.lock();
    if (!changed_.wait_for(guard, AnswerLimit, [&] {
            return answers_ != asked || phase_ == AppPhase::Failed;
        })) {
        error_ = name_ + ": no position within 30 s";
        phase_ = AppPhase::Failed;
    }
    *position = position_;
    return answers_ != asked;
}

bool AppLink::Order(UINT order)
{
    std::unique_lock<std::mutex> guard(lock_);
    const DWORD thread = threadId_;
    guard.unlock();
    return PostThreadMessageA(thread, order, 0, 0) != FALSE;
}

void AppLink::Crash()
{
    HostCrashProcess(process_, 1);
    std::lock_guard<std::mutex> guard(lock_);
    phase_ = AppPhase::Crashed;
    changed_.notify_all();
}

AppPhase AppLink::Phase() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return phase_;
}

std::string AppLink::Error() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return error_;
}

DeviceInfo AppLink::Device() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return device_;
}
