// A folder named on a command line or in the service's ImagePath, taken as
// Windows takes a path: '/' is a separator as '\' is (Microsoft's run-time
// reference: both are path delimiters on Windows NT), and a run of separators
// is one. What Windows would not take as the folder of a running service is
// refused with the reason. Both builds.
#pragma once

#include <string>

#include "platform/Platform.h"

// `typed`, in the machine's code page, as "C:\Folder\" or
// "\\server\share\Folder\" with one '\' at the end; "" when it is taken, else
// why not: a folder relative to a current one ("Qarn", "C:Qarn", "\Qarn"), a
// device or long-path name (\\?\, \\.\), a UNC name without its share, a "."
// or "..", a name that ends in a blank or a period or names a device (CON,
// NUL.txt, COM1; Microsoft, "Naming Files, Paths, and Namespaces": no Windows
// folder name does), or a character no Windows folder name holds (a control
// character, "*:<>?|). A name quoted in the reason is shown as ShownPath
// shows it.
std::string TakeWindowsFolder(Platform& os, const std::string& typed, std::string& folder);
