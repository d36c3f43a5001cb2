#pragma once

#include <memory>

class HidAccess;
class Widget;

// An updater window on `hid` whose polling thread has already stopped, so that the benchmark
// decides when a discovery pass or a flashing run happens and nothing else competes with it.
std::unique_ptr<Widget> openWindowWithoutPolling(HidAccess& hid);
