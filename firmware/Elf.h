#pragma once

#include "firmware/Image.h"

#include <QByteArrayView>

// An ELF program, 32- or 64-bit, of either byte order: what its loadable segments (PT_LOAD) hold in
// the file, at their physical addresses (p_paddr, where a linker puts the load address of data that
// runs elsewhere), and its entry point as the start address. Memory a segment has beyond its file
// contents (.bss) is the program's own to clear: it is not programmed. A place is a segment,
// numbered from 0 in the order of the program header table, as readelf -l numbers them.
namespace firmware {

// True when `bytes` start with ELF's magic number.
bool isElf(QByteArrayView bytes);

ReadOutcome readElf(QByteArrayView file, const PieceSink &sink);

} // namespace firmware
