// Link: the object face of one connection to a module (or to a network of modules behind a
// routing module).
//
// A Link owns a connection specifier (linkSpec, discover.h), a shared-device configuration
// (VeluneConfig) and, while connected, one holder of an engine link (aLink.h). It finds and
// connects modules and offers the packet services the entity layer stands on: raw packets, UEI
// requests and replies, the module address query, data slots, factory data, the packet log and
// stream subscriptions with a value cache and callbacks.
//
// Results: every operation returns an aErr unless stated. Outputs are cleared first and filled
// on success. Every wait for a reply is 1000 ms unless stated; nothing is retried here, and a
// reply that comes too late stays in the engine's inbound FIFO.
//   aErrConnection  packet, UEI, slot and factory operations on a link that is not connected
//   aErrPacket      a module address that is 0 or odd
//   aErrTimeout     no reply in time
//
// Shared-device mode: a USB connection with `enabled` set, and the Velune client link, need the
// shared-device service, which this build does not have: they answer aErrUnimplemented.
//
// Threads: one Link may be used from several threads at once: every exchange goes through the
// engine's FIFOs. The configuration, specifier and name are changed only while not connected
// and are not locked. Several Link objects may hold one engine link (connectThroughLinkModule);
// the engine counts the holders.
//
// Streams: a module told to stream a UEI value sends sample packets by itself. While this Link
// has subscriptions, a filter on the engine's receive thread takes every sample packet before
// it reaches the inbound FIFO, keeps the latest value of each streamed UEI (getStreamValue) and
// queues the registered callbacks for a callback thread of this Link (at most 499 waiting; more
// are dropped). Callbacks run only on that thread, one at a time; the packet they get is valid
// during the call. Once the last subscription is removed, samples take the normal path again.
// After a removal, or the Link's destruction, returns (from any thread but the callback thread
// itself) no callback runs any more.
#ifndef KORVEL_LINK_H
#define KORVEL_LINK_H

#include "aError.h"
#include "aLink.h"
#include "aPacket.h"
#include "aUEI.h"
#include "discover.h"

#include <cstddef>
#include <cstdint>

namespace Olvarin {
namespace Korvel {

// Shared-device configuration of a link, copied in and out by value.
struct VeluneConfig {
    uint8_t enabled = 1;   // USB through a shared-device server; Velune links allowed at all
    uint8_t fallback = 1;  // discovery that fails over USB is retried over Velune and back
    uint8_t localOnly = 1; // the server listens on 127.0.0.1 only
    uint16_t port = 0;     // the server's port, once one is made
    uint32_t networkInterface; // IPv4, network byte order; default 127.0.0.1
    VeluneConfig();
};

class Link {
public:
    enum STREAM_KEY {
        streamKeyModule = 0,
        streamKeyCommand = 1,
        streamKeyOption = 2,
        streamKeyIndex = 3,
        streamKeySubindex = 4,
    };
    enum STREAM_PACKET {
        streamPacketNone = 0,
        streamPacketByte = 1,
        streamPacketShort = 2,
        streamPacketInt = 3,
        streamPacketBytes = 4,
        streamPacketSubindexByte = 5,
        streamPacketSubindexShort = 6,
        streamPacketSubindexInt = 7,
    };
    struct StreamStatusEntry {
        uint64_t key;
        uint32_t value;
    };
    // Called on the callback thread with a copy of the sample packet; the result is unused.
    typedef uint8_t (*streamCallback)(const aPacket* packet, void* reference);

    // The name is copied (at most 1024 characters); null is taken as "".
    explicit Link(const char* name);
    Link(const linkSpec& specifier, const char* name);
    // Removes the subscriptions (telling a connected module to stop streaming), then drops this
    // holder of the engine link.
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // ---- Connection ----

