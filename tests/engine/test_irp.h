// A pending request for one queued buffer, made by the I/O stand-in; its
// completions land in one log shared by the test, in completion order.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <ntddk.h>

#include "host/io_control.h"

class TestIrp {
public:
    explicit TestIrp(std::string name)
        : name_(std::move(name)), irp_(HostIoAllocateTestIrp(IRP_MJ_WRITE, &TestIrp::Observe, this))
    {
    }

    ~TestIrp()
    {
        if (irp_ != nullptr) {
            IoFreeIrp(irp_);
        }
    }

    TestIrp(const TestIrp&) = delete;
    TestIrp& operator=(const TestIrp&) = delete;

    PIRP Irp() const { return irp_; }

    bool Completed() const { return Result().Completed != FALSE; }
    NTSTATUS Status() const { return Result().Status; }
    ULONG_PTR Information() const { return Result().Information; }
    ULONG CompletionCount() const
    {
        std::lock_guard<std::mutex> hold(Lock());
        return completions_;
    }

    // (name, byte count) of every completion since the last ResetLog.
    static std::vector<std::pair<std::string, ULONG>> Completions()
    {
        std::lock_guard<std::mutex> hold(Lock());
        return Log();
    }

    static void ResetLog()
    {
        std::lock_guard<std::mutex> hold(Lock());
        Log().clear();
    }

private:
    HOST_IO_TEST_IRP_RESULT Result() const
    {
        HOST_IO_TEST_IRP_RESULT result{};
        HostIoGetTestIrpResult(irp_, &result);
        return result;
    }

    static VOID Observe(PVOID context, PIRP, NTSTATUS, ULONG_PTR information, KIRQL)
    {
        TestIrp* self = static_cast<TestIrp*>(context);
        std::lock_guard<std::mutex> hold(Lock());
        ++self->completions_;
        Log().emplace_back(self->name_, static_cast<ULONG>(information));
    }

    static std::mutex& Lock()
    {
        static std::mutex lock;
        return lock;
    }

    static std::vector<std::pair<std::string, ULONG>>& Log()
    {
        static std::vector<std::pair<std::string, ULONG>> log;
        return log;
    }

    std::string name_;
    PIRP irp_;
    ULONG completions_ = 0;
};
