#pragma once

// A program started with standard input, output or error closed ("prog 0<&- 1>&- 2>&-", some
// service managers) would hand the first descriptors it opens (Qt's event pipe, the signal pipe, a
// serial port) the numbers 0 to 2: the standard input would then be read from the serial port or
// the signal pipe, and messages written into it. Each closed one is opened on /dev/null instead.
// Call it first in main(), before anything opens a descriptor.
void reopenClosedStandardDescriptors();
