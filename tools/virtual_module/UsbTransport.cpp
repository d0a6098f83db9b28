#include "UsbTransport.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <mutex>
#include <stdexcept>
#include <umockdev.h>
#include <vector>

namespace vmod {

namespace {

constexpr size_t kMaxPending = 64 * 1024;    // bytes the module may queue for the host
constexpr guint kEmptyReapHoldMs = 10;        // see handleReap

void appendLE16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x & 0xFF));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string s;
    char two[3];
    for (uint8_t b : bytes) {
        snprintf(two, sizeof two, "%02x", b);
        s += two;
    }
    return s;
}

std::vector<uint8_t> descriptors(const UsbOptions& o) {
    std::vector<uint8_t> d = {18, 1, 0x00, 0x02, 0, 0, 0, 64};
    appendLE16(d, o.vendorId);
    appendLE16(d, o.productId);
    appendLE16(d, 0x0100); // bcdDevice
    d.insert(d.end(), {1, 2, 3, 1}); // manufacturer, product, serial strings; one configuration
    const std::vector<uint8_t> config = {
        9, 2, 32, 0, 1, 1, 0, 0x80, 50,                                            // configuration
        9, 4, 0, 0, 2, o.interfaceClass, o.interfaceSubClass, o.interfaceProtocol, 0, // interface 0
        7, 5, 0x81, 2, 0x00, 0x02, 0,                                              // bulk IN
        7, 5, 0x01, 2, 0x00, 0x02, 0,                                              // bulk OUT
    };
    d.insert(d.end(), config.begin(), config.end());
    return d;
}

std::vector<uint8_t> stringDescriptor(const std::string& text) {
    std::vector<uint8_t> d = {static_cast<uint8_t>(2 + 2 * text.size()), 3};
    for (char c : text)
        appendLE16(d, static_cast<uint8_t>(c));
    return d;
}

} // namespace

// ---- UsbBus -------------------------------------------------------------------------------

UsbBus::UsbBus() : testbed_(umockdev_testbed_new()) {
    if (testbed_ == nullptr)
        throw std::runtime_error("umockdev testbed failed");
}

UsbBus::~UsbBus() { g_object_unref(testbed_); }

bool UsbBus::preloadActive() {
    const char* preload = getenv("LD_PRELOAD");
    return preload != nullptr && strstr(preload, "libumockdev-preload") != nullptr;
}

std::string UsbBus::rootDir() const {
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    std::string s = root ? root : "";
    g_free(root);
    return s;
}

// ---- UsbTransport -------------------------------------------------------------------------

// Everything the ioctl handler and the GLib sources touch. Shared with those callbacks so that
// one that is already dispatched when the transport goes finds `dead` instead of freed memory.
struct UsbTransport::Impl {
    struct Urb {
        UMockdevIoctlData* urb = nullptr;    // owned reference
        UMockdevIoctlData* buffer = nullptr; // owned reference (null for an empty buffer)
    };

    Module* module = nullptr;
    UsbOptions options;
    std::string serialText;
    std::string devnode;
    std::string sysPath;
    UMockdevTestbed* testbed = nullptr; // owned reference
    UMockdevIoctlBase* handler = nullptr;
    gulong signalId = 0;

    // Serialises calls into the module with the transport going away.
    std::mutex callLock;
    bool dead = false; // under callLock and lock

    std::mutex lock;
    GMainContext* context = nullptr; // umockdev's worker context, known from the first request
    std::deque<uint8_t> toHost;
    std::deque<Urb> pendingIn;
    std::deque<Urb> completed;
    UMockdevIoctlClient* heldReap = nullptr;
    bool heldReapBlocking = false;
    GSource* reapTimer = nullptr;
    GSource* pumpSource = nullptr;
    unsigned emptyReaps = 0;
    bool stallIn = false, stallOut = false;
    unsigned failIn = 0, failOut = 0;
    bool disconnected = false;
    UsbCounters counters;

    std::weak_ptr<Impl> self;

    ~Impl() {
        for (auto* q : {&pendingIn, &completed})
            for (Urb& u : *q)
                release(u);
        if (heldReap)
            g_object_unref(heldReap);
        if (context)
            g_main_context_unref(context);
        if (testbed)
            g_object_unref(testbed);
    }

