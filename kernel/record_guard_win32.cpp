// Windows build: the record is reached under a structured exception handler.
// The cross compiler has no __try, so RecordGuardCopy installs an i386 SEH
// frame by hand: an EXCEPTION_REGISTRATION on the stack, linked at FS:[0]
// (the processor's exception list in the kernel), whose handler turns any
// exception raised by the copy into a resume at a recovery point that
// returns 0. A fault on an invalid user address is raised as such an
// exception; system space is never touched for a user-mode caller because
// the address range is checked against MmUserProbeAddress first, as the
// kernel's own probes do.
#include "record_guard.h"

extern "C" ULONG RecordGuardCopy(PVOID destination, const VOID* source, ULONG length);

// cdecl: RecordGuardCopy(destination, source, length) -> 1 copied, 0 faulted.
// Stack while the copy runs, from ESP up:
//   +0 previous FS:[0] | +4 handler | +8 caller's EBP | +12 EDI ESI EBX EBP
// The handler (cdecl: ExceptionRecord, EstablisherFrame, ContextRecord,
// DispatcherContext) leaves unwinds alone (ExceptionFlags & 6), and
// otherwise points the context at the recovery label with ESP at the
// registration and EBP restored (CONTEXT.Ebp 0xB4, Eip 0xB8, Esp 0xC4)
// and continues execution there.
asm(R"(
    .text
    .p2align 4
    .globl _RecordGuardCopy
    .def _RecordGuardCopy; .scl 2; .type 32; .endef
_RecordGuardCopy:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    pushl %ebp
    pushl $RecordGuardHandler
    pushl %fs:0
    movl %esp, %fs:0
    movl 8(%ebp), %edi
    movl 12(%ebp), %esi
    movl 16(%ebp), %ecx
    cld
    rep movsb
    movl $1, %eax
RecordGuardLeave:
    popl %fs:0
    addl $8, %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
RecordGuardRecover:
    xorl %eax, %eax
    jmp RecordGuardLeave

    .p2align 4
    .def RecordGuardHandler; .scl 3; .type 32; .endef
RecordGuardHandler:
    movl 4(%esp), %eax
    testl $6, 4(%eax)
    jnz RecordGuardSearch
    movl 8(%esp), %ecx
    movl 12(%esp), %edx
    movl %ecx, 0xC4(%edx)
    movl 8(%ecx), %eax
    movl %eax, 0xB4(%edx)
    movl $RecordGuardRecover, 0xB8(%edx)
    xorl %eax, %eax
    ret
RecordGuardSearch:
    movl $1, %eax
    ret
)");

namespace {

constexpr ULONG ResultOffset = FIELD_OFFSET(DriverRequest, result);

// The whole of [record, record + length) is reachable for mode: for a
// user-mode caller it must end at or below MmUserProbeAddress, without
// wrapping.
bool InCallerRange(const VOID* record, ULONG length, KPROCESSOR_MODE mode)
{
    const ULONG_PTR address = reinterpret_cast<ULONG_PTR>(record);
    if (address == 0) {
        return false;
    }
    if (mode != UserMode) {
        return address + length > address;
    }
    const ULONG_PTR limit = MmUserProbeAddress;
    return address <= limit && length <= limit - address;
}

}  // namespace

bool CaptureCallerRecord(const VOID* record, KPROCESSOR_MODE mode, DriverRequest* copy)
{
    if (!InCallerRange(record, sizeof(DriverRequest), mode)) {
        return false;
    }
    if (RecordGuardCopy(copy, record, sizeof(DriverRequest)) == 0) {
        return false;
    }
    // Probe the result field for writing as the kernel's write probe does:
    // its bytes written back unchanged.
    PUCHAR result = static_cast<PUCHAR>(const_cast<PVOID>(record)) + ResultOffset;
    return RecordGuardCopy(result, result, sizeof(ULONG)) != 0;
}

bool StoreCallerResult(PVOID record, KPROCESSOR_MODE mode, ULONG result)
{
    if (!InCallerRange(record, sizeof(DriverRequest), mode)) {
        return false;
    }
    return RecordGuardCopy(static_cast<PUCHAR>(record) + ResultOffset, &result, sizeof(result))
        != 0;
}
