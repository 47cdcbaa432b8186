// The usbdevfs side of a simulated camera: answers the ioctls libusb sends
// to a device node (submit, reap, discard, claim, ...) on umockdev's ioctl
// worker thread, and keeps the node's FIFO writable exactly while a
// finished URB waits to be reaped, which is what libusb polls for.
#include "usbfs.h"

#include <linux/types.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "state.h"
#include "wire.h"

namespace tarvo::sim {

Urb::~Urb() {
    if (buf) g_object_unref(buf);
    if (urb) g_object_unref(urb);
    if (client) g_object_unref(client);
}

void node_update_ready(Node &n) {
    if (n.fd < 0) return;
    const bool ready = !n.done.empty();
    if (ready && n.fifo_full) {
        uint8_t b;
        if (read(n.fd, &b, 1) == 1) n.fifo_full = false;
    } else if (!ready && !n.fifo_full) {
        const uint8_t b = 0;
        if (write(n.fd, &b, 1) == 1) n.fifo_full = true;
    }
}

void node_fail_pending(Node &n, int32_t status) {
    while (!n.pending.empty()) {
        UrbPtr u = std::move(n.pending.front());
        n.pending.pop_front();
        u->status = status;
        u->actual = 0;
        if (u->endpoint == wire::k_stream_ep) n.cam->stats.bulk_failed++;
        n.done.push_back(std::move(u));
    }
    node_update_ready(n);
}

namespace {

struct Reply {
    long res = 0;
    int err = 0;
};

Reply fail(int e) {
    return {-1, e};
}

template <class T>
T field(const UMockdevIoctlData *d, size_t off) {
    T v;
    std::memcpy(&v, d->data + off, sizeof v);
    return v;
}

// Reads the u32 an ioctl argument points to.
bool arg_u32(UMockdevIoctlData *arg, uint32_t *out) {
    GError *err = nullptr;
    UMockdevIoctlData *d = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), &err);
    if (!d) {
        if (err) g_error_free(err);
        return false;
    }
    std::memcpy(out, d->data, sizeof *out);
    g_object_unref(d);
    return true;
}

// Drops URBs of clients that went away (a closed descriptor is not always
// reported, and may be noticed only after the next client connected).
void purge_stale(Node &n, UMockdevIoctlClient *current) {
    auto stale = [current](const UrbPtr &u) {
        return u->client != current && !umockdev_ioctl_client_get_connected(u->client);
    };
    std::erase_if(n.pending, stale);
    std::erase_if(n.done, stale);
}

void bulk_pending_stats(Camera::State &s, Node &n) {
    uint32_t k = 0;
    for (const auto &u : n.pending) k += u->endpoint == wire::k_stream_ep;
    s.stats.bulk_pending = k;
    if (k > s.stats.bulk_pending_max) s.stats.bulk_pending_max = k;
}

Reply submit(Camera::State &s, Node &n, UMockdevIoctlClient *c, UMockdevIoctlData *arg) {
    if (n.gone) return fail(ENODEV);
    GError *err = nullptr;
    UMockdevIoctlData *ud = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &err);
    if (!ud) {
        if (err) g_error_free(err);
        return fail(EFAULT);
    }
    auto u = std::make_unique<Urb>();
    u->urb = ud;
    u->client = static_cast<UMockdevIoctlClient *>(g_object_ref(c));
    u->addr = ud->client_addr;
    u->type = field<unsigned char>(ud, offsetof(usbdevfs_urb, type));
    u->endpoint = field<unsigned char>(ud, offsetof(usbdevfs_urb, endpoint));
    u->length = field<int>(ud, offsetof(usbdevfs_urb, buffer_length));
    if (u->length < 0) return fail(EINVAL);
    const bool stream_read = u->type == USBDEVFS_URB_TYPE_BULK && u->endpoint == wire::k_stream_ep;
    if (u->length > 0 && !stream_read) {
        u->buf = umockdev_ioctl_data_resolve(ud, offsetof(usbdevfs_urb, buffer),
                                             static_cast<gsize>(u->length), &err);
        if (!u->buf) {
            if (err) g_error_free(err);
            return fail(EFAULT);
        }
    }
    const int64_t now = mono_us();
    if (u->type == USBDEVFS_URB_TYPE_CONTROL && u->endpoint == 0) {
        cam_control(s, n, std::move(u), now);
    } else if (stream_read) {
        if (u->length == 0) return fail(EINVAL);
        s.stats.bulk_submitted++;
        if (s.halted) {
            u->status = -EPIPE;
            s.stats.bulk_failed++;
            n.done.push_back(std::move(u));
        } else {
            n.pending.push_back(std::move(u));
            bulk_pending_stats(s, n);
            cam_pump_stream(s, now);
            s.bus->kick();
        }
    } else {
        return fail(ENOENT);  // no such endpoint
    }
    bulk_pending_stats(s, n);
    node_update_ready(n);
    return {};
}

