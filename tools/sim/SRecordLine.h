#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

// Checks one received line (terminator already stripped) the way the bootloader does: it never
// trusts the host, so every malformed shape maps to a distinct reason for the verbose log.
namespace pellora::sim {

enum class LineError {
    None,
    NotSRecord,      // does not start with 'S'
    BadType,         // type digit missing or not one of 0-3, 5-9
    BadHex,          // a character after the type is not a hex digit
    OddLength,       // hex digits do not form whole bytes
    TooShort,        // no room for count, address and checksum
    CountMismatch,   // count byte differs from the number of bytes that follow it
    BadChecksum,     // ones' complement of the sum's low byte differs
    AddressOverflow, // data would run past the 32-bit address space
    DataNotAllowed,  // a count (S5, S6) or termination (S7-S9) record carries data
};

const char *describe(LineError error);

struct Record {
    char type = '0';
    std::uint32_t address = 0;
    std::vector<std::uint8_t> data;

    bool isData() const { return type == '1' || type == '2' || type == '3'; }
    bool isTermination() const { return type == '7' || type == '8' || type == '9'; }
};

struct LineResult {
    LineError error = LineError::None;
    Record record;

    bool ok() const { return error == LineError::None; }
};

// Number of address bytes for a record type, 0 for a type the bootloader rejects.
std::size_t addressBytesFor(char type);

LineResult checkLine(std::string_view line);

} // namespace pellora::sim
