// Where the transport finds its devices, socket bridges and link lock files.
//
// COMn: a symbolic link named "comN" in $KELVO_DEVICES when that is set (and only
// there); otherwise in "kelvo/devices" of the per-user settings folder ($APPDATA,
// else $XDG_CONFIG_HOME, else $HOME/.config), then in /etc/kelvo/devices. Without a
// link COMn is /dev/ttyS<n-1>.
//
// Socket bridge `name`: $XDG_RUNTIME_DIR/kelvo/<name>.sock, or /run/kelvo/<name>.sock
// when $XDG_RUNTIME_DIR is not set.
//
// Link lock files of TCP/IP and socket bridge links: "kelvo-<link>.lock" in
// $XDG_RUNTIME_DIR, else /run/lock, else /tmp (the first that is a writable
// folder). A serial line locks its device node instead (link_lock.h).
#pragma once

#include <string>
#include <string_view>

namespace kelvo::portway {

// Device path that COMn maps to; whether it exists is not checked.
std::string ComDevicePath(unsigned n);

// Path of the Unix-domain socket of the bridge named `name`.
std::string BridgeSocketPath(std::string_view name);

// Lock file of the link with the given identity (any text; it is made safe for a
// file name).
std::string LinkLockPath(std::string_view linkId);

} // namespace kelvo::portway
