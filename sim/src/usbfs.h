// Signal handlers of a device node's umockdev ioctl handler.
#pragma once

#include <umockdev.h>

namespace tarvo::sim {

// "handle-ioctl": answers one usbdevfs ioctl of a client; `user` is the Node.
gboolean usbfs_handle_ioctl(UMockdevIoctlBase *base, UMockdevIoctlClient *c, gpointer user);
// "client-connected": a program opened the node.
void usbfs_client_connected(UMockdevIoctlBase *base, UMockdevIoctlClient *c, gpointer user);

}  // namespace tarvo::sim
