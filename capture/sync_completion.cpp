#include "capture/sync_completion.h"

#include <unordered_map>

#include "capture/diagnostic_line.h"

namespace capture::sync_completion_detail {

namespace {

struct RecordTable {
    std::mutex lock;
    std::unordered_map<std::uintptr_t, SyncCompletionRecord*> records;
    std::uintptr_t next_id = 1;  // 0 would read as null user data
};

RecordTable& table() {
    static RecordTable instance;
    return instance;
}

}  // namespace

void* register_record(SyncCompletionRecord* record) {
    RecordTable& t = table();
    std::lock_guard guard(t.lock);
    record->id = t.next_id++;
    t.records.emplace(record->id, record);
    return reinterpret_cast<void*>(record->id);
}

SyncCompletionRecord* claim_first_completion(void* user_data) {
    RecordTable& t = table();
    {
        std::lock_guard guard(t.lock);
        const auto found = t.records.find(reinterpret_cast<std::uintptr_t>(user_data));
        // A record is freed only after leaving the table under this lock, so it is alive here.
        if (found != t.records.end() && !found->second->fired.exchange(true)) return found->second;
    }
    // Already completed, possibly already freed: nothing of it may be touched.
    write_diagnostic_line(DUPLICATE_COMPLETION_LINE);
    return nullptr;
}

void drop_reference(SyncCompletionRecord* record) {
    if (record->ref_count.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    RecordTable& t = table();
    {
        std::lock_guard guard(t.lock);
        t.records.erase(record->id);
    }
    delete record;
}

}  // namespace capture::sync_completion_detail