    static void release(Urb& u) {
        if (u.buffer)
            g_object_unref(u.buffer);
        if (u.urb)
            g_object_unref(u.urb);
        u.urb = u.buffer = nullptr;
    }

    static usbdevfs_urb* fields(const Urb& u) { return reinterpret_cast<usbdevfs_urb*>(u.urb->data); }

    // A GLib callback's data: a strong reference that the source drops when it goes.
    static gpointer holder(const std::shared_ptr<Impl>& impl) { return new std::shared_ptr<Impl>(impl); }
    static void dropHolder(gpointer p) { delete static_cast<std::shared_ptr<Impl>*>(p); }
    static Impl* from(gpointer p) { return static_cast<std::shared_ptr<Impl>*>(p)->get(); }

    // ---- with `lock` held --------------------------------------------------------------

    void finish(Urb u, int status, int actual) {
        usbdevfs_urb* f = fields(u);
        f->status = status;
        f->actual_length = actual;
        if (f->endpoint & 0x80)
            counters.inTransfers++;
        else if (f->type == USBDEVFS_URB_TYPE_BULK || f->type == USBDEVFS_URB_TYPE_INTERRUPT)
            counters.outTransfers++;
        completed.push_back(u);
        answerHeldReap();
    }

    // Completes pending IN transfers from what the module queued, or by the faults in force.
    void pumpLocked() {
        while (!pendingIn.empty()) {
            Urb u = pendingIn.front();
            int status = 0;
            if (disconnected) {
                status = -ENODEV;
            } else if (stallIn) {
                status = -EPIPE;
            } else if (failIn > 0) {
                failIn--;
                status = -EPROTO;
            } else if (toHost.empty()) {
                return;
            }
            pendingIn.pop_front();
            int actual = 0;
            if (status == 0) {
                size_t room = static_cast<size_t>(fields(u)->buffer_length);
                size_t n = toHost.size() < room ? toHost.size() : room;
                for (size_t i = 0; i < n; i++) {
                    u.buffer->data[i] = toHost.front();
                    toHost.pop_front();
                }
                actual = static_cast<int>(n);
            }
            finish(u, status, actual);
        }
    }

