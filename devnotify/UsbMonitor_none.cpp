#include "devnotify/UsbMonitor.h"

std::unique_ptr<UsbMonitor> UsbMonitor::create() {
    return nullptr;
}
