#include "SRecordLine.h"

#include "Hex.h"

namespace pellora::sim {

const char *describe(LineError error) {
    switch (error) {
    case LineError::None:
        return "ok";
    case LineError::NotSRecord:
        return "not an S-record";
    case LineError::BadType:
        return "bad record type";
    case LineError::BadHex:
        return "bad hex digit";
    case LineError::OddLength:
        return "odd number of hex digits";
    case LineError::TooShort:
        return "record too short";
    case LineError::CountMismatch:
        return "byte count mismatch";
    case LineError::BadChecksum:
        return "bad checksum";
    case LineError::AddressOverflow:
        return "data past the address space";
    case LineError::DataNotAllowed:
        return "data in a count or termination record";
    }
    return "unknown";
}

std::size_t addressBytesFor(char type) {
    switch (type) {
    case '0':
    case '1':
    case '5':
    case '9':
        return 2;
    case '2':
    case '6':
    case '8':
        return 3;
    case '3':
    case '7':
        return 4;
    default:
        return 0;
    }
}

LineResult checkLine(std::string_view line) {
    LineResult result;
    auto fail = [&result](LineError error) {
        result.error = error;
        result.record = {};
        return result;
    };

    if (line.empty() || line[0] != 'S')
        return fail(LineError::NotSRecord);
    if (line.size() < 2 || addressBytesFor(line[1]) == 0)
        return fail(LineError::BadType);
    const char type = line[1];
    const std::string_view hex = line.substr(2);
    for (char c : hex) {
        if (hexValue(c) < 0)
            return fail(LineError::BadHex);
    }
    if (hex.size() % 2 != 0)
        return fail(LineError::OddLength);

    const std::size_t addressBytes = addressBytesFor(type);
    // count + address + checksum is the shortest legal record.
    if (hex.size() / 2 < 1 + addressBytes + 1)
        return fail(LineError::TooShort);

    std::vector<std::uint8_t> bytes(hex.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(hexValue(hex[2 * i]) * 16 + hexValue(hex[2 * i + 1]));
    }
    if (bytes[0] != bytes.size() - 1)
        return fail(LineError::CountMismatch);

    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i)
        sum += bytes[i];
    const auto expected = static_cast<std::uint8_t>(~sum & 0xFFu);
    if (bytes.back() != expected)
        return fail(LineError::BadChecksum);

    std::uint32_t address = 0;
    for (std::size_t i = 0; i < addressBytes; ++i)
        address = (address << 8) | bytes[1 + i];

    result.record.type = type;
    result.record.address = address;
    result.record.data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(1 + addressBytes),
                              bytes.end() - 1);
    if (type >= '5' && !result.record.data.empty())
        return fail(LineError::DataNotAllowed);
    if (result.record.isData() && !result.record.data.empty() &&
        std::uint64_t{address} + result.record.data.size() - 1 > 0xFFFFFFFFull)
        return fail(LineError::AddressOverflow);
    return result;
}

} // namespace pellora::sim