    bool reapInto(UMockdevIoctlClient* client) {
        if (completed.empty())
            return false;
        Urb u = completed.front();
        completed.pop_front();
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), nullptr);
        if (slot != nullptr) {
            umockdev_ioctl_data_set_ptr(slot, 0, u.urb);
            g_object_unref(slot);
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        counters.reaps++;
        emptyReaps = 0;
        release(u);
        return true;
    }

    void answerHeldReap() {
        if (heldReap == nullptr || completed.empty())
            return;
        UMockdevIoctlClient* client = heldReap;
        heldReap = nullptr;
        if (reapTimer) {
            g_source_destroy(reapTimer);
            g_source_unref(reapTimer);
            reapTimer = nullptr;
        }
        (void)reapInto(client);
        g_object_unref(client);
    }

    void schedulePumpLocked() {
        if (context == nullptr || pumpSource != nullptr)
            return;
        auto impl = self.lock();
        if (!impl)
            return;
        pumpSource = g_idle_source_new();
        g_source_set_callback(pumpSource, &Impl::onPump, holder(impl), &Impl::dropHolder);
        g_source_attach(pumpSource, context);
    }

    // ---- GLib callbacks (worker thread) -------------------------------------------------

    static gboolean onPump(gpointer data) {
        Impl* self = from(data);
        std::lock_guard<std::mutex> hold(self->lock);
        if (self->pumpSource) {
            g_source_unref(self->pumpSource);
            self->pumpSource = nullptr;
        }
        if (!self->dead)
            self->pumpLocked();
        return G_SOURCE_REMOVE;
    }

    static gboolean onReapTimer(gpointer data) {
        Impl* self = from(data);
        std::lock_guard<std::mutex> hold(self->lock);
        if (self->reapTimer) {
            g_source_unref(self->reapTimer);
            self->reapTimer = nullptr;
        }
        if (self->heldReap && !self->heldReapBlocking) {
            umockdev_ioctl_client_complete(self->heldReap, -1, EAGAIN);
            g_object_unref(self->heldReap);
            self->heldReap = nullptr;
            self->counters.reaps++;
        }
        return G_SOURCE_REMOVE;
    }

    static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
        Impl* self = from(data);
        return self->handle(client);
    }

    gboolean handle(UMockdevIoctlClient* client) {
        gulong request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        std::unique_lock<std::mutex> hold(lock);
        if (context == nullptr)
            context = g_main_context_ref_thread_default();
        if (dead) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return TRUE;
        }
        switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
            if (caps == nullptr) {
                umockdev_ioctl_client_complete(client, -1, EFAULT);
                return TRUE;
            }
            guint32 value = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                            USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
            memcpy(caps->data, &value, sizeof value);
            g_object_unref(caps);
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE:
            if (disconnected) {
                umockdev_ioctl_client_complete(client, -1, ENODEV);
                return TRUE;
            }
            counters.claimed = request == USBDEVFS_CLAIMINTERFACE;
            if (!counters.claimed)
                toHost.clear(); // nobody reads them any more
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        case USBDEVFS_CLEAR_HALT: {
            UMockdevIoctlData* ep = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned int), nullptr);
            unsigned int endpoint = 0;
            if (ep != nullptr) {
                memcpy(&endpoint, ep->data, sizeof endpoint);
                g_object_unref(ep);
            }
            if (endpoint & 0x80)
                stallIn = false;
            else
                stallOut = false;
            counters.clearHalts++;
            umockdev_ioctl_client_complete(client, disconnected ? -1 : 0, disconnected ? ENODEV : 0);
            return TRUE;
        }
        case USBDEVFS_RESETEP:
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        case USBDEVFS_SUBMITURB:
            return submit(client, arg, hold);
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            return handleReap(client, request == USBDEVFS_REAPURB);
        case USBDEVFS_DISCARDURB: {
            gulong address = 0;
            if (arg->data_len >= static_cast<gint>(sizeof address))
                memcpy(&address, arg->data, sizeof address);
            for (auto it = pendingIn.begin(); it != pendingIn.end(); ++it) {
                if (it->urb->client_addr == address) {
                    Urb u = *it;
                    pendingIn.erase(it);
                    counters.discarded++;
                    finish(u, -ENOENT, 0);
                    umockdev_ioctl_client_complete(client, 0, 0);
                    return TRUE;
                }
            }
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return TRUE;
        }
        default:
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return TRUE;
        }
    }

    gboolean submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg, std::unique_lock<std::mutex>& hold) {
        if (disconnected) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return TRUE;
        }
        Urb u;
        u.urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        if (u.urb == nullptr) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        usbdevfs_urb* f = fields(u);
        if (f->buffer_length > 0) {
            u.buffer = umockdev_ioctl_data_resolve(u.urb, G_STRUCT_OFFSET(usbdevfs_urb, buffer),
                                                   static_cast<gsize>(f->buffer_length), nullptr);
            if (u.buffer == nullptr) {
                release(u);
                umockdev_ioctl_client_complete(client, -1, EFAULT);
                return TRUE;
            }
        }
        // The submit itself succeeds; the outcome arrives with the reap.
        umockdev_ioctl_client_complete(client, 0, 0);

        if (f->type == USBDEVFS_URB_TYPE_CONTROL) {
            control(u);
            return TRUE;
        }
        if (f->endpoint & 0x80) {
            pendingIn.push_back(u);
            pumpLocked();
            return TRUE;
        }
        // OUT: the bytes go to the module unless a fault swallows them.
        int status = 0;
        if (stallOut) {
            status = -EPIPE;
        } else if (failOut > 0) {
            failOut--;
            status = -EPROTO;
        }
        std::vector<uint8_t> bytes;
        if (status == 0 && u.buffer != nullptr)
            bytes.assign(u.buffer->data, u.buffer->data + f->buffer_length);
        int length = status == 0 ? f->buffer_length : 0;
        if (!bytes.empty()) {
            // The module answers through the sink, which takes `lock`: call it without.
            hold.unlock();
            {
                std::lock_guard<std::mutex> calling(callLock);
                if (!dead)
                    module->receive(bytes.data(), bytes.size());
            }
            hold.lock();
        }
        finish(u, status, length);
        pumpLocked();
        return TRUE;
    }

    void control(Urb u) {
        usbdevfs_urb* f = fields(u);
        const uint8_t* setup = u.buffer ? u.buffer->data : nullptr;
        if (setup == nullptr || f->buffer_length < 8) {
            finish(u, -EPIPE, 0);
            return;
        }
        uint8_t requestType = setup[0], request = setup[1];
        uint16_t value = static_cast<uint16_t>(setup[2] | setup[3] << 8);
        uint16_t wanted = static_cast<uint16_t>(setup[6] | setup[7] << 8);
        std::vector<uint8_t> answer;
        bool known = false;
        if (requestType == 0x80 && request == 6 && (value >> 8) == 3) { // GET_DESCRIPTOR string
            known = true;
            switch (value & 0xFF) {
            case 0: answer = {4, 3, 0x09, 0x04}; break; // English (United States)
            case 1: answer = stringDescriptor("Korvel"); break;
            case 2: answer = stringDescriptor("Virtual module"); break;
            case 3: answer = stringDescriptor(serialText); break;
            default: known = false;
            }
        }
        if (!known) {
            finish(u, -EPIPE, 0);
            return;
        }
        size_t n = answer.size();
        if (n > wanted)
            n = wanted;
        if (n > static_cast<size_t>(f->buffer_length - 8))
            n = static_cast<size_t>(f->buffer_length - 8);
        memcpy(u.buffer->data + 8, answer.data(), n);
        finish(u, 0, static_cast<int>(n));
    }

    // The usbfs descriptor always polls writable under the preload, so the host's USB library
    // asks again at once after every empty reap. The first empty reap after a completion is
    // answered at once; a second one in a row is held up to 10 ms, and answered early when a
    // transfer completes, which keeps an idle host from spinning (3 % of a core instead of
    // most of one) without delaying any transfer.
    gboolean handleReap(UMockdevIoctlClient* client, bool blocking) {
        if (reapInto(client))
            return TRUE;
        if (heldReap != nullptr) {
            // Only one reaper at a time is expected; tell a second one to come back.
            umockdev_ioctl_client_complete(client, -1, EAGAIN);
            counters.reaps++;
            return TRUE;
        }
        if (!blocking && emptyReaps == 0) {
            emptyReaps++;
            umockdev_ioctl_client_complete(client, -1, EAGAIN);
            counters.reaps++;
            return TRUE;
        }
        emptyReaps++;
        g_object_ref(client);
        heldReap = client;
        heldReapBlocking = blocking;
        if (!blocking) {
            auto impl = self.lock();
            reapTimer = g_timeout_source_new(kEmptyReapHoldMs);
            g_source_set_callback(reapTimer, &Impl::onReapTimer, holder(impl), &Impl::dropHolder);
            g_source_attach(reapTimer, context);
        }
        return TRUE;
    }

    // ---- from the module (any thread) ---------------------------------------------------

    void fromModule(const uint8_t* bytes, size_t count) {
        std::lock_guard<std::mutex> hold(lock);
        if (!counters.claimed || disconnected || toHost.size() + count > kMaxPending) {
            module->noteDropped(count);
            return;
        }
        toHost.insert(toHost.end(), bytes, bytes + count);
        schedulePumpLocked();
    }
};

