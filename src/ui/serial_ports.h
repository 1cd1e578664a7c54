// Serial port names as the component sees them: COMn is a symbolic link
// "comN" in $KELVO_DEVICES when that is set (and only there), else in
// "kelvo/devices" of the per-user settings folder, then in /etc/kelvo/devices;
// without a link COMn is /dev/ttyS<n-1>.
#pragma once

#include <string>

namespace kelvo::ui {

// The device path COMn maps to.
std::string ComDevicePath(int n);

// Whether COMn exists: its path exists and is a character device.
bool ComPortExists(int n);

} // namespace kelvo::ui
