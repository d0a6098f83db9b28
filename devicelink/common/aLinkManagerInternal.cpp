#include "aLinkManagerInternal.h"

#include "aDebugging.h"

#include <condition_variable>
#include <new>
#include <set>
#include <tuple>

namespace {

struct Entry {
    aLinkEntryInfo info;
    aLinkRecordRef link;
    Entry* next = nullptr;
};

struct Table {
    aMutexRef mutex = aMutex_Create("aLink_Managed");
    Entry* head = nullptr;
    aLinkRef nextId = 1;

    // Devices whose link is being created right now (aLinkCreateGuard).
    std::mutex creatingLock;
    std::condition_variable creatingDone;
    std::set<std::tuple<uint32_t, uint32_t, uint32_t>> creating;
};

// Made on first use by whichever table operation runs first; never destroyed, so links still
// open at exit do not outlive their table.
Table& sTable() {
    static Table* table = new Table;
    return *table;
}

// Holds the table mutex for the scope.
class TableLock {
public:
    TableLock() : mTable(sTable()) { (void)aMutex_Lock(mTable.mutex); }
    ~TableLock() { (void)aMutex_Unlock(mTable.mutex); }
    Table* operator->() { return &mTable; }
    Table* get() { return &mTable; }

private:
    Table& mTable;
};

Entry* sLookupEntryByID(Table* table, aLinkRef link) {
    if (link == 0)
        return nullptr;
    for (Entry* e = table->head; e != nullptr; e = e->next)
        if (e->info.id == link)
            return e;
    return nullptr;
}

// A device is its type, key and port together: a USB serial number may equal the number of an
// IPv4 address, and one host may serve several modules on different ports.
Entry* sLookupEntryByDevice(Table* table, uint32_t type, uint32_t identifier, uint32_t port) {
    for (Entry* e = table->head; e != nullptr; e = e->next)
        if (e->info.type == type && e->info.identifier == identifier && e->info.port == port)
            return e;
    return nullptr;
}

Entry* sExtractEntry(Table* table, aLinkRef link) {
    for (Entry** p = &table->head; *p != nullptr; p = &(*p)->next) {
        if ((*p)->info.id != link)
            continue;
        Entry* e = *p;
        *p = e->next;
        e->next = nullptr;
        if (table->head == nullptr)
            aTRACE(aDEBUG_LINK, "NO MORE LINKS");
        return e;
    }
    return nullptr;
}

} // namespace

aLinkRecord::~aLinkRecord() {
    // Normally emptied by destroy; this covers records that never got that far.
    aPacketFifoID fifo = inFifo.exchange(0);
    if (fifo)
        (void)aPacketFifo_Destroy(&fifo);
    fifo = outFifo.exchange(0);
    if (fifo)
        (void)aPacketFifo_Destroy(&fifo);
    if (stream)
        (void)aStream_Destroy(&stream);
    if (rxPacket)
        (void)aPacket_Destroy(&rxPacket);
    if (userFilterLock)
        (void)aMutex_Destroy(&userFilterLock);
}

aLinkRef aLinkManager_CreateEntry(uint32_t identifier, uint32_t port, uint32_t clientIndex,
                                  uint32_t type) {
    Entry* e = new (std::nothrow) Entry;
    if (e == nullptr)
        return 0;
    try {
        e->link = std::make_shared<aLinkRecord>();
    } catch (...) {
        delete e;
        return 0;
    }
    e->info.identifier = identifier;
    e->info.port = port;
    e->info.clientIndex = clientIndex;
    e->info.type = type;
    TableLock table;
    e->info.id = table->nextId++;
    if (e->info.id == 0)
        e->info.id = table->nextId++;
    e->next = table->head;
    table->head = e;
    aTRACE(aDEBUG_LINK, "new link %u (type %u, identifier 0x%08X, port %u)", e->info.id, type,
           identifier, port);
    return e->info.id;
}

aLinkRecordRef aLinkManager_GetLink(aLinkRef link) {
    TableLock table;
    Entry* e = sLookupEntryByID(table.get(), link);
    return e ? e->link : nullptr;
}

bool aLinkManager_GetEntry(aLinkRef link, aLinkEntryInfo* info) {
    if (info == nullptr)
        return false;
    TableLock table;
    Entry* e = sLookupEntryByID(table.get(), link);
    if (e == nullptr)
        return false;
    *info = e->info;
    return true;
}

aLinkRef aLinkManager_Share(uint32_t type, uint32_t identifier, uint32_t port) {
    TableLock table;
    Entry* e = sLookupEntryByDevice(table.get(), type, identifier, port);
    if (e == nullptr)
        return 0;
    e->info.useCount++;
    aTRACE(aDEBUG_LINK, "sharing link %u, use count %d", e->info.id, e->info.useCount);
    return e->info.id;
}

aErr aLinkManager_ChangeUseCount(aLinkRef link, int16_t delta) {
    TableLock table;
    Entry* e = sLookupEntryByID(table.get(), link);
    if (e == nullptr)
        return aErrParam;
    e->info.useCount = static_cast<int16_t>(e->info.useCount + delta);
    return aErrNone;
}

aErr aLinkManager_SetSubLink(aLinkRef link, aLinkRef subLink) {
    TableLock table;
    Entry* e = sLookupEntryByID(table.get(), link);
    if (e == nullptr)
        return aErrParam;
    e->info.subLinkID = subLink;
    return aErrNone;
}

aErr aLinkManager_Release(aLinkRef link, bool* last, aLinkRecordRef* record,
                          aLinkEntryInfo* info) {
    if (last == nullptr || record == nullptr || info == nullptr)
        return aErrParam;
    *last = false;
    record->reset();
    Entry* extracted = nullptr;
    {
        TableLock table;
        Entry* e = sLookupEntryByID(table.get(), link);
        if (e == nullptr)
            return aErrParam;
        e->info.useCount--;
        if (e->info.useCount > 0) {
            aTRACE(aDEBUG_LINK, "aLink_Destroy use_count: %d\n", e->info.useCount);
            return aErrNone;
        }
        extracted = sExtractEntry(table.get(), link);
    }
    *last = true;
    *info = extracted->info;
    *record = std::move(extracted->link);
    delete extracted;
    return aErrNone;
}

size_t aLinkManager_Count() {
    TableLock table;
    size_t n = 0;
    for (Entry* e = table->head; e != nullptr; e = e->next)
        n++;
    return n;
}

aLinkCreateGuard::aLinkCreateGuard(uint32_t type, uint32_t identifier, uint32_t port)
    : mType(type), mIdentifier(identifier), mPort(port) {
    Table& t = sTable();
    std::unique_lock<std::mutex> lock(t.creatingLock);
    auto key = std::make_tuple(type, identifier, port);
    t.creatingDone.wait(lock, [&] { return t.creating.count(key) == 0; });
    try {
        t.creating.insert(key);
        mHeld = true;
    } catch (...) {
        // Without memory for the mark the creation goes ahead unguarded.
    }
}

aLinkCreateGuard::~aLinkCreateGuard() {
    if (!mHeld)
        return;
    Table& t = sTable();
    {
        std::lock_guard<std::mutex> lock(t.creatingLock);
        t.creating.erase(std::make_tuple(mType, mIdentifier, mPort));
    }
    t.creatingDone.notify_all();
}