    // aErrBusy while connected; aErrMemory when no copy can be made.
    aErr setLinkSpecifier(const linkSpec& specifier);
    // aErrParam for a null destination; aErrNotFound when none is stored.
    aErr getLinkSpecifier(linkSpec* specifier) const;
    const char* getName() const;
    // aErrMode while connected.
    aErr setConfig(const VeluneConfig& config);
    // aErrParam for a null destination.
    aErr getConfig(VeluneConfig* config) const;

    // Connects with the stored specifier by its link type and waits (up to 2 s) until the
    // engine link runs.
    //   aErrConnection     an engine link is held already, or the engine made none
    //   aErrConfiguration  no specifier stored; a Velune specifier with sharing off
    //   aErrMode           an unknown link type
    //   aErrBusy           the engine link is stopping
    //   aErrUnimplemented  USB with sharing on, or a Velune specifier (shared-device service)
    aErr connect();
    // Finds the module by serial number (serial 0: the first module of `model`, any model for
    // 0) on `type` and connects to it. When that gives aErrNotFound, aErrInitialization or
    // aErrConnection on USB or Velune with `fallback` set, the other of the two is tried once.
    //   aErrNotFound    no such module; aErrConnection: a link is held already
    aErr discoverAndConnect(linkType type, uint32_t serial, uint8_t model = 0);
    // Shares the engine link of `other` (one more holder), connecting with the stored
    // specifier, which must point at the same device. aErrInitialization when `other` holds
    // none; aErrConnection when this Link holds one already.
    aErr connectThroughLinkModule(Link& other);
    // True when an engine link is held and running.
    bool isConnected() const;
    // The engine link's status; linkStatusError when none is held.
    linkStatus getStatus() const;
    // Removes the subscriptions (telling a connected module to stop streaming) and drops the
    // engine link (one holder); always aErrNone.
    aErr disconnect();
    // Resets the engine link (aLink_Reset), putting back the stream filter; always aErrNone.
    aErr reset();
    // Address of the module at the other end (173 query). aErrNotReady when not connected or
    // no answer came; *address is 0 then. aErrParam for a null destination.
    aErr getModuleAddress(uint8_t* address);

    // ---- Packets and UEI ----