UsbTransport::UsbTransport(UsbBus& bus, Module& module, UsbOptions options)
    : impl_(std::make_shared<Impl>()) {
    Impl& m = *impl_;
    m.self = impl_;
    m.module = &module;
    m.options = options;
    if (options.serialText.empty()) {
        char text[16];
        snprintf(text, sizeof text, "%08X", module.config().serialNumber);
        m.serialText = text;
    } else {
        m.serialText = options.serialText;
    }
    uint8_t devnum = bus.takeDeviceNumber();
    char node[64], sysPath[64];
    snprintf(node, sizeof node, "/dev/bus/usb/001/%03u", devnum);
    snprintf(sysPath, sizeof sysPath, "/devices/pci0000:00/0000:00:14.0/usb1/1-%u", devnum);
    m.devnode = node;
    m.sysPath = std::string("/sys") + sysPath;
    m.testbed = bus.testbed();
    g_object_ref(m.testbed);

    // The handler must be in place before the device appears (a host could open it at once).
    m.handler = umockdev_ioctl_base_new();
    m.signalId = g_signal_connect_data(m.handler, "handle-ioctl", G_CALLBACK(&Impl::onIoctl),
                                       Impl::holder(impl_),
                                       [](gpointer p, GClosure*) { Impl::dropHolder(p); }, G_CONNECT_AFTER);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(bus.testbed(), node, m.handler, &error)) {
        std::string why = error ? error->message : "unknown";
        g_clear_error(&error);
        g_signal_handler_disconnect(m.handler, m.signalId);
        g_object_unref(m.handler);
        throw std::runtime_error("attach_ioctl: " + why);
    }
    char record[1024];
    snprintf(record, sizeof record,
             "P: %s\n"
             "N: %s\n"
             "E: SUBSYSTEM=usb\n"
             "E: DEVTYPE=usb_device\n"
             "E: DEVNAME=%s\n"
             "E: BUSNUM=001\n"
             "E: DEVNUM=%03u\n"
             "A: busnum=1\n"
             "A: devnum=%u\n"
             "A: speed=480\n"
             "A: bConfigurationValue=1\n"
             "H: descriptors=%s\n",
             sysPath, node + 5, node, devnum, devnum, hex(descriptors(options)).c_str());
    module.attach([impl = impl_.get()](const uint8_t* b, size_t n) { impl->fromModule(b, n); });
    if (!umockdev_testbed_add_from_string(bus.testbed(), record, &error)) {
        std::string why = error ? error->message : "unknown";
        g_clear_error(&error);
        module.detach();
        umockdev_testbed_detach_ioctl(bus.testbed(), node, nullptr);
        g_signal_handler_disconnect(m.handler, m.signalId);
        g_object_unref(m.handler);
        throw std::runtime_error("add_from_string: " + why);
    }
}

