#include "platform/SystemJournal.h"

// Built without libsystemd: no journal to send to.
std::unique_ptr<JournalSink> systemJournal() {
    return nullptr;
}