    // A packet to `address`: the command byte and `length` data bytes. aErrParam above 27.
    aErr sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data);
    // Waits for the first inbound packet whose first *length data bytes equal `match` (the
    // packet's address is not compared). On success *length is its data length and `buffer`
    // (28 bytes) holds its data. aErrParam for null arguments or *length above 28.
    aErr receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* buffer);
    // Sends the request the record describes: module, command, option and specifier bytes as
    // they travel, then the value by `type` (none, 8, 16, 32 bits big-endian, or a byte string
    // in sequenced packets of 24 bytes). aErrParam for an unknown type; aErrResource when a
    // packet cannot be made (a byte string stops at the first packet not queued).
    aErr sendUEI(const uei& request);
    // The same with a subindex byte after the index byte; no byte-string form (aErrParam).
    aErr sendUEI(const uei& request, uint8_t subindex);
    // Waits for the first reply from `module` with this command, exactly this option byte and
    // this index in the low five bits of the index byte, and fills *reply: module, command,
    // option and specifier as they came; an error reply has ueiSPECIFIER_ERROR in specifier
    // and its code in v.byteVal; otherwise the value and type by the reply's length (3 none, 4
    // byte, 5 short, 7 int; other lengths type ueiTypeVoid). aErrNone once a reply came.
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* reply);
    // As above with the caller's filter, which gets *reply (its module, command, option and
    // specifier set to the arguments first) as its reference and fills it itself.
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* reply,
                    aPacketFilter filter);
    // Removes every queued packet that receiveUEI would take for these values.
    aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);

    // ---- Data slots (command 4) ----
    // Results besides the common ones: the module's error code; aErrUnknown for a reply of the
    // wrong form; aErrMedia when a slot cannot be opened (3000 ms wait).

    aErr storeSlotCapacity(uint8_t address, uint8_t store, uint8_t slot, size_t* capacity);
    aErr storeSlotSize(uint8_t address, uint8_t store, uint8_t slot, size_t* size);
    // Writes `length` bytes in chunks of at most 25; each chunk's reply must carry the 8-bit
    // sum of its bytes (aErrIO otherwise). The slot is closed again in every case.
    aErr loadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, const uint8_t* data, size_t length);
    // Reads min(capacity, slot size) bytes into `buffer`; *count is set on success.
    // aErrOverrun (with *count set) when the slot holds more than `capacity`.
    aErr unloadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, uint8_t* buffer, size_t capacity,
                         size_t* count);

    // ---- Factory data (command 94) ----
    // `type` is the record type, 0 to 15 (aErrParam above).

    // aErrOverrun when a piece would bring the total to `capacity` or beyond.
    aErr getFactoryData(uint8_t address, uint8_t type, uint8_t* buffer, size_t capacity, size_t* count);
    // Pieces of at most 26 bytes; aErrSize for a reply of the wrong length. At most 65535 bytes.
    aErr setFactoryData(uint8_t address, uint8_t type, const uint8_t* data, size_t length);

    // ---- Packet log ----
    // Records every packet of the engine link into its ring and has a logger thread append
    // them as text lines to the file at `path` (opened on first enable; see aPacketDebug.h),
    // beginning with the note "START". aErrConfiguration without an engine link; aErrResource
    // when the file cannot be opened or the logger not started.
    aErr enablePacketLog(const char* path);
    // Stops the writing to the file (the ring goes on recording until the engine link goes):
    // the logger's result. aErrConfiguration without an engine link.
    aErr disablePacketLog();

    // ---- Streams ----

    // Key bits: 0-7 index, 8-15 option, 16-23 command, 24-31 module, 32-39 subindex; 0xFF in
    // any but the module position matches any value.
    static uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                    uint8_t subindex);
    // One element of a key; 0 for an unknown selector.
    static uint8_t getStreamKeyElement(uint64_t key, int element);

    // Subscribes (enable) or unsubscribes `callback` (may be null) for (module, command,
    // option, index, any subindex) with the table and with the module (command 93). Disabling
    // removes every entry that matches, 0xFF matching anything. aErrParam for an odd module
    // address or 0xFF; aErrConnection without an engine link; the module's error. On failure
    // the entries for the key are removed again.
    aErr registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                streamCallback callback, void* reference);
    aErr enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable);
    // Whether the module streams (UEI get on command 93).
    aErr isLinkStreaming(uint8_t module, uint8_t* flag);
    // Latest streamed value of an exact key: aErrNone when fresh (it then stops being fresh),
    // aErrStreamStale when read before (the value is still given), aErrNotFound when none.
    aErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                        uint32_t* value);
    // Copies key and value of every value entry that matches the pattern (0xFF = any) into
    // `entries`. aErrConnection when not connected; aErrParam for null arguments or capacity
    // 0; aErrSize when more match than fit (the first `capacity` are stored, *count says so).
    aErr getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                         StreamStatusEntry* entries, size_t capacity, size_t* count);

    static bool isStreamPacket(const aPacket* packet);
    // The sample type (data byte 3 when the sequence byte is 0; streamPacketBytes when it is
    // not). False, with streamPacketNone, for a packet that is not a stream packet.
    static bool getStreamPacketType(const aPacket* packet, STREAM_PACKET* type);
    static bool isSubindexType(STREAM_PACKET type);
    // A sample of a decodable type with sequence byte 0 and the right data length.
    static bool isStreamSample(const aPacket* packet);
    // Decodes a sample; any output may be null. aErrPacket: not a stream packet or the wrong
    // length; aErrSize: a byte-string stream.
    static aErr getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex);
    static void getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low);

    struct impl;

private:
    impl* mImpl;
};

} // namespace Korvel
} // namespace Olvarin

#endif