UsbTransport::~UsbTransport() {
    Impl& m = *impl_;
    m.module->detach();
    {
        std::lock_guard<std::mutex> calling(m.callLock);
        std::lock_guard<std::mutex> hold(m.lock);
        m.dead = true;
        if (m.heldReap) {
            umockdev_ioctl_client_complete(m.heldReap, -1, ENODEV);
            g_object_unref(m.heldReap);
            m.heldReap = nullptr;
        }
        for (GSource** s : {&m.reapTimer, &m.pumpSource}) {
            if (*s) {
                g_source_destroy(*s);
                g_source_unref(*s);
                *s = nullptr;
            }
        }
    }
    umockdev_testbed_remove_device(m.testbed, m.sysPath.c_str());
    umockdev_testbed_detach_ioctl(m.testbed, m.devnode.c_str(), nullptr);
    g_signal_handler_disconnect(m.handler, m.signalId);
    g_object_unref(m.handler);
}

std::string UsbTransport::devnode() const { return impl_->devnode; }

void UsbTransport::stall(Endpoint endpoint) {
    std::lock_guard<std::mutex> hold(impl_->lock);
    (endpoint == Endpoint::In ? impl_->stallIn : impl_->stallOut) = true;
    impl_->schedulePumpLocked();
}

void UsbTransport::failTransfers(Endpoint endpoint, unsigned count) {
    std::lock_guard<std::mutex> hold(impl_->lock);
    (endpoint == Endpoint::In ? impl_->failIn : impl_->failOut) = count;
    impl_->schedulePumpLocked();
}

void UsbTransport::disconnect() {
    std::lock_guard<std::mutex> hold(impl_->lock);
    impl_->disconnected = true;
    impl_->toHost.clear();
    impl_->schedulePumpLocked();
}

void UsbTransport::reconnect() {
    std::lock_guard<std::mutex> hold(impl_->lock);
    impl_->disconnected = false;
}

UsbCounters UsbTransport::counters() const {
    std::lock_guard<std::mutex> hold(impl_->lock);
    return impl_->counters;
}

} // namespace vmod
