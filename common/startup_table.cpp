#include "startup_table.h"

namespace {

struct CleanupEntry {
    SingleListNode link;    // first field: the list's next link
    CleanupRoutine routine;
};

}  // namespace

SingleList* CleanupList = nullptr;

bool RunStartupTable(const StartupRoutine* table)
{
    if (CleanupList != nullptr) {
        return false;
    }
    CleanupList = static_cast<SingleList*>(ModuleAllocate(sizeof(SingleList)));
    if (CleanupList == nullptr) {
        return false;
    }
    CleanupList->Initialise();
    for (const StartupRoutine* routine = table; *routine != nullptr; ++routine) {
        if ((*routine)() == 0) {
            return false;
        }
    }
    return true;
}

ULONG RegisterCleanup(CleanupRoutine routine)
{
    if (CleanupList == nullptr) {
        return 1;   // no list to hold it: the caller cleans up at once
    }
    auto* entry = static_cast<CleanupEntry*>(ModuleAllocate(sizeof(CleanupEntry)));
    if (entry == nullptr) {
        return 1;
    }
    entry->routine = routine;
    CleanupList->PushFront(&entry->link);
    return 0;
}

VOID RunCleanupList()
{
    if (CleanupList == nullptr) {
        return;
    }
    while (SingleListNode* node = CleanupList->RemoveHead()) {
        auto* entry = reinterpret_cast<CleanupEntry*>(node);
        entry->routine();
        ModuleFree(entry);
    }
    ModuleFree(CleanupList);
    CleanupList = nullptr;
}
