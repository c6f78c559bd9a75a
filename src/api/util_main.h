#pragma once

namespace api_utils {

// The command-line utility behind the library's exported main: one argument, "-s"
// (change the serial number), "-u" (update the firmware), "-r" (nothing) or "-c" (one
// standard capture), always on the first kestrel_one device.
int util_main(int argc, char** argv);

} // namespace api_utils
