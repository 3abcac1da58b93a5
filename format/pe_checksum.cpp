#include "format/pe_checksum.h"

#include "format/archive_layout.h"
#include "format/pe_format.h"

bool FindPeChecksumField(const unsigned char* data, size_t size, size_t* fieldOffset) {
    // Offsets are 64-bit so that no sum of 32-bit file fields wraps.
    uint64_t length = size;
    if (length < kDosHeaderBytes || length > kMaxPeChecksumBytes) return false;
    if (data[0] != 'M' || data[1] != 'Z') return false;
    uint64_t pe = Le32(data + kDosNewHeaderOffset);
    uint64_t optional = pe + kPeSignatureBytes + kCoffHeaderBytes;
    if (optional > length) return false;
    if (data[pe] != 'P' || data[pe + 1] != 'E' || data[pe + 2] != 0 || data[pe + 3] != 0)
        return false;
    uint64_t optionalSize = Le16(data + pe + kPeSignatureBytes + kCoffOptionalHeaderSizeOffset);
    if (optionalSize < kOptionalCheckSumOffset + kPeChecksumFieldBytes) return false;
    uint64_t field = optional + kOptionalCheckSumOffset;
    if (field + kPeChecksumFieldBytes > length) return false;
    *fieldOffset = static_cast<size_t>(field);
    return true;
}

void AddPeChecksumPart(PeChecksumParts* parts, const unsigned char* data, size_t size,
                       uint64_t fieldOffset) {
    const uint64_t at = parts->length;
    size_t i = 0;
    // A part that starts mid-word brings the word's high byte.
    if (at % 2 == 1 && size > 0) {
        parts->sum += uint64_t{data[0]} << 8;
        i = 1;
    }
    for (; size - i >= 2; i += 2) parts->sum += Le16(data + i);
    if (i < size) parts->sum += data[i];
    // The field may start at an odd offset and span parts: each of its bytes
    // is taken back out on its own.
    for (uint64_t field = fieldOffset; field < fieldOffset + kPeChecksumFieldBytes; ++field)
        if (field >= at && field - at < size)
            parts->sum -= uint64_t{data[field - at]} << (field % 2 * 8);
    parts->length += size;
}

uint32_t EndPeChecksum(const PeChecksumParts& parts) {
    uint64_t sum = parts.sum;
    while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + parts.length);
}

uint32_t PeChecksum(const unsigned char* data, size_t size, size_t fieldOffset) {
    PeChecksumParts parts;
    AddPeChecksumPart(&parts, data, size, fieldOffset);
    return EndPeChecksum(parts);
}

PeChecksumStatus CheckPeChecksum(const unsigned char* data, size_t size, uint32_t* stored,
                                 uint32_t* computed) {
    size_t field;
    if (!FindPeChecksumField(data, size, &field)) return kPeChecksumNoField;
    *stored = Le32(data + field);
    *computed = PeChecksum(data, size, field);
    if (*stored == 0) return kPeChecksumUnset;
    return *stored == *computed ? kPeChecksumMatches : kPeChecksumWrong;
}