Reply discard(Camera::State &s, Node &n, UMockdevIoctlClient *c, UMockdevIoctlData *arg) {
    uint64_t addr = 0;
    std::memcpy(&addr, arg->data,
                std::min<size_t>(sizeof addr, static_cast<size_t>(arg->data_len)));
    for (auto it = n.pending.begin(); it != n.pending.end(); ++it) {
        Urb &u = **it;
        if (u.addr != addr || u.client != c) continue;
        if (u.due_us >= 0 && u.ignore_cancel) {
            u.discarded = true;  // answers anyway when it is due
            return {};
        }
        u.status = -ENOENT;
        u.actual = 0;
        if (u.endpoint == wire::k_stream_ep) s.stats.bulk_cancelled++;
        n.done.push_back(std::move(*it));
        n.pending.erase(it);
        bulk_pending_stats(s, n);
        node_update_ready(n);
        return {};
    }
    return fail(EINVAL);
}

}  // namespace

gboolean usbfs_handle_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *c, gpointer user) {
    Node &n = *static_cast<Node *>(user);
    Camera::State &s = *n.cam;
    const gulong req = umockdev_ioctl_client_get_request(c);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(c);
    Reply r;
    UrbPtr reaped;
    {
        std::lock_guard lk(s.mu);
        purge_stale(n, c);
        uint32_t v = 0;
        switch (req) {
            case USBDEVFS_SUBMITURB:
                r = submit(s, n, c, arg);
                break;
            case USBDEVFS_REAPURBNDELAY: {
                for (auto it = n.done.begin(); it != n.done.end(); ++it) {
                    if ((*it)->client != c) continue;
                    reaped = std::move(*it);
                    n.done.erase(it);
                    break;
                }
                if (!reaped) r = fail(n.gone ? ENODEV : EAGAIN);
                node_update_ready(n);
                break;
            }
            case USBDEVFS_DISCARDURB:
                r = discard(s, n, c, arg);
                break;
            case USBDEVFS_GET_CAPABILITIES: {
                GError *err = nullptr;
                UMockdevIoctlData *d = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), &err);
                if (!d) {
                    if (err) g_error_free(err);
                    r = fail(EFAULT);
                    break;
                }
                // No bulk continuation: libusb would cut every read into 16 KB URBs.
                const uint32_t caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                      USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
                std::memcpy(d->data, &caps, sizeof caps);
                g_object_unref(d);
                break;
            }
            case USBDEVFS_SETCONFIGURATION:
                if (n.gone)
                    r = fail(ENODEV);
                else if (!arg_u32(arg, &v))
                    r = fail(EFAULT);
                else if (v != 1)
                    r = fail(EINVAL);
                break;
            case USBDEVFS_CLAIMINTERFACE:
            case USBDEVFS_RELEASEINTERFACE:
            case USBDEVFS_DISCONNECT_CLAIM:  // its interface number comes first
                if (n.gone)
                    r = fail(ENODEV);
                else if (!arg_u32(arg, &v))
                    r = fail(EFAULT);
                else if (v != 0)
                    r = fail(EINVAL);
                break;
            case USBDEVFS_CLEAR_HALT:
                if (n.gone)
                    r = fail(ENODEV);
                else if (!arg_u32(arg, &v))
                    r = fail(EFAULT);
                else if (v == wire::k_stream_ep) {
                    s.halted = false;
                    s.stats.clear_halts++;
                    cam_pump_stream(s, mono_us());
                } else if (v != 0 && v != 0x80) {
                    r = fail(ENOENT);
                }
                break;
            case USBDEVFS_GETDRIVER:
            case USBDEVFS_IOCTL:
                r = fail(n.gone ? ENODEV : ENODATA);  // no kernel driver is bound
                break;
            case USBDEVFS_RESET:
                if (n.gone) r = fail(ENODEV);
                break;
            default:
                r = fail(ENOTTY);
        }
    }
    if (reaped && !reaped->staged.empty()) {
        // The client waits in this reap: its buffer is reached now, for the
        // bytes the read got, and written back with the URB.
        GError *err = nullptr;
        reaped->buf = umockdev_ioctl_data_resolve(reaped->urb, offsetof(usbdevfs_urb, buffer),
                                                  reaped->staged.size(), &err);
        if (!reaped->buf) {
            if (err) g_error_free(err);
            umockdev_ioctl_client_complete(c, -1, EFAULT);
            return TRUE;
        }
        std::memcpy(reaped->buf->data, reaped->staged.data(), reaped->staged.size());
    }
    if (reaped) {
        std::memcpy(reaped->urb->data + offsetof(usbdevfs_urb, status), &reaped->status,
                    sizeof(int));
        std::memcpy(reaped->urb->data + offsetof(usbdevfs_urb, actual_length), &reaped->actual,
                    sizeof(int));
        GError *err = nullptr;
        UMockdevIoctlData *slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), &err);
        if (!slot) {
            if (err) g_error_free(err);
            umockdev_ioctl_client_complete(c, -1, EFAULT);
            return TRUE;
        }
        umockdev_ioctl_data_set_ptr(slot, 0, reaped->urb);
        umockdev_ioctl_client_complete(c, 0, 0);
        g_object_unref(slot);
        return TRUE;
    }
    umockdev_ioctl_client_complete(c, r.res, r.err);
    return TRUE;
}

void usbfs_client_connected(UMockdevIoctlBase *, UMockdevIoctlClient *c, gpointer user) {
    Node &n = *static_cast<Node *>(user);
    std::lock_guard lk(n.cam->mu);
    n.cam->stats.opens++;
    purge_stale(n, c);
    node_update_ready(n);
}

}  // namespace tarvo::sim
