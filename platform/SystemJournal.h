#pragma once

#include "session/RunJournal.h"

#include <memory>

// The system journal (libsystemd's sd_journal_sendv), where the host runs one: entries go to
// journald's socket, whence systemd-journal-upload, Loki, Elastic or Fluent Bit take them. Built
// without libsystemd, or on a host without journald, it takes no entry and says nothing.
std::unique_ptr<JournalSink> systemJournal();
